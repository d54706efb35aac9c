#pragma once

#include <QByteArray>
#include <QString>
#include <qcoro/qcorotask.h>

// Somewhere a small secret can be kept outside the preferences file: the desktop keyring, or an
// owner-only file when no keyring runs. Named items; every operation is asynchronous because the
// keyring answers over D-Bus.
class SecretBackend {
public:
    enum class Status { Found, Missing, Failed };
    struct Read {
        Status status = Status::Failed;
        QByteArray value;
    };

    virtual ~SecretBackend() = default;

    virtual QCoro::Task<Read> read(QString name) = 0;
    // True once the item is stored durably.
    virtual QCoro::Task<bool> write(QString name, QByteArray value) = 0;
};

// One file per item in a directory of the user's alone (0700), each file 0600, replaced atomically.
class FileSecretBackend : public SecretBackend {
public:
    explicit FileSecretBackend(QString directory);

    QCoro::Task<Read> read(QString name) override;
    QCoro::Task<bool> write(QString name, QByteArray value) override;

    QString filePath(const QString &name) const;

private:
    QString m_dir;
};
