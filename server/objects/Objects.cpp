#include "objects/Objects.h"

#include "base/HandOver.h"
#include "core/Args.h"
#include "core/Secure.h"
#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QJsonArray>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

namespace {

[[noreturn]] void refuse(int status, const QString &message) { throw Failure{status, message, {}, {}}; }

bool isHex(const QString &s, qsizetype length)
{
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]*$"));
    return s.size() == length && re.match(s).hasMatch();
}

// Object names are user id + "/" + a relative path: no empty, "." or ".." segments, no
// backslashes or control characters.
bool validName(const QString &name, const QString &userID)
{
    if (!name.startsWith(userID + QLatin1Char('/')) || name.size() > 512)
        return false;
    for (const QString &segment : name.split(QLatin1Char('/')))
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    for (QChar c : name)
        if (c < QChar(0x20) || c == QChar(0x7f) || c == QLatin1Char('\\'))
            return false;
    return true;
}

// A media type as HTTP defines it: type "/" subtype, then optional "; name=value" parameters
// (value a token or a quoted string). Empty means "not given".
bool validMediaType(const QString &type)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"re(^[!#$%&'*+.^_`|~0-9A-Za-z-]+/[!#$%&'*+.^_`|~0-9A-Za-z-]+)re"
        R"re((?:[ \t]*;[ \t]*(?:[!#$%&'*+.^_`|~0-9A-Za-z-]+=(?:[!#$%&'*+.^_`|~0-9A-Za-z-]+|"(?:[\t !#-\[\]-~]|\\[\t -~])*"))?)*$)re"));
    return type.isEmpty() || pattern.match(type).hasMatch();
}

// Types a browser would run as a page are served so that they cannot run as one.
bool activeType(const QString &type)
{
    return type.contains(QLatin1String("html")) || type.contains(QLatin1String("xml")) || type.contains(QLatin1String("javascript"));
}

QString detectType(const QString &declared, const QString &name, const QByteArray &head)
{
    static const QRegularExpression typePattern(QStringLiteral(R"(^[a-z0-9][a-z0-9!#$&^_.+-]*/[a-z0-9][a-z0-9!#$&^_.+-]*$)"));
    const QString lowered = declared.trimmed().toLower();
    if (!lowered.isEmpty() && lowered != QLatin1String("application/octet-stream") && typePattern.match(lowered).hasMatch())
        return lowered;
    const QMimeDatabase db;
    const QMimeType byData = head.isEmpty() ? QMimeType() : db.mimeTypeForData(head);
    if (byData.isValid() && !byData.isDefault() && byData.name() != QLatin1String("text/plain"))
        return byData.name();
    const QMimeType byName = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (byName.isValid() && !byName.isDefault())
        return byName.name();
    return byData.isValid() ? byData.name() : QStringLiteral("application/octet-stream");
}

} // namespace

