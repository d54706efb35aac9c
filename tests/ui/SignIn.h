#pragma once

#include "FakeSdk.h"
#include "app/AppState.h"
#include "support/EventLoop.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// Signs "me" in through the scripted SDK and lets the reload that the sign-in starts (it ends
// with the profile load) run to its end.
inline void signInAsMe(AppState &app)
{
    const size_t profileLoads = FakeSdk::callsOf("get_self_user_info").size();
    app.applyLogin({"me", "tok", "ct"}, "Me");
    ASSERT_TRUE(spinUntil([&] { return FakeSdk::callsOf("get_self_user_info").size() > profileLoads; }));
    FakeSdk::drain();
    QCoreApplication::processEvents();
}
