// The service's HTTP request heads: request line, target, query and header lines.
#include "FuzzSupport.h"
#include "http/Http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray head = Fuzz::bytes(data, size);
    QByteArray version, error;
    const std::optional<Http::Request> request = Http::parseHead(head, &version, &error);
    if (!request) {
        Fuzz::check(!error.isEmpty(), "a refused head says why");
        return 0;
    }
    Fuzz::check(version.startsWith("HTTP/1."), "only HTTP/1.x is accepted");
    for (auto it = request->headers.cbegin(); it != request->headers.cend(); ++it) {
        Fuzz::check(!it.key().isEmpty() && it.key() == it.key().toLower(), "header names are lower case and not empty");
        Fuzz::check(it.key() == it.key().trimmed(), "header names are trimmed");
    }
    // What the connection and the routes read from a head next.
    bool ok = false;
    (void)request->header("content-length").toLongLong(&ok);
    (void)request->query.queryItems(QUrl::FullyDecoded);
    (void)request->path.split(QLatin1Char('/'));
    return 0;
}
