#include "app/Service.h"

#include "core/Args.h"
#include "core/Secure.h"
#include "core/Log.h"
#include "storage/SqliteStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

#include <stdexcept>

namespace {

constexpr qint64 kMaxJsonBody = 1 << 20;
constexpr qint64 kMaxCrashBody = 256 * 1024;

QByteArray loadSecret(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray secret = file.readAll();
        if (secret.size() == 32)
            return secret;
    }
    const QByteArray secret = Secure::randomBytes(32);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + path.toStdString());
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(secret);
    return secret;
}

Http::Response failureResponse(const Failure &f, bool envelope)
{
    if (envelope)
        return Http::Response::json({{QStringLiteral("errCode"), f.status},
                                     {QStringLiteral("errMsg"), f.message},
                                     {QStringLiteral("errDlt"), f.code}},
                                    f.status);
    QJsonObject o = f.extra;
    o.insert(QStringLiteral("error"), f.message);
    if (!f.code.isEmpty())
        o.insert(QStringLiteral("code"), f.code);
    return Http::Response::json(o, f.status);
}

Http::Response envelopeOk(const QJsonObject &data)
{
    return Http::Response::json({{QStringLiteral("errCode"), 0}, {QStringLiteral("errMsg"), QString()}, {QStringLiteral("data"), data}});
}

} // namespace

