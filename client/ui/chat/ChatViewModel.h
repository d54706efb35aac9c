#pragma once

#include "im/Protocol.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <optional>
#include <qcoro/qcorotask.h>

class AppState;
class Clock;
class E2E;
class IMService;
struct InputStateEvent;

// One open conversation: its messages, the side tables of reactions, edits, decrypted secret
// texts and recalls, the composer, the peer's typing flag and history paging. Main thread.
class ChatViewModel : public QObject {
    Q_OBJECT

public:
    static constexpr int kPageSize = 40;
    static constexpr std::chrono::milliseconds kTypingReset{4000};
    // Markers and texts that exist in one form only.
    static constexpr const char *kUndecryptable = "[无法解密]";
    static constexpr const char *kNoSecretChat = "对方还未开通密聊";

    ChatViewModel(IMService &im, E2E &e2e, AppState &app, Clock &clock, QString peerID, QString groupID,
                  QString conversationID = {}, QObject *parent = nullptr);

    const QString &peerID() const { return m_peerID; }
    const QString &groupID() const { return m_groupID; }
    bool isGroup() const { return !m_groupID.isEmpty(); }
    const QString &conversationID() const { return m_conversationID; }

    const QList<QJsonObject> &messages() const { return m_messages; }
    const Protocol::ReactionMap &reactions() const { return m_reactions; }
    const QHash<QString, QString> &edits() const { return m_edits; }
    const QHash<QString, QString> &secretTexts() const { return m_secretTexts; }
    const QSet<QString> &revokedIDs() const { return m_revokedIDs; }

    const QString &draft() const { return m_draft; }
    void setDraft(const QString &draft);
    bool secretMode() const { return m_secretMode; }
    void setSecretMode(bool on);
    const std::optional<QJsonObject> &quoting() const { return m_quoting; }
    void setQuoting(std::optional<QJsonObject> message);
    const std::optional<QJsonObject> &editing() const { return m_editing; }
    void setEditing(std::optional<QJsonObject> message);
    const std::optional<QString> &toast() const { return m_toast; }
    void clearToast();
    bool peerTyping() const { return m_peerTyping; }
    const std::optional<QString> &safetyCode() const { return m_safetyCode; }
    void clearSafetyCode();
    bool hasMore() const { return m_hasMore; }
    bool loadingMore() const { return m_loadingMore; }
    // Set when older messages were put in front; the screen keeps its scroll position and resets it.
    bool prependedKeepScroll = false;

    // The one-to-one conversation ID of two users, in either order.
    static QString deriveConversationID(const QString &selfID, const QString &peerID, const QString &groupID);

    QCoro::Task<void> loadInitial();
    QCoro::Task<void> loadMore();
    QCoro::Task<void> sendText();
    QString displayText(const QJsonObject &message) const;

    QCoro::Task<void> sendImage(QString path);
    QCoro::Task<void> sendFile(QString path, QString name);
    QCoro::Task<void> sendSound(QString path, qint64 durationSeconds);

    QCoro::Task<void> sendReaction(QString targetClientMsgID, QString emoji);
    QCoro::Task<void> revoke(QJsonObject message);
    QCoro::Task<void> deleteLocal(QJsonObject message);
    QCoro::Task<void> showSafetyCode();
    // Sends the whole record as a forward message to another conversation; true on success.
    QCoro::Task<bool> forward(QJsonObject message, QJsonObject conversation);

    // Applies one message to the side tables (reactions, edits, secret texts).
    QCoro::Task<void> ingest(QJsonObject message);

signals:
    void messagesChanged();
    void reactionsChanged();
    void editsChanged();
    void secretTextsChanged();
    void revokedIDsChanged();
    void draftChanged();
    void secretModeChanged();
    void quotingChanged();
    void editingChanged();
    void toastChanged();
    void peerTypingChanged();
    void safetyCodeChanged();
    void hasMoreChanged();
    void loadingMoreChanged();

private:
    void onNewMessage(const QJsonObject &message);
    void onRevoked(const QJsonObject &notice);
    void onInputState(const InputStateEvent &event);
    QCoro::Task<void> resetTypingLater(quint64 generation);
    QCoro::Task<std::optional<QJsonObject>> sendWithRule(QString messageJSON);
    QCoro::Task<bool> trySendSecretSilently(QJsonObject payload);
    QCoro::Task<void> sendMedia(QString messageJSON);
    void append(const QJsonObject &message);
    void removeCarrier(const QString &clientMsgID);
    void setPeerTyping(bool typing);
    void setToast(const QString &text);
    void setHasMore(bool hasMore);
    void setLoadingMore(bool loading);
    QString selfID() const;
    QString imToken() const;

    IMService &m_im;
    E2E &m_e2e;
    AppState &m_app;
    Clock &m_clock;
    const QString m_peerID;
    const QString m_groupID;
    const QString m_conversationID;

    QList<QJsonObject> m_messages;
    Protocol::ReactionMap m_reactions;
    QHash<QString, QString> m_edits;
    QHash<QString, QString> m_secretTexts;
    QSet<QString> m_revokedIDs;
    QString m_draft;
    bool m_secretMode = false;
    std::optional<QJsonObject> m_quoting;
    std::optional<QJsonObject> m_editing;
    std::optional<QString> m_toast;
    bool m_peerTyping = false;
    std::optional<QString> m_safetyCode;
    bool m_hasMore = false;
    bool m_loadingMore = false;
    quint64 m_typingGeneration = 0;
    QSet<QString> m_decrypting; // secret messages whose decryption is in flight
};
