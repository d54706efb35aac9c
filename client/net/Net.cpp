#include "net/Net.h"

#include "base/Json.h"
#include "base/Network.h"
#include "base/ServiceConfig.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUuid>
#include <openssl/evp.h>
#include <qcoro/qcoronetworkreply.h>
#include <qcoro/qcorosignal.h>

#include <cmath>
#include <memory>

namespace Net {

namespace {

std::chrono::milliseconds g_connectivityWait = kConnectivityWait;

} // namespace

void setConnectivityWait(std::chrono::milliseconds wait)
{
    g_connectivityWait = wait.count() > 0 ? wait : kConnectivityWait;
}

QCoro::Task<void> waitUntilReachable(QUrl url)
{
    Reachability &reachability = Reachability::shared();
    if (reachability.canReach(url))
        co_return;
    const QDeadlineTimer deadline(g_connectivityWait);
    QTimer wake;
    wake.setSingleShot(true);
    QObject::connect(&reachability, &Reachability::changed, &wake, [&wake] { wake.start(0); });
    // The network may come and go again before we look: wait for a change that holds.
    while (!reachability.canReach(url)) {
        if (deadline.hasExpired())
            throw Error(QStringLiteral("Network"), QNetworkReply::TimeoutError, QStringLiteral("No network connection"));
        wake.start(static_cast<int>(deadline.remainingTime()));
        co_await qCoro(&wake, &QTimer::timeout);
    }
}

QCoro::Task<QJsonObject> postJSON(QString url, QJsonObject body, Headers headers)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (url.isEmpty() || !parsed.isValid() || parsed.scheme().isEmpty())
        throw APIError(QStringLiteral("bad url"));
    const QByteArray payload = Json::compact(body);
    co_await waitUntilReachable(parsed);
    QNetworkRequest request(parsed);
    request.setTransferTimeout(60000);
    request.setRawHeader("Content-Type", "application/json; charset=utf-8");
    for (const auto &[name, value] : headers)
        request.setRawHeader(name.toUtf8(), value.toUtf8());

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        sharedNetworkAccessManager().post(request, payload), [](QNetworkReply *r) { r->deleteLater(); });
    co_await reply.get();
    // Any HTTP answer counts, whatever its status; only a missing answer is a transport error.
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && reply->error() != QNetworkReply::NoError)
        throw Error(QStringLiteral("Network"), reply->error(), reply->errorString());
    co_return Json::parseObject(reply->readAll());
}

bool envelopeOk(const QJsonObject &answer)
{
    const QJsonValue code = answer.value(QLatin1String("errCode"));
    return code.isDouble() && std::isfinite(code.toDouble()) && std::trunc(code.toDouble()) == 0;
}

QCoro::Task<QJsonObject> imApi(QString path, QJsonObject body, QString token)
{
    const Headers headers{{QStringLiteral("token"), token}, {QStringLiteral("operationID"), newOperationID()}};
    const QString url = ServiceConfig::current().imApiBase() + path;
    const QJsonObject answer = co_await postJSON(url, body, headers);
    if (!envelopeOk(answer)) {
        const QJsonValue msg = answer.value(QLatin1String("errMsg"));
        throw APIError(msg.isString() ? msg.toString() : QStringLiteral("IM API %1 failed").arg(path));
    }
    co_return Json::obj(answer, QLatin1String("data"));
}

QString md5Hex(QByteArrayView data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), static_cast<size_t>(data.size()), digest, &len, EVP_md5(), nullptr) != 1)
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), len).toHex());
}

QString newOperationID()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace Net
