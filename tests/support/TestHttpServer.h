#pragma once

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTcpSocket>
#include <functional>

// A loopback HTTP server for tests: records every request and answers from a handler.
class TestHttpServer : public QAbstractHttpServer {
public:
    struct Request {
        QString method;
        QString path;
        QUrlQuery query;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray &name) const
        {
            for (const auto &[k, v] : headers)
                if (k.compare(name, Qt::CaseInsensitive) == 0)
                    return v;
            return {};
        }
        bool hasHeader(const QByteArray &name) const
        {
            for (const auto &h : headers)
                if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                    return true;
            return false;
        }
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    struct Response {
        int status = 200;
        QByteArray body = "{}";
        QByteArray contentType = "application/json";
    };

    static Response json(const QJsonObject &o, int status = 200)
    {
        return {status, QJsonDocument(o).toJson(QJsonDocument::Compact)};
    }

    std::function<Response(const Request &)> handler = [](const Request &) { return Response{}; };
    QList<Request> requests;

    // Listens on 127.0.0.1, port chosen by the OS; returns "http://127.0.0.1:port".
    QString start()
    {
        const quint16 port = listen(QHostAddress::LocalHost, 0);
        return port ? QStringLiteral("http://127.0.0.1:%1").arg(port) : QString();
    }

    QList<Request> requestsTo(const QString &path) const
    {
        QList<Request> out;
        for (const Request &r : requests)
            if (r.path == path)
                out << r;
        return out;
    }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        static const QHash<QHttpServerRequest::Method, QString> methods{
            {QHttpServerRequest::Method::Get, "GET"},   {QHttpServerRequest::Method::Put, "PUT"},
            {QHttpServerRequest::Method::Post, "POST"}, {QHttpServerRequest::Method::Delete, "DELETE"},
        };
        Request r{methods.value(request.method(), "OTHER"), request.url().path(), QUrlQuery(request.url()),
                  request.headers(), request.body()};
        requests << r;
        const Response response = handler(r);
        QHttpServerResponder responder = makeResponder(request, socket);
        responder.write(response.body, response.contentType,
                        static_cast<QHttpServerResponder::StatusCode>(response.status));
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}
};
