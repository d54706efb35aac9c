#include "net/ObjectUpload.h"

#include "base/Json.h"
#include "base/Network.h"
#include "net/Net.h"

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

constexpr qint64 kDefaultMinPartSize = 5242880;
constexpr qint64 kDefaultMaxNumSize = 10000;
constexpr qint64 kSignBatch = 20;
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

qint64 partNumber(const QJsonObject &descriptor)
{
    const QJsonValue v = descriptor.value(QLatin1String("partNumber"));
    if (!v.isDouble() || !std::isfinite(v.toDouble()) || std::fabs(v.toDouble()) >= 9.2e18)
        return -1;
    return Json::integer(descriptor, QLatin1String("partNumber"));
}

std::optional<QJsonObject> findPart(const QJsonObject &sign, qint64 n)
{
    for (const QJsonObject &d : Json::objectList(sign.value(QLatin1String("parts"))))
        if (partNumber(d) == n)
            return d;
    return std::nullopt;
}

// (key, first value as text) of every usable query or header entry, in order.
QList<QPair<QString, QString>> entries(const QJsonObject &o, QLatin1StringView listKey)
{
    QList<QPair<QString, QString>> out;
    for (const QJsonValue &e : Json::arr(o, listKey)) {
        const QJsonObject entry = e.toObject();
        const QJsonArray values = Json::arr(entry, QLatin1String("values"));
        if (values.isEmpty())
            continue;
        out.append({Json::str(entry, QLatin1String("key")), Json::text(values.first())});
    }
    return out;
}

std::optional<QUrl> partUrl(const QJsonObject &sign, const QJsonObject &descriptor)
{
    QString text = Json::str(descriptor, QLatin1String("url"));
    if (!descriptor.value(QLatin1String("url")).isString())
        text = Json::str(sign, QLatin1String("url"));
    QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid() || url.isRelative())
        return std::nullopt;
    QUrlQuery query(url);
    for (const QJsonObject *source : {&sign, &descriptor}) {
        for (const auto &[key, value] : entries(*source, QLatin1String("query"))) {
            query.removeAllQueryItems(key);
            query.addQueryItem(key, value);
        }
    }
    url.setQuery(query);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QString partFailed(qint64 n)
{
    return QStringLiteral("PUT part %1 failed").arg(n);
}

} // namespace

UploadPlan planUpload(qint64 size, qint64 minPartSize, qint64 maxNumSize)
{
    qint64 capacity = 0;
    if (minPartSize <= 0 || maxNumSize <= 0 || __builtin_mul_overflow(minPartSize, maxNumSize, &capacity))
        throw APIError(QStringLiteral("upload: unusable part limits (minPartSize %1, maxNumSize %2)").arg(minPartSize).arg(maxNumSize));
    UploadPlan plan;
    plan.size = size;
    plan.partSize = capacity >= size ? minPartSize : size / maxNumSize + (size % maxNumSize != 0);
    plan.partSize = std::max<qint64>(plan.partSize, 1);
    plan.partCount = std::max<qint64>(size / plan.partSize + (size % plan.partSize != 0), 1);
    return plan;
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
    const UploadPlan plan = planUpload(data.size(), limit(limits, QLatin1String("minPartSize"), kDefaultMinPartSize),
                                       limit(limits, QLatin1String("maxNumSize"), kDefaultMaxNumSize));

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
        const std::optional<QUrl> url = partUrl(sign, *descriptor);
        if (!url)
            throw APIError(QStringLiteral("bad put url"));

        QNetworkRequest request(*url);
        request.setTransferTimeout(60000);
        for (const QJsonObject *source : {&sign, &*descriptor})
            for (const auto &[key, value] : entries(*source, QLatin1String("header")))
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
