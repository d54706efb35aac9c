#pragma once

#include <QJsonObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <functional>

class QNetworkAccessManager;

namespace ImSdk {

// Stores a local file in the IM API's object storage (part_limit, initiate, auth_sign, one PUT
// per part, complete), reading each part from disk as it is sent so that large files never sit
// in memory. Runs on the SDK thread.
class ObjectUploader {
public:
    struct Result {
        QString url;
        QString error; // empty on success
    };
    using Progress = std::function<void(qint64 sent, qint64 total)>;

    ObjectUploader(QNetworkAccessManager &nam, QString apiAddr, QString token, QString userID)
        : m_nam(nam), m_apiAddr(std::move(apiAddr)), m_token(std::move(token)), m_userID(std::move(userID))
    {
    }

    QCoro::Task<Result> upload(QString path, Progress progress);

private:
    struct ApiAnswer {
        bool ok = false;
        QString error;
        QJsonObject data;
    };
    QCoro::Task<ApiAnswer> api(QString path, QJsonObject body);
    QCoro::Task<QString> put(QJsonObject sign, QJsonObject descriptor, QString file, qint64 offset, qint64 length,
                             std::function<void(qint64)> sent);

    QNetworkAccessManager &m_nam;
    QString m_apiAddr, m_token, m_userID;
};

} // namespace ImSdk
