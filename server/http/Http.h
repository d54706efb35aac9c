#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

namespace Http {

struct Request {
    // Declared so that this is no aggregate: g++ 12 may destroy aggregate temporaries passed
    // inside a co_await expression twice.
    Request() = default;

    QByteArray method;
    QByteArray target; // the request target as sent, still encoded
    QString path;      // decoded, without the query
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;                       // empty when the body was streamed to a sink
    QHostAddress peer;
    qint64 contentLength = 0;

    QByteArray header(const QByteArray &lowerName) const { return headers.value(lowerName); }
};

struct Response {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // A body streamed from a device (stored objects); `body` is ignored when set.
    std::shared_ptr<QIODevice> device;
    qint64 deviceSize = 0;

    static Response json(const QJsonObject &object, int status = 200);
    static Response text(int status, const QByteArray &text);
};

QByteArray reasonPhrase(int status);

// A request head as it arrived (request line and header lines, without the blank line that ends
// it), parsed; none when it is malformed, with the reason in `error`. `version` gets the
// protocol ("HTTP/1.1"). The peer and the body are left for the connection to fill in.
std::optional<Request> parseHead(const QByteArray &head, QByteArray *version, QByteArray *error);

// Receives a request body as it arrives, so large bodies are never held whole.
class BodySink {
public:
    virtual ~BodySink() = default;
    // False refuses the rest of the body; `finish` is then not called and `refusal` is sent.
    virtual bool write(QByteArrayView chunk) = 0;
    virtual Response refusal() = 0;
    // Called once the whole declared body has arrived.
    virtual QCoro::Task<Response> finish(Request head) = 0;
};

// What the server asks of the service behind it. Every call runs on the connection's thread.
class Handler {
public:
    virtual ~Handler() = default;
    // For a body that should be streamed: a sink, or null for the buffered path. A refusal may
    // be set to answer at once (the body is then not read).
    virtual std::unique_ptr<BodySink> sinkFor(const Request &head, std::optional<Response> *refusal) = 0;
    // The largest buffered body accepted for this request.
    virtual qint64 maxBody(const Request &head) const = 0;
    virtual QCoro::Task<Response> handle(Request request) = 0;
};

} // namespace Http
