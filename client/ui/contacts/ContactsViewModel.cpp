#include "ui/contacts/ContactsViewModel.h"

#include "base/Text.h"
#include "base/Error.h"
#include "base/Json.h"
#include "im/IMService.h"
#include "im/Records.h"
#include "l10n/Inline.h"
#include "ui/root/RootViewModel.h"

#include <QPointer>

namespace ContactsTexts {
QString title() { return L10n::pick("通讯录", "通訊錄", "Contacts"); }
QString refresh() { return L10n::pick("刷新", "重新整理", "Refresh"); }
QString addSection() { return L10n::pick("添加好友", "加好友", "Add friend"); }
QString addPlaceholder() { return L10n::pick("对方 ID 或手机号", "對方 ID 或手機號", "User ID or phone"); }
QString addButton() { return L10n::pick("添加", "添加", "Add"); }
QString requestSent() { return L10n::pick("申请已发送", "申請已發送", "Request sent"); }
QString requestsSection() { return L10n::pick("好友申请", "好友申請", "Friend requests"); }
QString noRequests() { return L10n::pick("暂无好友申请", "暫無好友申請", "No friend requests"); }
QString noFriends() { return L10n::pick("还没有好友", "還沒有好友", "No friends yet"); }
QString noGroups() { return L10n::pick("还没有加入群聊", "還沒有加入群組", "No groups yet"); }
QString accept() { return L10n::pick("同意", "同意", "Accept"); }
QString decline() { return L10n::pick("拒绝", "拒絕", "Decline"); }
QString accepted() { return L10n::pick("已同意", "已同意", "Accepted"); }
QString declined() { return L10n::pick("已拒绝", "已拒絕", "Declined"); }
QString friendsSection() { return L10n::pick("好友", "好友", "Friends"); }
QString message() { return L10n::pick("发消息", "發訊息", "Message"); }
QString deleteFriend() { return L10n::pick("删除好友", "刪除好友", "Delete friend"); }
QString block() { return L10n::pick("拉黑", "封鎖", "Block"); }
QString groupsSection() { return L10n::pick("群聊", "群組", "Groups"); }
} // namespace ContactsTexts

ContactsViewModel::ContactsViewModel(IMService &im, RootViewModel &root, QObject *parent)
    : QObject(parent), m_im(im), m_root(root)
{
    connect(&m_root, &RootViewModel::friendsChanged, this, [this] {
        emit listsChanged();
        emit changed();
    });
}

const QList<QJsonObject> &ContactsViewModel::friends() const
{
    return m_root.friends();
}

void ContactsViewModel::setAddInput(const QString &text)
{
    if (m_addInput == text)
        return;
    m_addInput = text;
    emit changed();
}

bool ContactsViewModel::addEnabled() const
{
    return !m_addBusy && !Text::trimBlanks(m_addInput).isEmpty();
}

void ContactsViewModel::setToast(std::optional<QString> toast)
{
    m_toast = std::move(toast);
    emit toastChanged();
}

void ContactsViewModel::clearToast()
{
    if (m_toast)
        setToast(std::nullopt);
}

ContactsViewModel::RequestStatus ContactsViewModel::requestStatus(const QJsonObject &request)
{
    const qint64 result = Json::integer(request, QLatin1String("handleResult"));
    if (result >= 1)
        return RequestStatus::accepted;
    return result < 0 ? RequestStatus::declined : RequestStatus::pending;
}

QString ContactsViewModel::requestName(const QJsonObject &request)
{
    const QString nick = Json::str(request, QLatin1String("fromNickname"));
    return nick.isEmpty() ? Json::str(request, QLatin1String("fromUserID")) : nick;
}

QCoro::Task<void> ContactsViewModel::reload()
{
    QPointer<ContactsViewModel> self(this);
    QList<QJsonObject> friends = co_await m_im.friendList();
    if (!self)
        co_return;
    m_root.setFriends(std::move(friends));
    QList<QJsonObject> applications = co_await m_im.friendApplications();
    if (!self)
        co_return;
    m_applications = std::move(applications);
    emit listsChanged();
    emit changed();
    QList<QJsonObject> groups = co_await m_im.joinedGroups();
    if (!self)
        co_return;
    m_groups = std::move(groups);
    emit listsChanged();
    emit changed();
}

QCoro::Task<void> ContactsViewModel::addFriend()
{
    const QString target = Text::trimBlanks(m_addInput);
    if (target.isEmpty() || m_addBusy)
        co_return;
    QPointer<ContactsViewModel> self(this);
    m_addBusy = true;
    emit changed();
    const QString reqMsg;
    std::optional<QString> failure;
    try {
        co_await m_im.addFriend(target, reqMsg);
    } catch (const Error &e) {
        failure = e.message();
    }
    if (!self)
        co_return;
    m_addBusy = false;
    if (failure) {
        setToast(failure);
    } else {
        m_addInput.clear();
        setToast(ContactsTexts::requestSent());
    }
    emit changed();
}

QCoro::Task<void> ContactsViewModel::accept(QJsonObject request)
{
    QPointer<ContactsViewModel> self(this);
    const QString from = Json::str(request, QLatin1String("fromUserID"));
    try {
        co_await m_im.acceptFriend(from);
    } catch (const Error &) {
    }
    if (self)
        co_await reload();
}

QCoro::Task<void> ContactsViewModel::decline(QJsonObject request)
{
    QPointer<ContactsViewModel> self(this);
    const QString from = Json::str(request, QLatin1String("fromUserID"));
    try {
        co_await m_im.refuseFriend(from);
    } catch (const Error &) {
    }
    if (self)
        co_await reload();
}

QCoro::Task<void> ContactsViewModel::deleteFriend(QJsonObject friendRecord)
{
    QPointer<ContactsViewModel> self(this);
    const QString id = Records::fUserID(friendRecord);
    try {
        co_await m_im.deleteFriend(id);
    } catch (const Error &) {
    }
    if (self)
        co_await reload();
}

QCoro::Task<void> ContactsViewModel::block(QJsonObject friendRecord)
{
    QPointer<ContactsViewModel> self(this);
    const QString id = Records::fUserID(friendRecord);
    try {
        co_await m_im.addBlack(id);
    } catch (const Error &) {
    }
    if (self)
        co_await reload();
}

void ContactsViewModel::message(const QJsonObject &friendRecord)
{
    m_root.openChat(Records::fUserID(friendRecord), Records::fName(friendRecord), Records::fFace(friendRecord));
}

void ContactsViewModel::openGroup(const QJsonObject &group)
{
    m_root.openGroupChat(Json::str(group, QLatin1String("groupID")), Json::str(group, QLatin1String("groupName")),
                         Json::str(group, QLatin1String("faceURL")));
}
