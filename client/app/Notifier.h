#pragma once

#include <QString>

// System notifications as the main window uses them; the desktop implementation talks to the
// notification service, tests use a fake.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows a banner unless the application is in front or banners are switched off.
    virtual void postIfNeeded(const QString &title, const QString &body) = 0;
    virtual bool enabled() const = 0;
    // Asks the platform for permission to alert; the answer is not used.
    virtual void requestPermission() = 0;
};
