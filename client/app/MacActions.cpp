#include "app/MacActions.h"

#include "base/Broadcast.h"

#include <QVariantMap>

void MacActions::newChat()
{
    Broadcast::post(kNewChat);
}

void MacActions::focusSearch()
{
    Broadcast::post(kFocusSearch);
}

void MacActions::switchTab(const QString &tab)
{
    Broadcast::post(kSwitchTab, QVariantMap{{QString(kTabKey), tab}});
}
