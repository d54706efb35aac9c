#include "base/Network.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkInformation>

QNetworkAccessManager &sharedNetworkAccessManager()
{
    // Never destroyed: replies may still be finishing while statics are torn down.
    static QNetworkAccessManager *const nam = [] {
        auto *m = new QNetworkAccessManager;
        m->setTransferTimeout(30000);
        return m;
    }();
    return *nam;
}

namespace {

Reachability *&override()
{
    static Reachability *instance = nullptr;
    return instance;
}

} // namespace

Reachability &Reachability::shared()
{
    if (Reachability *r = override())
        return *r;
    // Never destroyed, like the access manager it goes with.
    static PlatformReachability *const platform = new PlatformReachability;
    return *platform;
}

void Reachability::setShared(Reachability *reachability)
{
    override() = reachability;
}

PlatformReachability::PlatformReachability(QObject *parent) : Reachability(parent)
{
    if (QNetworkInformation::instance()
        || QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        m_info = QNetworkInformation::instance();
        connect(m_info, &QNetworkInformation::reachabilityChanged, this, &Reachability::changed);
    }
}

bool PlatformReachability::canReach(const QUrl &url) const
{
    if (isOnThisMachine(url) || !m_info)
        return true;
    return m_info->reachability() != QNetworkInformation::Reachability::Disconnected;
}

bool PlatformReachability::isOnThisMachine(const QUrl &url)
{
    const QString host = url.host().toLower();
    if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost")))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}
