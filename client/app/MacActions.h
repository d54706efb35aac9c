#pragma once

#include <QLatin1StringView>

// The menu commands' in-process announcements (Broadcast). switchTab carries a QVariantMap
// whose "tab" entry is the tab's name ("chats", "contacts", "moments", "me").
namespace MacActions {

inline constexpr QLatin1StringView kNewChat{"mirelo.mac.newChat"};
inline constexpr QLatin1StringView kFocusSearch{"mirelo.mac.focusSearch"};
inline constexpr QLatin1StringView kSwitchTab{"mirelo.mac.switchTab"};
inline constexpr QLatin1StringView kTabKey{"tab"};

void newChat();
void focusSearch();
void switchTab(const QString &tab);

} // namespace MacActions
