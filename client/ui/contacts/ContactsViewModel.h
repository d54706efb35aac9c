#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <optional>
#include <qcoro/qcorotask.h>

class IMService;
class RootViewModel;

// The contacts tab's texts in the current interface language.
namespace ContactsTexts {
QString title();
QString refresh();
QString addSection();
QString addPlaceholder();
QString addButton();
QString requestSent();
QString requestsSection();
QString accept();
QString decline();
QString accepted();
QString declined();
QString friendsSection();
QString message();
QString deleteFriend();
QString block();
QString groupsSection();
// Shown under a section that has nothing in it.
QString noRequests();
QString noFriends();
QString noGroups();
} // namespace ContactsTexts

// The contacts tab: adding a friend by ID, answering friend requests, the friend list (shared
// with the main window) with its actions, and the joined groups. Main thread.
class ContactsViewModel : public QObject {
    Q_OBJECT

public:
    // What a friend request row shows on its right.
    enum class RequestStatus { pending, accepted, declined };

    ContactsViewModel(IMService &im, RootViewModel &root, QObject *parent = nullptr);

    const QList<QJsonObject> &friends() const;
    const QList<QJsonObject> &applications() const { return m_applications; }
    const QList<QJsonObject> &groups() const { return m_groups; }
    const QString &addInput() const { return m_addInput; }
    void setAddInput(const QString &text);
    bool addBusy() const { return m_addBusy; }
    bool addEnabled() const;
    const std::optional<QString> &toast() const { return m_toast; }
    void clearToast();

    static RequestStatus requestStatus(const QJsonObject &request);
    // fromNickname, else fromUserID.
    static QString requestName(const QJsonObject &request);

    QCoro::Task<void> reload();
    QCoro::Task<void> addFriend();
    QCoro::Task<void> accept(QJsonObject request);
    QCoro::Task<void> decline(QJsonObject request);
    QCoro::Task<void> deleteFriend(QJsonObject friendRecord);
    QCoro::Task<void> block(QJsonObject friendRecord);
    // Hand over to the main window, which switches to the chat.
    void message(const QJsonObject &friendRecord);
    void openGroup(const QJsonObject &group);

signals:
    // Any state changed (the add field, its busy flag, the lists).
    void changed();
    // The friends, requests or groups changed.
    void listsChanged();
    void toastChanged();

private:
    void setToast(std::optional<QString> toast);

    IMService &m_im;
    RootViewModel &m_root;
    QList<QJsonObject> m_applications;
    QList<QJsonObject> m_groups;
    QString m_addInput;
    bool m_addBusy = false;
    std::optional<QString> m_toast;
};
