#include "http/Http.h"

#include <QJsonDocument>
#include <QUrl>

namespace Http {

Response Response::json(const QJsonObject &object, int status)
{
    Response r;
    r.status = status;
    r.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return r;
}

Response Response::text(int status, const QByteArray &text)
{
    Response r;
    r.status = status;
    r.contentType = "text/plain; charset=utf-8";
    r.body = text;
    return r;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::optional<Request> parseHead(const QByteArray &head, QByteArray *version, QByteArray *error)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[1].startsWith('/') || !requestLine[2].startsWith("HTTP/1.")) {
        *error = "malformed request line";
        return std::nullopt;
    }
    Request r;
    r.method = requestLine[0];
    r.target = requestLine[1];
    const QUrl url = QUrl::fromEncoded(requestLine[1]);
    r.path = url.path(QUrl::FullyDecoded);
    r.query = QUrlQuery(url);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        // No empty names, and no white space around one: a folded line or "Name :" would be
        // read differently by a proxy in front of us.
        if (colon <= 0 || name.size() != colon) {
            *error = "malformed header";
            return std::nullopt;
        }
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (r.headers.contains(name))
            r.headers[name] += ", " + value;
        else
            r.headers.insert(name, value);
    }
    *version = requestLine[2];
    return r;
}

} // namespace Http
