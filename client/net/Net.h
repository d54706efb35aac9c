#pragma once

#include "net/APIError.h"

#include <QByteArrayView>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <chrono>
#include <qcoro/qcorotask.h>

// JSON over HTTPS to our own services. Transport failures are thrown as Error with domain
// "Network" and Qt's description; everything else that fails is an APIError.
namespace Net {

// Applied in order; a later entry with the same name replaces an earlier one.
using Headers = QList<QPair<QString, QString>>;

// A request made while the network is down (Reachability) waits for it, at most this long by
// default, and then fails with a "Network" error without having been sent.
inline constexpr std::chrono::milliseconds kConnectivityWait{60000};
// Tests shorten the wait; a zero or negative value restores the default.
void setConnectivityWait(std::chrono::milliseconds wait);

// Returns once `url` is reachable; throws the "Network" error when the wait runs out first.
QCoro::Task<void> waitUntilReachable(QUrl url);

// POSTs `body` as compact JSON. The status code is not examined; an answer that is not a JSON
// object reads as an empty object.
QCoro::Task<QJsonObject> postJSON(QString url, QJsonObject body, Headers headers = {});

// An IM API call: "token" and a fresh "operationID" header, the "errCode"/"errMsg"/"data"
// envelope. Returns "data" (empty when it is not an object).
QCoro::Task<QJsonObject> imApi(QString path, QJsonObject body, QString token);

// The envelope rule shared by the IM API and the chat API: errCode is a number whose integer
// part is 0.
bool envelopeOk(const QJsonObject &answer);

// 32 lower-case hex digits of the MD5 digest.
QString md5Hex(QByteArrayView data);

// A fresh random UUID, upper case, 8-4-4-4-12.
QString newOperationID();

} // namespace Net
