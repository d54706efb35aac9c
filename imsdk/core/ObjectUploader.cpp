#include "core/ObjectUploader.h"

#include "base/Json.h"
#include "net/ObjectParts.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>
#include <QUuid>
#include <qcoro/qcoronetworkreply.h>

#include <memory>
#include <optional>

namespace ImSdk {

namespace {

using ObjectParts::findPart;
using ObjectParts::kSignBatch;
const QString kContentType = QStringLiteral("application/octet-stream");

// A window [offset, offset + length) of a file, read on demand as the request body.
class FileRange : public QIODevice {
public:
    FileRange(const QString &path, qint64 offset, qint64 length) : m_file(path), m_offset(offset), m_length(length) {}
    bool start() { return m_file.open(QIODevice::ReadOnly) && open(QIODevice::ReadOnly); }
    qint64 size() const override { return m_length; }
    bool isSequential() const override { return false; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = std::min(max, m_length - pos());
        if (n <= 0)
            return n == 0 ? 0 : -1;
        if (!m_file.seek(m_offset + pos()))
            return -1;
        return m_file.read(data, n);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_offset, m_length;
};

// MD5 of every part and of their joined hex digests, reading the file once.
std::optional<QPair<QStringList, QString>> hashParts(const QString &path, qint64 partSize, qint64 partCount)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringList hashes;
    QByteArray buffer;
    for (qint64 i = 0; i < partCount; ++i) {
        QCryptographicHash md5(QCryptographicHash::Md5);
        qint64 left = partSize;
        while (left > 0) {
            buffer = f.read(std::min<qint64>(left, 1 << 16));
            if (buffer.isEmpty())
                break;
            md5.addData(buffer);
            left -= buffer.size();
        }
        hashes << QString::fromLatin1(md5.result().toHex());
    }
    const QString joined = QString::fromLatin1(QCryptographicHash::hash(hashes.join(QLatin1Char(',')).toUtf8(), QCryptographicHash::Md5).toHex());
    return qMakePair(hashes, joined);
}

} // namespace

QCoro::Task<ObjectUploader::ApiAnswer> ObjectUploader::api(QString path, QJsonObject body)
{
    QNetworkRequest request(QUrl(m_apiAddr + path));
    request.setTransferTimeout(60000);
    request.setRawHeader("Content-Type", "application/json; charset=utf-8");
    request.setRawHeader("token", m_token.toUtf8());
    request.setRawHeader("operationID", QUuid::createUuid().toString(QUuid::WithoutBraces).toUtf8());
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(m_nam.post(request, Json::compact(body)),
                                                                    [](QNetworkReply *r) { r->deleteLater(); });
    co_await reply.get();
    const QJsonObject answer = Json::parseObject(reply->readAll());
    const QJsonValue code = answer.value(QLatin1String("errCode"));
    if (!code.isDouble() || code.toInteger() != 0) {
        QString error = Json::str(answer, QLatin1String("errMsg"));
        if (error.isEmpty())
            error = reply->error() != QNetworkReply::NoError ? reply->errorString() : path + QStringLiteral(" failed");
        co_return ApiAnswer{false, error, {}};
    }
    co_return ApiAnswer{true, {}, Json::obj(answer, QLatin1String("data"))};
}

QCoro::Task<QString> ObjectUploader::put(QJsonObject sign, QJsonObject descriptor, QString file, qint64 offset, qint64 length,
                                         std::function<void(qint64)> sent)
{
    const std::optional<QUrl> url = ObjectParts::partUrl(sign, descriptor);
    if (!url)
        co_return QStringLiteral("bad put url");

    QNetworkRequest request(*url);
    request.setTransferTimeout(60000);
    for (const auto &[key, value] : ObjectParts::partHeaders(sign, descriptor))
        if (!key.isEmpty())
            request.setRawHeader(key.toUtf8(), value.toUtf8());
    request.setHeader(QNetworkRequest::ContentLengthHeader, length);

    auto body = std::make_unique<FileRange>(file, offset, length);
    if (!body->start())
        co_return QStringLiteral("cannot read %1").arg(file);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(m_nam.put(request, body.get()),
                                                                    [](QNetworkReply *r) { r->deleteLater(); });
    QObject::connect(reply.get(), &QNetworkReply::uploadProgress, reply.get(), [sent](qint64 done, qint64 total) {
        if (total > 0) // Qt reports (0, 0) once the request is done
            sent(done);
    });
    co_await reply.get();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() < 200 || status.toInt() > 299)
        co_return reply->error() != QNetworkReply::NoError && !status.isValid() ? reply->errorString()
                                                                                  : QStringLiteral("PUT part failed (HTTP %1)").arg(status.toInt());
    co_return QString();
}

