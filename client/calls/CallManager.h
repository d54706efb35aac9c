#pragma once

#include "base/Clock.h"
#include "calls/CallState.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

class IMService;

// The one call of the client: placing, ringing, answering, declining, cancelling, timing out and
// hanging up, told to the peer with call signals in the ordinary conversation. Main thread.
class CallManager : public QObject {
    Q_OBJECT

public:
    // Derives the shared media key of a one-to-one call; none when it cannot.
    using CallKey = std::function<QCoro::Task<std::optional<QString>>(QString imToken, QString myUserID, QString peerID,
                                                                      QString roomID)>;

    static constexpr qint64 kInviteMaxAgeMs = 60000;
    static constexpr qint64 kGroupInviteMaxAgeMs = 300000;
    static constexpr std::chrono::milliseconds kNoAnswer{45000};
    static constexpr const char *kDescription = "mirelo-call";

    static CallManager &shared();

    CallManager(IMService &im, CallKey callKey, Clock &clock = Clock::system(), QObject *parent = nullptr);

    const std::optional<CallState> &call() const { return m_call; }
    bool minimized() const { return m_minimized; }
    void setMinimized(bool minimized);
    const QString &myUserID() const { return m_myUserID; }

    void bind(const QString &userID, const QString &imToken);
    void startCall(const QString &peerID, const QString &peerNick, const QString &peerFace, const QString &callType);
    void startGroupCall(const QString &groupID, const QString &groupName, const QString &callType);
    void acceptCall();
    void endCall();

    // Interprets one message record from the IM stream.
    void handleMessage(const QJsonObject &message);
    // Builds and sends one call signal; terminal ones are republished for open chats.
    QCoro::Task<void> sendSignal(QString recvID, QString type, QString roomID, QString callType, QString groupID,
                                 qint64 duration, bool e2ee);

signals:
    void callChanged();
    void minimizedChanged();

private:
    void setCall(std::optional<CallState> call);
    void cancelTimer() { ++m_timerGeneration; }
    QCoro::Task<void> placeCall(quint64 serial);
    QCoro::Task<void> placeGroupCall(quint64 serial);
    QCoro::Task<void> answer(quint64 serial, CallState snapshot);
    static bool stillCurrent(const QPointer<CallManager> &self, quint64 serial);
    QCoro::Task<void> noAnswerTimer(quint64 generation, QString roomID);
    QCoro::Task<void> callerKeyStep(QString roomID);
    void fireSignal(QString recvID, QString type, QString roomID, QString callType, QString groupID, qint64 duration,
                    bool e2ee);

    IMService &m_im;
    CallKey m_callKey;
    Clock &m_clock;
    std::optional<CallState> m_call;
    bool m_minimized = false;
    QString m_myUserID;
    QString m_myImToken;
    QMetaObject::Connection m_sub;
    // Bumped whenever a call begins or ends: tasks that outlive their call compare it.
    quint64 m_callSerial = 0;
    // Bumped to cancel the pending no-answer timer.
    quint64 m_timerGeneration = 0;
};
