#pragma once

#include <QDateTime>
#include <QString>

// The main window's and its menu commands' texts in the current interface language.
namespace RootTexts {

QString listTitle();
QString searchPlaceholder();
QString newChatTooltip();
QString refreshTooltip();
QString draftLabel();
QString pin(bool pinned);
QString mute(bool muted);
QString markRead();
QString deleteChat();
QString emptyPane();
// When a row's latest message was sent: the time today, "yesterday", the weekday within the
// week, the date this year, the full date before; empty without a time.
QString rowTime(qint64 sendTimeMs, const QDateTime &now);

// Menu commands and menus.
QString fileMenu();
QString editMenu();
QString goMenu();
QString newChatCommand();
QString searchChatsCommand();
QString chatsCommand();
QString contactsCommand();
QString momentsCommand();
QString meCommand();
QString showWindow();
QString quit();

} // namespace RootTexts