// Streams one part to a temporary file, hashing it on the way; the part only counts once the
// whole declared length has arrived.
class PartSink : public Http::BodySink {
public:
    PartSink(Objects &objects, Storage::Upload upload, qint64 number, const QString &path)
        : m_objects(objects), m_upload(std::move(upload)), m_number(number), m_final(path),
          m_file(path + QStringLiteral(".tmp-") + Secure::randomHex(6))
    {
        m_ok = m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    ~PartSink() override
    {
        if (m_file.isOpen() || !m_done)
            m_file.remove();
    }
    bool ready() const { return m_ok; }

    bool write(QByteArrayView chunk) override
    {
        m_md5.add(chunk);
        m_ok = m_ok && m_file.write(chunk.data(), chunk.size()) == chunk.size();
        return m_ok;
    }
    Http::Response refusal() override
    {
        return Http::Response::json({{QStringLiteral("error"), QStringLiteral("could not store the part")}}, 500);
    }
    QCoro::Task<Http::Response> finish(Http::Request) override
    {
        m_file.close();
        QFile::remove(m_final);
        if (!m_file.rename(m_final))
            co_return refusal();
        m_done = true;
        const qint64 size = QFileInfo(m_final).size();
        const QString md5 = m_md5.hex();
        m_objects.m_ctx.store.putPart(m_upload.id, {m_number, size, md5});
        Http::Response ok = Http::Response::json({{QStringLiteral("partNumber"), m_number}, {QStringLiteral("md5"), md5}});
        ok.headers.append(qMakePair(QByteArray("ETag"), '"' + md5.toLatin1() + '"'));
        co_return ok;
    }

private:
    Objects &m_objects;
    Storage::Upload m_upload;
    qint64 m_number;
    QString m_final;
    QFile m_file;
    Secure::Md5 m_md5;
    bool m_ok = false;
    bool m_done = false;
};

Objects::Objects(Context &ctx) : m_ctx(ctx)
{
    QDir().mkpath(m_ctx.dataPath(QStringLiteral("uploads")));
    QDir().mkpath(m_ctx.dataPath(QStringLiteral("objects")));
}

QString Objects::uploadDir(const QString &uploadID) const { return m_ctx.dataPath(QStringLiteral("uploads/") + uploadID); }

QString Objects::objectPath(const QString &objectID) const
{
    return m_ctx.dataPath(QStringLiteral("objects/%1/%2").arg(objectID.left(2), objectID));
}

QJsonObject Objects::partLimit() const
{
    return {{QStringLiteral("minPartSize"), m_ctx.options.minPartSize},
            {QStringLiteral("maxPartSize"), m_ctx.options.maxObjectSize},
            {QStringLiteral("maxNumSize"), m_ctx.options.maxParts}};
}

qint64 Objects::partLength(const Storage::Upload &u, qint64 number) const
{
    return number < u.partCount ? u.partSize : u.size - (u.partCount - 1) * u.partSize;
}

QString Objects::signature(const QString &uploadID, qint64 partNumber, qint64 expires) const
{
    const QByteArray message = "PUT\n" + uploadID.toLatin1() + '\n' + QByteArray::number(partNumber) + '\n' + QByteArray::number(expires);
    return QString::fromLatin1(Secure::hmacSha256(m_ctx.secret, message).toHex());
}

QJsonObject Objects::signParts(const Caller &caller, const Storage::Upload &upload, const QList<qint64> &numbers) const
{
    const qint64 expires = (m_ctx.now() + m_ctx.options.signLifetimeMs) / 1000;
    QJsonArray parts;
    for (qint64 n : numbers) {
        QUrl url(caller.origin);
        url.setPath(QStringLiteral("%1%2/%3").arg(QLatin1String(kPutPrefix), upload.id).arg(n));
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("expires"), QString::number(expires));
        query.addQueryItem(QStringLiteral("signature"), signature(upload.id, n, expires));
        url.setQuery(query);
        parts.append(QJsonObject{{QStringLiteral("partNumber"), n},
                                 {QStringLiteral("url"), url.toString()},
                                 {QStringLiteral("query"), QJsonArray()},
                                 {QStringLiteral("header"), QJsonArray()}});
    }
    return {{QStringLiteral("url"), QString()},
            {QStringLiteral("query"), QJsonArray()},
            {QStringLiteral("header"), QJsonArray()},
            {QStringLiteral("parts"), parts}};
}

QJsonObject Objects::initiate(const Caller &caller, const QJsonObject &body)
{
    const Args args(body);
    const QString hash = args.text("hash", 32).toLower();
    const qint64 size = args.integer("size", 0, m_ctx.options.maxObjectSize);
    const qint64 partSize = args.integer("partSize", 1, m_ctx.options.maxObjectSize);
    const qint64 maxParts = args.integer("maxParts", 0, 10000, kSignBatch);
    const QString name = args.text("name", 512);
    const QString contentType = args.text("contentType", 128, false);
    args.text("cause", 256, false);
    if (!validMediaType(contentType))
        Args::refuse(QStringLiteral("\"contentType\" must be a media type such as application/octet-stream"));
    if (!isHex(hash, 32))
        Args::refuse(QStringLiteral("\"hash\" must be an MD5 hex digest"));
    if (!validName(name, caller.userID))
        Args::refuse(QStringLiteral("\"name\" must be your user id, \"/\" and a relative path"));
    const qint64 partCount = std::max<qint64>(1, size / partSize + (size % partSize != 0));
    if (partCount > m_ctx.options.maxParts)
        Args::refuse(QStringLiteral("more than %1 parts").arg(m_ctx.options.maxParts));
    if (partCount > 1 && partSize < m_ctx.options.minPartSize)
        Args::refuse(QStringLiteral("\"partSize\" is below the minimum of %1").arg(m_ctx.options.minPartSize));

    if (m_ctx.store.openUploads(caller.userID, m_ctx.now()) >= kMaxOpenUploads)
        throw Failure{429, QStringLiteral("too many uploads in progress (at most %1); finish or abandon one first").arg(kMaxOpenUploads),
                      QStringLiteral("TOO_MANY_UPLOADS"), {}};

    Storage::Upload upload{Secure::randomHex(16), caller.userID, name, contentType, hash, size, partSize, partCount,
                           m_ctx.now(), m_ctx.now() + kUploadLifetimeMs};
    if (!QDir().mkpath(uploadDir(upload.id)))
        refuse(500, QStringLiteral("cannot create the upload"));
    m_ctx.store.insertUpload(upload);

    QList<qint64> first;
    for (qint64 n = 1; n <= std::min<qint64>({partCount, std::max<qint64>(maxParts, 1), kSignBatch}); ++n)
        first << n;
    return {{QStringLiteral("url"), QString()},
            {QStringLiteral("upload"),
             QJsonObject{{QStringLiteral("uploadID"), upload.id},
                         {QStringLiteral("partSize"), partSize},
                         {QStringLiteral("sign"), signParts(caller, upload, first)}}}};
}

