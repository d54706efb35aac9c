#pragma once

#include "base/Network.h"

#include <QStringList>

// A network the test switches on and off. Paths in `alwaysThrough` get out while it is off, so a
// test can still talk to its server.
class FakeReachability : public Reachability {
public:
    bool online = false;
    QStringList alwaysThrough;
    mutable int asked = 0;

    bool canReach(const QUrl &url) const override
    {
        ++asked;
        return online || alwaysThrough.contains(url.path());
    }
    void set(bool up)
    {
        online = up;
        emit changed();
    }
};
