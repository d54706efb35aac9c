#pragma once

#include "app/Notifier.h"

#include <QObject>
#include <QVariantMap>
#include <functional>

// The desktop session's services as MacNotify uses them; one D-Bus implementation, fakes in tests.
class DesktopBus {
public:
    virtual ~DesktopBus() = default;
    // org.freedesktop.Notifications.Notify; the outcome is not awaited.
    virtual void notify(const QString &title, const QString &body, const QVariantMap &hints) = 0;
    // The com.canonical.Unity.LauncherEntry "Update" signal for this application's launcher.
    virtual void updateLauncher(const QVariantMap &properties) = 0;
};

// Over the session bus; silently does nothing without one.
class DBusDesktopBus : public DesktopBus {
public:
    static constexpr const char *kDesktopEntry = "sarvo";

    void notify(const QString &title, const QString &body, const QVariantMap &hints) override;
    void updateLauncher(const QVariantMap &properties) override;
};

// System banners for new messages while the application is in the background, and the unread
// count on the launcher. `enabled` is the user's switch, persisted under
// "mirelo_mac_notifications" (absent means on). Main thread.
class MacNotify : public QObject, public Notifier {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)

public:
    static constexpr const char *kPreferenceKey = "mirelo_mac_notifications";
    using IsActive = std::function<bool()>;

    // Over the session bus; "active" is the application's state.
    static MacNotify &shared();

    MacNotify(DesktopBus &bus, IsActive isActive, QObject *parent = nullptr);

    bool enabled() const override { return m_enabled; }
    void setEnabled(bool enabled);

    void postIfNeeded(const QString &title, const QString &body) override;
    // Freedesktop notifications need no permission.
    void requestPermission() override {}

    // The unread count on the launcher; below 1 hides it.
    void setLauncherCount(qint64 count);

    // The hints every banner carries: the default sound, the desktop entry, the IM category.
    static QVariantMap bannerHints();

signals:
    void enabledChanged(bool enabled);

private:
    DesktopBus &m_bus;
    IsActive m_isActive;
    bool m_enabled = true;
    qint64 m_launcherCount = -1;
};