QCoro::Task<ObjectUploader::Result> ObjectUploader::upload(QString path, Progress progress)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        co_return Result{{}, QStringLiteral("cannot read %1").arg(path)};
    const qint64 size = info.size();

    const QJsonObject noBody;
    const ApiAnswer limits = co_await api(QStringLiteral("/object/part_limit"), noBody);
    if (!limits.ok)
        co_return Result{{}, limits.error};
    qint64 minPartSize = Json::integer(limits.data, QLatin1String("minPartSize"));
    qint64 maxParts = Json::integer(limits.data, QLatin1String("maxNumSize"));
    if (minPartSize <= 0)
        minPartSize = ObjectParts::kDefaultMinPartSize;
    if (maxParts <= 0)
        maxParts = ObjectParts::kDefaultMaxParts;
    const std::optional<ObjectParts::Plan> plan = ObjectParts::plan(size, minPartSize, maxParts);
    if (!plan)
        co_return Result{{}, QStringLiteral("upload: unusable part limits")};
    const qint64 partSize = plan->partSize;
    const qint64 partCount = plan->partCount;

    const auto hashes = hashParts(path, partSize, partCount);
    if (!hashes)
        co_return Result{{}, QStringLiteral("cannot read %1").arg(path)};
    // A name of our own under the user's prefix: local file names may hold anything.
    const QString name = m_userID + QStringLiteral("/im/") + QUuid::createUuid().toString(QUuid::Id128) +
                         (info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix().left(16));

    const QJsonObject initiateBody{{QStringLiteral("hash"), hashes->second},
                                   {QStringLiteral("size"), size},
                                   {QStringLiteral("partSize"), partSize},
                                   {QStringLiteral("maxParts"), std::min(partCount, kSignBatch)},
                                   {QStringLiteral("cause"), QString()},
                                   {QStringLiteral("name"), name},
                                   {QStringLiteral("contentType"), kContentType}};
    const ApiAnswer initiate = co_await api(QStringLiteral("/object/initiate_multipart_upload"), initiateBody);
    if (!initiate.ok)
        co_return Result{{}, initiate.error};
    if (!initiate.data.value(QLatin1String("upload")).isObject()) {
        const QString url = Json::str(initiate.data, QLatin1String("url"));
        co_return url.isEmpty() ? Result{{}, QStringLiteral("initiate upload: no upload info and no url")} : Result{url, {}};
    }
    const QJsonObject upload = Json::obj(initiate.data, QLatin1String("upload"));
    const QString uploadID = Json::str(upload, QLatin1String("uploadID"));
    QJsonObject sign = Json::obj(upload, QLatin1String("sign"));

    for (qint64 n = 1; n <= partCount; ++n) {
        std::optional<QJsonObject> descriptor = findPart(sign, n);
        if (!descriptor) {
            QJsonArray numbers;
            for (qint64 k = n; k <= std::min(n + kSignBatch - 1, partCount); ++k)
                numbers.append(k);
            const QJsonObject signBody{{QStringLiteral("uploadID"), uploadID}, {QStringLiteral("partNumbers"), numbers}};
            const ApiAnswer signed_ = co_await api(QStringLiteral("/object/auth_sign"), signBody);
            if (!signed_.ok)
                co_return Result{{}, signed_.error};
            sign = signed_.data;
            descriptor = findPart(sign, n);
            if (!descriptor)
                co_return Result{{}, QStringLiteral("auth_sign missing part %1").arg(n)};
        }
        const qint64 offset = (n - 1) * partSize;
        const qint64 length = std::min(partSize, size - offset);
        std::function<void(qint64)> sent = [progress, offset, size](qint64 done) {
            if (progress)
                progress(offset + done, size);
        };
        const QJsonObject part = *descriptor;
        const QString error = co_await put(sign, part, path, offset, length, sent);
        if (!error.isEmpty())
            co_return Result{{}, error};
    }

    QJsonArray partHashes;
    for (const QString &h : hashes->first)
        partHashes.append(h);
    const QJsonObject completeBody{{QStringLiteral("uploadID"), uploadID},
                                   {QStringLiteral("parts"), partHashes},
                                   {QStringLiteral("name"), name},
                                   {QStringLiteral("contentType"), kContentType},
                                   {QStringLiteral("cause"), QString()}};
    const ApiAnswer complete = co_await api(QStringLiteral("/object/complete_multipart_upload"), completeBody);
    if (!complete.ok)
        co_return Result{{}, complete.error};
    const QString url = Json::str(complete.data, QLatin1String("url"));
    if (url.isEmpty())
        co_return Result{{}, QStringLiteral("complete upload: empty url")};
    co_return Result{url, {}};
}

} // namespace ImSdk
