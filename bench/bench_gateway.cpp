// Group fan-out through the message gateway: 200 members online, one of them sends; counts the
// pushes that reach the 199 others per second, everything over loopback TLS.
#include "app/Service.h"
#include "base/ServiceConfig.h"
#include "core/Log.h"
#include "core/Secure.h"
#include "tls/DevCa.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWebSocket>
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr int kMembers = 200;

bool spin(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void BM_GroupFanOut200(benchmark::State &state)
{
    const int messages = int(state.range(0));
    Log::setLevel(Log::Level::Warn);
    QTemporaryDir dir;
    const Tls::Paths paths = Tls::ensureDevCertificates(dir.filePath("tls"));
    QString error;
    Options options;
    options.dataDir = dir.filePath("data");
    options.passwordIterations = 1000;
    options.threads = 2;
    LocalService local(options, *Tls::serverConfiguration(paths.serverCert, paths.serverKey, &error));
    local.listen(QHostAddress::LocalHost, 0);
    ServiceConfig::current().setServer(QStringLiteral("https://127.0.0.1:%1").arg(local.port()));
    ServiceConfig::current().addTrustedCa(paths.caCert);

    Storage::Store &store = local.service().store();
    QStringList ids, tokens;
    for (int i = 0; i < kMembers; ++i) {
        const QString id = QString::number(1000 + i);
        store.insertUser({id, QStringLiteral("u%1@example.org").arg(i), {}, {}, id, {}, QStringLiteral("x"), 1});
        const QString token = Secure::newToken();
        store.insertToken(Secure::sha256(token.toLatin1()), id, QStringLiteral("im"), std::numeric_limits<qint64>::max());
        ids << id;
        tokens << token;
    }
    store.insertGroup(QStringLiteral("g"), QStringLiteral("G"), ids[0], ids, 1);

    std::vector<std::unique_ptr<QWebSocket>> sockets;
    qint64 received = 0, answered = 0;
    int authed = 0;
    for (int i = 0; i < kMembers; ++i) {
        auto ws = std::make_unique<QWebSocket>();
        QWebSocket *raw = ws.get();
        QObject::connect(raw, &QWebSocket::textMessageReceived, [&, i](const QString &text) {
            if (text.startsWith(QLatin1String("{\"push\"")))
                ++received;
            else if (text.contains(QLatin1String("\"latestSeq\"")))
                ++authed;
            else if (i == 0)
                ++answered;
        });
        QObject::connect(raw, &QWebSocket::connected, [raw, id = ids[i], token = tokens[i]] {
            const QJsonObject auth{{"id", 1}, {"op", "auth"}, {"data", QJsonObject{{"version", 1}, {"userID", id}, {"token", token}, {"platformID", 4}}}};
            raw->sendTextMessage(QString::fromUtf8(QJsonDocument(auth).toJson(QJsonDocument::Compact)));
        });
        raw->open(QUrl(ServiceConfig::current().gatewayUrl()));
        sockets.push_back(std::move(ws));
    }
    if (!spin([&] { return authed == kMembers; }, 60000)) {
        state.SkipWithError("members did not sign in");
        return;
    }

    for (auto _ : state) {
        received = 0;
        answered = 0;
        QElapsedTimer clock;
        clock.start();
        for (int m = 0; m < messages; ++m) {
            const QJsonObject msg{{"clientMsgID", Secure::randomHex(16)}, {"contentType", 101}, {"textElem", QJsonObject{{"content", "hello everyone"}}}};
            const QJsonObject request{{"id", m + 2}, {"op", "sendMsg"}, {"data", QJsonObject{{"groupID", "g"}, {"msg", msg}}}};
            sockets[0]->sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
        }
        const qint64 expected = qint64(messages) * (kMembers - 1);
        if (!spin([&] { return received >= expected && answered >= messages; }, 120000)) {
            state.SkipWithError("pushes missing");
            return;
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.counters["delivered_per_s"] = expected / seconds;
        state.counters["sent_per_s"] = messages / seconds;
    }
}
BENCHMARK(BM_GroupFanOut200)->Arg(500)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
