#pragma once

#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkInformation;

// The one QNetworkAccessManager of the process (main thread), so that connections, TLS
// sessions and the cookie jar are shared by every request.
QNetworkAccessManager &sharedNetworkAccessManager();

// Whether a request can go out now. Requests made while it cannot wait for a change instead of
// failing at once (see Net::waitUntilReachable).
class Reachability : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool canReach(const QUrl &url) const = 0;

    // The process-wide instance (main thread): the platform's, unless a test put its own.
    static Reachability &shared();
    // Replaces the process-wide instance; null restores the platform's. Not owned.
    static void setShared(Reachability *reachability);

signals:
    void changed();
};

// The platform's view through QNetworkInformation. Only a network reported as disconnected
// holds requests back: when the platform cannot tell, requests go out. A host on this machine
// (the local service) is always reachable.
class PlatformReachability : public Reachability {
    Q_OBJECT
public:
    explicit PlatformReachability(QObject *parent = nullptr);

    bool canReach(const QUrl &url) const override;

    static bool isOnThisMachine(const QUrl &url);

private:
    QNetworkInformation *m_info = nullptr;
};
