#include "net/ObjectUpload.h"

#include "base/Json.h"
#include "base/Network.h"
#include "net/Net.h"
#include "net/ObjectParts.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>
#include <qcoro/qcoronetworkreply.h>

#include <cmath>
#include <memory>
#include <optional>

namespace Net {

namespace {

using ObjectParts::findPart;
using ObjectParts::kSignBatch;
const QString kContentType = QStringLiteral("application/octet-stream");

// A limit read as an integer (fractions truncated); another type counts as absent. A number
// beyond 64 bits reads as 0 so that it is refused.
qint64 limit(const QJsonObject &o, QLatin1StringView key, qint64 fallback)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return fallback;
    const double d = std::trunc(v.toDouble());
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
        return 0;
    return Json::integer(o, key);
}

QString partFailed(qint64 n)
{
    return QStringLiteral("PUT part %1 failed").arg(n);
}

} // namespace

UploadPlan planUpload(qint64 size, qint64 minPartSize, qint64 maxNumSize)
{
    const std::optional<ObjectParts::Plan> plan = ObjectParts::plan(size, minPartSize, maxNumSize);
    if (!plan)
        throw APIError(QStringLiteral("upload: unusable part limits (minPartSize %1, maxNumSize %2)").arg(minPartSize).arg(maxNumSize));
    return UploadPlan{plan->size, plan->partSize, plan->partCount};
}

QString objectName(const QString &fileName, const QString &userID)
{
    qsizetype begin = 0, end = fileName.size();
    while (begin < end && fileName[begin] == QLatin1Char('/'))
        ++begin;
    while (end > begin && fileName[end - 1] == QLatin1Char('/'))
        --end;
    const QString name = fileName.mid(begin, end - begin);
    return name.startsWith(userID + QLatin1Char('/')) ? name : userID + QLatin1Char('/') + name;
}

QCoro::Task<QString> uploadBytes(QByteArray data, QString fileName, QString imToken, QString userID)
{
    const QString name = objectName(fileName, userID);
    const QJsonObject limits = co_await imApi(QStringLiteral("/object/part_limit"), QJsonObject(), imToken);
    const UploadPlan plan = planUpload(data.size(), limit(limits, QLatin1String("minPartSize"), ObjectParts::kDefaultMinPartSize),
                                       limit(limits, QLatin1String("maxNumSize"), ObjectParts::kDefaultMaxParts));

    // Parts are views into `data`: hashed once here, sent as they are below.
    auto partView = [&](qint64 i) {
        const qint64 from = i * plan.partSize;
        return QByteArrayView(data).sliced(from, std::min(from + plan.partSize, plan.size) - from);
    };
    QJsonArray partHashes;
    QStringList hashes;
    for (qint64 i = 0; i < plan.partCount; ++i) {
        hashes << md5Hex(partView(i));
        partHashes.append(hashes.last());
    }
    const QString hash = md5Hex(hashes.join(QLatin1Char(',')).toUtf8());

    const QJsonObject initiateBody{
        {QStringLiteral("hash"), hash},
        {QStringLiteral("size"), plan.size},
        {QStringLiteral("partSize"), plan.partSize},
        {QStringLiteral("maxParts"), std::min(plan.partCount, kSignBatch)},
        {QStringLiteral("cause"), QString()},
        {QStringLiteral("name"), name},
        {QStringLiteral("contentType"), kContentType},
    };
    const QJsonObject initiate = co_await imApi(QStringLiteral("/object/initiate_multipart_upload"), initiateBody, imToken);
    if (!initiate.contains(QLatin1String("upload"))) {
        const QString url = Json::str(initiate, QLatin1String("url"));
        if (url.isEmpty())
            throw APIError(QStringLiteral("initiate upload: no upload info and no url"));
        co_return url;
    }
    const QJsonValue upload = initiate.value(QLatin1String("upload"));
    if (!upload.isObject())
        throw APIError(QStringLiteral("initiate upload: bad upload object"));
    const QString uploadID = Json::str(upload.toObject(), QLatin1String("uploadID"));
    QJsonObject sign = Json::obj(upload.toObject(), QLatin1String("sign"));

    for (qint64 n = 1; n <= plan.partCount; ++n) {
        std::optional<QJsonObject> descriptor = findPart(sign, n);
        if (!descriptor) {
            QJsonArray numbers;
            for (qint64 k = n; k <= std::min(n + kSignBatch - 1, plan.partCount); ++k)
                numbers.append(k);
            const QJsonObject signBody{{QStringLiteral("uploadID"), uploadID}, {QStringLiteral("partNumbers"), numbers}};
            sign = co_await imApi(QStringLiteral("/object/auth_sign"), signBody, imToken);
            descriptor = findPart(sign, n);
            if (!descriptor)
                throw APIError(QStringLiteral("auth_sign missing part %1").arg(n));
        }
        const std::optional<QUrl> url = ObjectParts::partUrl(sign, *descriptor);
        if (!url)
            throw APIError(QStringLiteral("bad put url"));

        co_await waitUntilReachable(*url);
        QNetworkRequest request(*url);
        request.setTransferTimeout(60000);
        for (const auto &[key, value] : ObjectParts::partHeaders(sign, *descriptor))
            if (!key.isEmpty())
                request.setRawHeader(key.toUtf8(), value.toUtf8());
        const QByteArrayView part = partView(n - 1);
        std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
            sharedNetworkAccessManager().put(request, QByteArray::fromRawData(part.data(), part.size())), [](QNetworkReply *r) { r->deleteLater(); });
        co_await reply.get();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid() && reply->error() != QNetworkReply::NoError)
            throw Error(QStringLiteral("Network"), reply->error(), reply->errorString());
        if (!status.isValid() || status.toInt() < 200 || status.toInt() > 299)
            throw APIError(partFailed(n));
    }

    const QJsonObject completeBody{
        {QStringLiteral("uploadID"), uploadID},
        {QStringLiteral("parts"), partHashes},
        {QStringLiteral("name"), name},
        {QStringLiteral("contentType"), kContentType},
        {QStringLiteral("cause"), QString()},
    };
    const QJsonObject complete = co_await imApi(QStringLiteral("/object/complete_multipart_upload"), completeBody, imToken);
    const QString url = Json::str(complete, QLatin1String("url"));
    if (url.isEmpty())
        throw APIError(QStringLiteral("complete upload: empty url"));
    co_return url;
}

} // namespace Net
