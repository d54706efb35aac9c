#pragma once

#include "accounts/Accounts.h"
#include "app/Context.h"
#include "bridge/Bridge.h"
#include "gateway/Gateway.h"
#include "http/Http.h"
#include "http/HttpServer.h"
#include "moments/Moments.h"
#include "objects/Objects.h"

#include <QThreadPool>
#include <QTimer>
#include <memory>

// The HTTP side of the local service: the chat API ("/chat"), the bridge ("/bridge"), the IM
// API's object storage ("/api") and stored objects, over one store.
class Service : public Http::Handler {
public:
    // Opens the data directory (database, signing secret); throws std::runtime_error.
    explicit Service(Options options);
    ~Service() override;

    Context &context() { return *m_ctx; }
    Storage::Store &store() { return *m_store; }
    Accounts &accounts() { return *m_accounts; }
    Objects &objects() { return *m_objects; }

    // Deletes what outlived its use: abandoned uploads, expired tokens and codes, old call rooms.
    void purgeExpired();

    std::unique_ptr<Http::BodySink> sinkFor(const Http::Request &head, std::optional<Http::Response> *refusal) override;
    qint64 maxBody(const Http::Request &head) const override;
    QCoro::Task<Http::Response> handle(Http::Request request) override;

private:
    enum class Api { Chat, Bridge, Im };
    QString originOf(const Http::Request &request) const;
    std::optional<QString> bridgeUser(const QJsonObject &body);
    QCoro::Task<QJsonObject> route(Api api, QString path, Caller caller, QJsonObject body);

    QThreadPool m_pool;
    std::unique_ptr<Storage::Store> m_store;
    std::unique_ptr<Context> m_ctx;
    std::unique_ptr<Accounts> m_accounts;
    std::unique_ptr<Bridge> m_bridge;
    std::unique_ptr<Moments> m_moments;
    std::unique_ptr<Objects> m_objects;
};

// Service plus its HTTPS port and the message gateway on it: what `sarvo-server serve` runs, and
// what tests start in-process.
class LocalService {
public:
    LocalService(Options options, QSslConfiguration tls, Gateway::Limits limits = {});
    ~LocalService();

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return m_http.serverPort(); }
    Service &service() { return m_service; }
    Http::Server &http() { return m_http; }
    Gateway::Hub &gateway() { return m_gateway; }

private:
    Service m_service;
    Gateway::Hub m_gateway;
    Http::Server m_http;
    QTimer m_purge;
};