Storage::Upload Objects::ownUpload(const Caller &caller, const QString &uploadID)
{
    const std::optional<Storage::Upload> upload = m_ctx.store.upload(uploadID);
    if (!upload || upload->userID != caller.userID || upload->expiresAt <= m_ctx.now())
        refuse(404, QStringLiteral("upload not found"));
    return *upload;
}

QJsonObject Objects::authSign(const Caller &caller, const QJsonObject &body)
{
    const Args args(body);
    const Storage::Upload upload = ownUpload(caller, args.text("uploadID", 64));
    const QList<qint64> numbers = args.integerList("partNumbers", 100, 1, upload.partCount);
    return signParts(caller, upload, numbers);
}

std::unique_ptr<Http::BodySink> Objects::partSink(const Http::Request &head, std::optional<Http::Response> *refusal)
{
    auto refuseWith = [&](int status, const QString &message) {
        *refusal = Http::Response::json({{QStringLiteral("error"), message}}, status);
        return nullptr;
    };
    if (head.method != "PUT")
        return refuseWith(405, QStringLiteral("parts are uploaded with PUT"));
    const QStringList segments = head.path.mid(qstrlen(kPutPrefix)).split(QLatin1Char('/'));
    bool numberOk = false, expiresOk = false;
    const qint64 number = segments.value(1).toLongLong(&numberOk);
    const qint64 expires = head.query.queryItemValue(QStringLiteral("expires")).toLongLong(&expiresOk);
    const QString uploadID = segments.value(0);
    if (segments.size() != 2 || !numberOk || !expiresOk)
        return refuseWith(403, QStringLiteral("bad part URL"));
    const QString given = head.query.queryItemValue(QStringLiteral("signature"));
    if (!Secure::equal(given.toLatin1(), signature(uploadID, number, expires).toLatin1()))
        return refuseWith(403, QStringLiteral("bad signature"));
    if (expires * 1000 < m_ctx.now())
        return refuseWith(403, QStringLiteral("signature expired"));
    const std::optional<Storage::Upload> upload = m_ctx.store.upload(uploadID);
    if (!upload || upload->expiresAt <= m_ctx.now() || number < 1 || number > upload->partCount)
        return refuseWith(404, QStringLiteral("upload not found"));
    if (head.contentLength != partLength(*upload, number))
        return refuseWith(400, QStringLiteral("part %1 must be %2 bytes").arg(number).arg(partLength(*upload, number)));
    auto sink = std::make_unique<PartSink>(*this, *upload, number, uploadDir(uploadID) + QStringLiteral("/%1").arg(number));
    if (!sink->ready())
        return refuseWith(500, QStringLiteral("could not store the part"));
    return sink;
}

