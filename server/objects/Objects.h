#pragma once

#include "app/Caller.h"
#include "app/Context.h"
#include "http/Http.h"

#include <QJsonObject>
#include <qcoro/qcorotask.h>

// Object storage behind the IM API: multipart uploads whose parts are PUT to pre-signed URLs,
// verified against the MD5 plan on completion, and served back by GET. Parts and objects are
// files in the data directory; their records are in the store. Failures are thrown as Failure.
class Objects {
public:
    static constexpr qint64 kUploadLifetimeMs = 24LL * 3600 * 1000;
    static constexpr int kSignBatch = 20;
    // Uploads one account may have open at once.
    static constexpr int kMaxOpenUploads = 16;
    static constexpr const char *kPutPrefix = "/object-upload/";
    static constexpr const char *kGetPrefix = "/objects/";

    explicit Objects(Context &ctx);

    QJsonObject partLimit() const;
    QJsonObject initiate(const Caller &caller, const QJsonObject &body);
    QJsonObject authSign(const Caller &caller, const QJsonObject &body);
    QCoro::Task<QJsonObject> complete(Caller caller, QJsonObject body);

    // The PUT of one part: a sink when the URL's signature, the upload and the declared length
    // check out, else a refusal.
    std::unique_ptr<Http::BodySink> partSink(const Http::Request &head, std::optional<Http::Response> *refusal);
    Http::Response get(const Http::Request &request);

    // Drops uploads that were never completed.
    void purgeExpired();

    QString signature(const QString &uploadID, qint64 partNumber, qint64 expires) const;

private:
    friend class PartSink;
    Storage::Upload ownUpload(const Caller &caller, const QString &uploadID);
    QJsonObject signParts(const Caller &caller, const Storage::Upload &upload, const QList<qint64> &numbers) const;
    qint64 partLength(const Storage::Upload &upload, qint64 number) const;
    QString uploadDir(const QString &uploadID) const;
    QString objectPath(const QString &objectID) const;

    Context &m_ctx;
};
