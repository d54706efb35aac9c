#pragma once

#include <QByteArray>
#include <QString>
#include <qcoro/qcorotask.h>

// Multipart upload into the IM API's object storage.
namespace Net {

struct UploadPlan {
    qint64 size = 0;
    qint64 partSize = 1;
    qint64 partCount = 1;
};

// Part arithmetic for `size` bytes under the server's limits. Limits that are zero, negative
// or whose product leaves 64 bits are refused with an APIError.
UploadPlan planUpload(qint64 size, qint64 minPartSize, qint64 maxNumSize);

// The object name: fileName without surrounding "/", under the user's own prefix.
QString objectName(const QString &fileName, const QString &userID);

// Stores `data` and returns the URL of the stored object.
QCoro::Task<QString> uploadBytes(QByteArray data, QString fileName, QString imToken, QString userID);

} // namespace Net