QCoro::Task<QJsonObject> Objects::complete(Caller caller, QJsonObject body)
{
    const Args args(body);
    const Storage::Upload upload = ownUpload(caller, args.text("uploadID", 64));
    const QStringList hashes = args.textList("parts", upload.partCount, 32);
    const QString name = args.text("name", 512, false, upload.name);
    const QString contentType = args.text("contentType", 128, false, upload.contentType);
    args.text("cause", 256, false);
    if (!validMediaType(contentType))
        Args::refuse(QStringLiteral("\"contentType\" must be a media type such as application/octet-stream"));
    if (name != upload.name)
        Args::refuse(QStringLiteral("\"name\" differs from the one the upload was started with"));
    if (hashes.size() != upload.partCount)
        Args::refuse(QStringLiteral("\"parts\" must list %1 part hashes").arg(upload.partCount));
    QStringList lowered;
    for (const QString &h : hashes)
        lowered << h.toLower();
    if (!Secure::equal(Secure::md5Hex(lowered.join(QLatin1Char(',')).toUtf8()).toLatin1(), upload.hash.toLatin1()))
        Args::refuse(QStringLiteral("the part hashes do not match the upload's hash"), QStringLiteral("HASH_MISMATCH"));
    const QList<Storage::Part> stored = m_ctx.store.parts(upload.id);
    for (qint64 n = 1; n <= upload.partCount; ++n) {
        const auto part = std::find_if(stored.begin(), stored.end(), [&](const Storage::Part &p) { return p.number == n; });
        if (part == stored.end())
            Args::refuse(QStringLiteral("part %1 was not uploaded").arg(n), QStringLiteral("PART_MISSING"));
        if (part->md5 != lowered[n - 1] || part->size != partLength(upload, n))
            Args::refuse(QStringLiteral("part %1 does not match its hash").arg(n), QStringLiteral("HASH_MISMATCH"));
    }

    // Joining the parts copies the whole object: done on the pool, off the connection's loop.
    // Each part is hashed again on the way, so a part replaced after the check above cannot
    // slip into the object.
    const QString objectID = Secure::randomHex(16);
    const QString target = objectPath(objectID);
    const QString dir = uploadDir(upload.id);
    const qint64 partCount = upload.partCount;
    auto assemble = [dir, target, partCount, lowered]() -> QByteArray {
        QDir().mkpath(QFileInfo(target).path());
        QFile out(target + QStringLiteral(".tmp"));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QByteArray();
        QByteArray head;
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (qint64 n = 1; n <= partCount; ++n) {
            QFile in(dir + QStringLiteral("/%1").arg(n));
            if (!in.open(QIODevice::ReadOnly))
                return QByteArray();
            Secure::Md5 md5;
            while (true) {
                const qint64 got = in.read(buffer.data(), buffer.size());
                if (got < 0)
                    return QByteArray();
                if (got == 0)
                    break;
                if (head.size() < 4096)
                    head += QByteArrayView(buffer.constData(), std::min<qint64>(got, 4096 - head.size()));
                md5.add(QByteArrayView(buffer.constData(), got));
                if (out.write(buffer.constData(), got) != got)
                    return QByteArray();
            }
            if (md5.hex() != lowered[n - 1])
                return QByteArray();
        }
        if (!out.flush())
            return QByteArray();
        out.close();
        QFile::remove(target);
        if (!out.rename(target))
            return QByteArray();
        return "ok:" + head;
    };
    const HandOver::Token done;
    QFuture<QByteArray> future = QtConcurrent::run(&m_ctx.hashPool, done.wrap(assemble));
    const QByteArray assembled = co_await future;
    done.acquire();
    if (!assembled.startsWith("ok:")) {
        QFile::remove(target + QStringLiteral(".tmp"));
        refuse(500, QStringLiteral("could not store the object"));
    }

    const QString type = detectType(contentType, name, assembled.mid(3));
    m_ctx.store.insertObject({objectID, caller.userID, name, type, upload.size, m_ctx.now()});
    m_ctx.store.deleteUpload(upload.id);
    QDir(dir).removeRecursively();
    Log::info("object_stored", {{"user", caller.userID}, {"object", objectID}, {"bytes", QString::number(upload.size)}, {"type", type}});

    QUrl url(caller.origin);
    url.setPath(QLatin1String(kGetPrefix) + objectID + QLatin1Char('/') + name.section(QLatin1Char('/'), -1));
    co_return QJsonObject{{QStringLiteral("url"), url.toString(QUrl::FullyEncoded)}};
}

Http::Response Objects::get(const Http::Request &request)
{
    const QString objectID = request.path.mid(qstrlen(kGetPrefix)).section(QLatin1Char('/'), 0, 0);
    const std::optional<Storage::Object> object = isHex(objectID, 32) ? m_ctx.store.object(objectID) : std::nullopt;
    auto file = std::make_shared<QFile>(objectPath(objectID));
    if (!object || !file->open(QIODevice::ReadOnly))
        return Http::Response::json({{QStringLiteral("error"), QStringLiteral("not found")}}, 404);
    Http::Response r;
    r.contentType = object->contentType.toLatin1();
    r.device = file;
    r.deviceSize = object->size;
    r.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("public, max-age=31536000, immutable")));
    r.headers.append(qMakePair(QByteArray("X-Content-Type-Options"), QByteArray("nosniff")));
    if (activeType(object->contentType)) {
        r.headers.append(qMakePair(QByteArray("Content-Security-Policy"), QByteArray("sandbox")));
        r.headers.append(qMakePair(QByteArray("Content-Disposition"), QByteArray("attachment")));
    }
    return r;
}

void Objects::purgeExpired()
{
    for (const QString &id : m_ctx.store.expiredUploads(m_ctx.now())) {
        m_ctx.store.deleteUpload(id);
        if (isHex(id, 32))
            QDir(uploadDir(id)).removeRecursively();
    }
}
