#include "app/MacNotify.h"

#include "base/Preferences.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>

void DBusDesktopBus::notify(const QString &title, const QString &body, const QVariantMap &hints)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Sarvo") << uint(0) << QString::fromLatin1(kDesktopEntry) << title << body << QStringList()
         << hints << int(-1);
    // Sent without waiting: the reply (the server's id) is not needed.
    bus.send(call);
}

void DBusDesktopBus::updateLauncher(const QVariantMap &properties)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/com/canonical/unity/launcherentry/sarvo"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    signal << QStringLiteral("application://%1.desktop").arg(QLatin1String(kDesktopEntry)) << properties;
    bus.send(signal);
}

MacNotify &MacNotify::shared()
{
    static DBusDesktopBus *bus = new DBusDesktopBus;
    static MacNotify *notify = new MacNotify(*bus, [] {
        return qobject_cast<QGuiApplication *>(QCoreApplication::instance())
            && QGuiApplication::applicationState() == Qt::ApplicationActive;
    });
    return *notify;
}

MacNotify::MacNotify(DesktopBus &bus, IsActive isActive, QObject *parent)
    : QObject(parent), m_bus(bus), m_isActive(std::move(isActive))
{
    auto settings = Preferences::open();
    const QVariant stored = settings->value(QLatin1String(kPreferenceKey));
    if (stored.isValid())
        m_enabled = stored.toBool();
}

void MacNotify::setEnabled(bool enabled)
{
    auto settings = Preferences::open();
    settings->setValue(QLatin1String(kPreferenceKey), enabled);
    Preferences::commit(*settings);
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
    emit enabledChanged(enabled);
}

QVariantMap MacNotify::bannerHints()
{
    return QVariantMap{
        {QStringLiteral("sound-name"), QStringLiteral("message-new-instant")},
        {QStringLiteral("desktop-entry"), QString::fromLatin1(DBusDesktopBus::kDesktopEntry)},
        {QStringLiteral("category"), QStringLiteral("im.received")},
    };
}

void MacNotify::postIfNeeded(const QString &title, const QString &body)
{
    if (!m_enabled)
        return;
    if (m_isActive && m_isActive())
        return;
    m_bus.notify(title, body, bannerHints());
}

void MacNotify::setLauncherCount(qint64 count)
{
    count = qMax<qint64>(0, count);
    if (count == m_launcherCount)
        return;
    m_launcherCount = count;
    m_bus.updateLauncher(QVariantMap{{QStringLiteral("count"), count}, {QStringLiteral("count-visible"), count > 0}});
}