Service::Service(Options options)
{
    if (!QDir().mkpath(options.dataDir))
        throw std::runtime_error("cannot create the data directory " + options.dataDir.toStdString());
    QFile::setPermissions(options.dataDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_pool.setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
    m_store = std::make_unique<Storage::SqliteStore>(QDir(options.dataDir).filePath(QStringLiteral("sarvo.db")));
    const QByteArray secret = loadSecret(QDir(options.dataDir).filePath(QStringLiteral("secret.key")));
    const qint64 maxOutput = options.maxOutput;
    m_ctx = std::make_unique<Context>(Context{std::move(options), *m_store, secret, m_pool, std::make_shared<OutputBudget>(maxOutput)});
    m_accounts = std::make_unique<Accounts>(*m_ctx);
    m_bridge = std::make_unique<Bridge>(*m_ctx);
    m_moments = std::make_unique<Moments>(*m_ctx);
    m_objects = std::make_unique<Objects>(*m_ctx);
}

Service::~Service() { m_pool.waitForDone(); }

void Service::purgeExpired()
{
    const qint64 now = m_ctx->now();
    m_objects->purgeExpired();
    m_store->purgeExpired(now, now - Bridge::kRoomLifetimeMs);
}

std::unique_ptr<Http::BodySink> Service::sinkFor(const Http::Request &head, std::optional<Http::Response> *refusal)
{
    if (head.path.startsWith(QLatin1String(Objects::kPutPrefix)))
        return m_objects->partSink(head, refusal);
    // Refused here rather than by the HTTP layer, so the answer has the route's own envelope.
    const bool envelope = head.path.startsWith(QLatin1String("/chat/")) || head.path.startsWith(QLatin1String("/api/"));
    if (envelope && head.contentLength > maxBody(head))
        *refusal = failureResponse({413, QStringLiteral("request body too large"), QStringLiteral("BODY_TOO_LARGE"), {}}, true);
    return nullptr;
}

qint64 Service::maxBody(const Http::Request &head) const
{
    return head.path == QLatin1String("/bridge/crash/report") ? kMaxCrashBody : kMaxJsonBody;
}

QString Service::originOf(const Http::Request &request) const
{
    if (!m_ctx->options.publicUrl.isEmpty())
        return m_ctx->options.publicUrl;
    // URLs we hand out point back where the client reached us; the Host header is only
    // accepted when it is a plain host[:port].
    static const QRegularExpression hostPattern(QStringLiteral(R"(^(?:[A-Za-z0-9.-]{1,253}|\[[0-9A-Fa-f:.]{2,45}\])(?::[0-9]{1,5})?$)"));
    const QString host = QString::fromLatin1(request.header("host"));
    if (hostPattern.match(host).hasMatch())
        return QStringLiteral("https://") + host;
    return QStringLiteral("https://localhost");
}

std::optional<QString> Service::bridgeUser(const QJsonObject &body)
{
    const QJsonValue token = body.value(QLatin1String("token"));
    if (!token.isString())
        return std::nullopt;
    return m_accounts->authenticate(token.toString(), QStringLiteral("im"));
}

QCoro::Task<Http::Response> Service::handle(Http::Request request)
{
    if (request.method == "GET" || request.method == "HEAD") {
        if (request.path.startsWith(QLatin1String(Objects::kGetPrefix)))
            co_return m_objects->get(request);
        co_return Http::Response::json({{QStringLiteral("error"), QStringLiteral("not found")}}, 404);
    }

    Api api;
    QString path;
    for (const auto &[prefix, kind] : {std::pair(QLatin1String("/chat/"), Api::Chat), std::pair(QLatin1String("/bridge/"), Api::Bridge),
                                       std::pair(QLatin1String("/api/"), Api::Im)}) {
        if (request.path.startsWith(prefix)) {
            api = kind;
            path = request.path.mid(prefix.size() - 1);
        }
    }
    if (path.isEmpty())
        co_return Http::Response::json({{QStringLiteral("error"), QStringLiteral("not found")}}, 404);
    const bool envelope = api != Api::Bridge;
    if (request.method != "POST")
        co_return failureResponse({405, QStringLiteral("use POST"), QStringLiteral("METHOD_NOT_ALLOWED"), {}}, envelope);

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        co_return failureResponse({400, QStringLiteral("the body must be a JSON object"), QStringLiteral("BAD_REQUEST"), {}}, envelope);

    Caller caller{QString(), originOf(request), request.peer, QString::fromLatin1(request.header("token"))};
    std::optional<Failure> failure;
    QJsonObject answer;
    try {
        answer = co_await route(api, path, caller, doc.object());
    } catch (const Failure &f) {
        failure = f;
    }
    if (failure) {
        if (failure->status >= 500)
            Log::error("request_failed", {{"path", request.path}, {"error", failure->message}});
        co_return failureResponse(*failure, envelope);
    }
    co_return envelope ? envelopeOk(answer) : Http::Response::json(answer);
}

QCoro::Task<QJsonObject> Service::route(Api api, QString path, Caller caller, QJsonObject body)
{
    auto unknown = [] { return Failure{404, QStringLiteral("no such endpoint"), QStringLiteral("NOT_FOUND"), {}}; };

    if (api == Api::Chat) {
        if (path == QLatin1String("/account/login"))
            co_return co_await m_accounts->login(body, caller.peer);
        throw unknown();
    }

    if (api == Api::Im) {
        const std::optional<QString> user = m_accounts->authenticate(caller.headerToken, QStringLiteral("im"));
        if (!user)
            throw Failure{401, QStringLiteral("invalid or expired token"), QStringLiteral("TOKEN_INVALID"), {}};
        caller.userID = *user;
        if (path == QLatin1String("/object/part_limit"))
            co_return m_objects->partLimit();
        if (path == QLatin1String("/object/initiate_multipart_upload"))
            co_return m_objects->initiate(caller, body);
        if (path == QLatin1String("/object/auth_sign"))
            co_return m_objects->authSign(caller, body);
        if (path == QLatin1String("/object/complete_multipart_upload"))
            co_return co_await m_objects->complete(caller, body);
        throw unknown();
    }

    // Bridge: the account flows need no token; the crash report has none to send.
    if (path == QLatin1String("/auth/email/send"))
        co_return co_await m_accounts->sendCode(body, caller.peer);
    if (path == QLatin1String("/auth/email/register"))
        co_return co_await m_accounts->registerAccount(body, caller.peer);
    if (path == QLatin1String("/auth/email/reset"))
        co_return co_await m_accounts->reset(body, caller.peer);
    if (path == QLatin1String("/crash/report"))
        co_return m_bridge->crashReport(body, caller.peer);

    using Call = QJsonObject (*)(Service &, const Caller &, const QJsonObject &);
    static const QHash<QString, Call> routes{
        {QStringLiteral("/call/invite"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_bridge->invite(c, b); }},
        {QStringLiteral("/call/accept"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_bridge->accept(c, b); }},
        {QStringLiteral("/call/group-invite"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_bridge->groupInvite(c, b); }},
        {QStringLiteral("/keys/publish"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_bridge->publishKey(c, b); }},
        {QStringLiteral("/keys/get"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_bridge->getKeys(c, b); }},
        {QStringLiteral("/moments/feed"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->feed(c, b); }},
        {QStringLiteral("/moments/create"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->create(c, b); }},
        {QStringLiteral("/moments/like"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->like(c, b); }},
        {QStringLiteral("/moments/comment"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->comment(c, b); }},
        {QStringLiteral("/moments/comment/delete"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->deleteComment(c, b); }},
        {QStringLiteral("/moments/delete"), [](Service &s, const Caller &c, const QJsonObject &b) { return s.m_moments->deletePost(c, b); }},
    };
    const Call call = routes.value(path);
    if (!call)
        throw unknown();
    const std::optional<QString> user = bridgeUser(body);
    if (!user)
        throw Failure{401, QStringLiteral("invalid or expired token"), QStringLiteral("TOKEN_INVALID"), {}};
    const QJsonValue claimed = body.value(QLatin1String("userID"));
    if (!claimed.isUndefined() && claimed.toString() != *user)
        throw Failure{403, QStringLiteral("userID does not match the token"), QStringLiteral("FORBIDDEN"), {}};
    caller.userID = *user;
    co_return call(*this, caller, body);
}

LocalService::LocalService(Options options, QSslConfiguration tls, Gateway::Limits limits)
    : m_service(std::move(options)), m_gateway(m_service.context(), m_service.accounts(), limits),
      m_http(m_service, std::move(tls), m_service.context().options.threads)
{
    Gateway::Hub *gateway = &m_gateway;
    m_http.setOutputBudget(m_service.context().output);
    m_http.setUpgradeHandler(QStringLiteral("/msg_gateway"), [gateway](QSslSocket *socket) { gateway->accept(socket); });
    m_service.accounts().setRevocationHook([gateway](const QString &userID) {
        gateway->kick(userID, QStringLiteral("tokenRevoked"), Gateway::TokenInvalid);
    });
    m_service.purgeExpired();
    m_purge.setInterval(10 * 60 * 1000);
    QObject::connect(&m_purge, &QTimer::timeout, [this] { m_service.purgeExpired(); });
    m_purge.start();
}

LocalService::~LocalService() { m_http.stop(); }

bool LocalService::listen(const QHostAddress &address, quint16 port) { return m_http.start(address, port); }
