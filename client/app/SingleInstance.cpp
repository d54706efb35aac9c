#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>

namespace {

constexpr int kConnectMs = 1000;
constexpr QByteArrayView kActivate = "activate\n";

} // namespace

SingleInstance::SingleInstance(QString key, QObject *parent) : QObject(parent), m_key(std::move(key))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
}

bool SingleInstance::claim()
{
    // Two starts at the same moment take turns, so only one of them ends up listening.
    QLockFile lock(QDir(QDir::tempPath()).filePath(m_key + QStringLiteral(".lock")));
    lock.tryLock(kConnectMs * 2);

    QLocalSocket other;
    other.connectToServer(m_key);
    if (other.waitForConnected(kConnectMs)) {
        other.write(kActivate.data(), kActivate.size());
        other.waitForBytesWritten(kConnectMs);
        other.disconnectFromServer();
        return false;
    }
    // Nobody answers: a socket file left by a crashed run is in the way.
    QLocalServer::removeServer(m_key);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(m_key))
        qWarning("single instance: cannot listen on %s: %s", qPrintable(m_key), qPrintable(m_server.errorString()));
    return true;
}

void SingleInstance::onConnection()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->readAll().contains("activate"))
                emit activationRequested();
        });
    }
}
