#include "base/SecretBackend.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

FileSecretBackend::FileSecretBackend(QString directory) : m_dir(std::move(directory)) {}

QString FileSecretBackend::filePath(const QString &name) const
{
    return QDir(m_dir).filePath(name);
}

QCoro::Task<SecretBackend::Read> FileSecretBackend::read(QString name)
{
    QFile file(filePath(name));
    if (!file.exists())
        co_return Read{Status::Missing, {}};
    if (!file.open(QIODevice::ReadOnly))
        co_return Read{Status::Failed, {}};
    co_return Read{Status::Found, file.readAll()};
}

QCoro::Task<bool> FileSecretBackend::write(QString name, QByteArray value)
{
    if (!QDir().mkpath(m_dir))
        co_return false;
    const QByteArray dir = QFile::encodeName(m_dir);
    ::chmod(dir.constData(), 0700);
    const QByteArray target = QFile::encodeName(filePath(name));
    const QByteArray temp = target + ".new";
    // Created 0600 whatever the umask, so the secret is never readable by others, not even briefly.
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        co_return false;
    const bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, value) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        co_return false;
    }
    co_return true;
}
