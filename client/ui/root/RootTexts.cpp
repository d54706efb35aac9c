#include "ui/root/RootTexts.h"

#include "l10n/Inline.h"
#include "l10n/L10n.h"

#include <QLocale>
#include <QTimeZone>

namespace RootTexts {

QString listTitle() { return L10n::pick("会话", "對話", "Chats"); }
QString searchPlaceholder() { return L10n::pick("搜索", "搜尋", "Search"); }
QString newChatTooltip() { return L10n::pick("新会话 (Ctrl+N)", "新對話 (Ctrl+N)", "New chat (Ctrl+N)"); }
QString refreshTooltip() { return L10n::pick("刷新", "重新整理", "Refresh"); }
QString draftLabel() { return L10n::pick("草稿", "草稿", "Draft"); }
QString pin(bool pinned)
{
    return pinned ? L10n::pick("取消置顶", "取消置頂", "Unpin") : L10n::pick("置顶", "置頂", "Pin");
}
QString mute(bool muted)
{
    return muted ? L10n::pick("取消免打扰", "取消免打擾", "Unmute") : L10n::pick("免打扰", "免打擾", "Mute");
}
QString markRead() { return L10n::pick("标记已读", "標記已讀", "Mark as read"); }
QString deleteChat() { return L10n::pick("删除会话", "刪除對話", "Delete chat"); }
QString emptyPane() { return L10n::pick("选择一个会话开始聊天", "選擇一個對話開始聊天", "Select a chat to start messaging"); }

QString rowTime(qint64 sendTimeMs, const QDateTime &now)
{
    if (sendTimeMs <= 0)
        return {};
    const QDateTime sent = QDateTime::fromMSecsSinceEpoch(sendTimeMs, now.timeZone());
    const qint64 days = sent.date().daysTo(now.date());
    const QString lang = L10n::lang();
    const QLocale locale(lang == QLatin1String("zh") ? QLocale(QLocale::Chinese, QLocale::China)
                         : lang == QLatin1String("zh-HK") ? QLocale(QLocale::Chinese, QLocale::HongKong)
                                                          : QLocale(QLocale::English, QLocale::UnitedStates));
    if (days <= 0) // today, or a clock that runs behind the sender's
        return sent.toString(QStringLiteral("HH:mm"));
    if (days == 1)
        return L10n::t(QStringLiteral("yesterday"));
    if (days < 7)
        return locale.dayName(sent.date().dayOfWeek(), QLocale::ShortFormat);
    if (sent.date().year() == now.date().year())
        return locale.toString(sent.date(), lang.startsWith(QLatin1String("zh")) ? QStringLiteral("M月d日") : QStringLiteral("MMM d"));
    return sent.toString(QStringLiteral("yyyy/M/d"));
}

QString fileMenu() { return L10n::pick("文件", "檔案", "File"); }
QString editMenu() { return L10n::pick("编辑", "編輯", "Edit"); }
QString goMenu() { return L10n::pick("导航", "導航", "Go"); }
QString newChatCommand() { return L10n::pick("新会话", "新對話", "New Chat"); }
QString searchChatsCommand() { return L10n::pick("搜索会话", "搜尋對話", "Search Chats"); }
QString chatsCommand() { return L10n::pick("会话", "對話", "Chats"); }
QString contactsCommand() { return L10n::pick("通讯录", "通訊錄", "Contacts"); }
QString momentsCommand() { return L10n::pick("朋友圈", "朋友圈", "Moments"); }
QString meCommand() { return L10n::pick("我的", "我的", "Me"); }
QString showWindow() { return L10n::pick("显示窗口", "顯示視窗", "Show Window"); }
QString quit() { return L10n::pick("退出", "結束", "Quit"); }

} // namespace RootTexts
