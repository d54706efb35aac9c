// The message gateway under load on loopback: 200 signed-in sessions over WSS, driven at the
// protocol level so that the figures are the service's (the SDK's own cache is not in the path).
#include "InProcessService.h"
#include "app/Service.h"
#include "base/ServiceConfig.h"
#include "net/ChatApi.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int kSessions = 200;

// The bench's clients share the main thread: wait for events instead of polling, so that the
// service's threads get the cores (processEvents with a time limit never sleeps).
void spinFor(qint64 ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Done>
bool spinUntil(Done done, qint64 ms)
{
    QElapsedTimer t;
    t.start();
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString frame(qint64 id, const char *op, const QJsonObject &data)
{
    const QJsonObject f{{"id", id}, {"op", QLatin1String(op)}, {"data", data}};
    return QString::fromUtf8(QJsonDocument(f).toJson(QJsonDocument::Compact));
}

// One session: authenticates, then counts (and times) the messages pushed to it.
struct Session {
    QWebSocket socket;
    QString userID;
    bool authed = false;
    qint64 nextId = 1;
    qint64 received = 0;
    qint64 answered = 0;
    qint64 refused = 0;
    QList<qint64> *latencies = nullptr; // send-to-receive, ns, when set
    const QElapsedTimer *clock = nullptr;

    void open(quint16 port, const QString &user, const QString &token)
    {
        userID = user;
        QObject::connect(&socket, &QWebSocket::connected, [this, token] {
            socket.sendTextMessage(frame(nextId++, "auth", {{"version", 1}, {"userID", userID}, {"token", token}, {"platformID", 4}}));
        });
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &text) { onFrame(text); });
        socket.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/msg_gateway").arg(port)));
    }

    void onFrame(const QString &text)
    {
        if (text.startsWith(QLatin1String("{\"push\"")) || text.contains(QLatin1String("\"push\":\"newMessage\""))) {
            ++received;
            // The sender's clock reading travels in the text: "t=<ns>;".
            if (latencies && clock) {
                const qsizetype at = text.indexOf(QLatin1String("t="));
                if (at >= 0) {
                    const qsizetype end = text.indexOf(QLatin1Char(';'), at);
                    latencies->append(clock->nsecsElapsed() - text.mid(at + 2, end - at - 2).toLongLong());
                }
            }
            return;
        }
        const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
        if (!authed) {
            authed = answer.value("errCode").toInt(-1) == 0;
            return;
        }
        ++answered;
        if (answer.value("errCode").toInt() != 0)
            ++refused;
    }

    void send(const QString &recvID, const QString &groupID, const QString &content)
    {
        const QJsonObject msg{{"clientMsgID", QUuid::createUuid().toString(QUuid::Id128)},
                              {"contentType", 101},
                              {"createTime", QDateTime::currentMSecsSinceEpoch()},
                              {"textElem", QJsonObject{{"content", content}}}};
        socket.sendTextMessage(frame(nextId++, "sendMsg", {{"msg", msg}, {"recvID", recvID}, {"groupID", groupID}}));
    }
};

// One in-process service with `kSessions` users, all signed in and members of one group.
struct Bench {
    QTemporaryDir dir;
    std::unique_ptr<LocalService> local;
    std::vector<std::unique_ptr<Session>> sessions;
    QString groupID = QStringLiteral("2000000001");
    bool ready = false;

    Bench()
    {
        local = startInProcessService(dir, 1000);
        Accounts &accounts = local->service().accounts();
        QStringList ids;
        QStringList tokens;
        for (int i = 0; i < kSessions; ++i) {
            const QString email = QStringLiteral("u%1@example.org").arg(i);
            ids << accounts.addUser(email, "pw", QStringLiteral("User %1").arg(i));
            tokens << QCoro::waitFor(ChatApi::loginAccount(email, "pw")).imToken;
        }
        local->service().store().insertGroup(groupID, "Bench", ids.first(), ids.mid(1), 1);
        for (int i = 0; i < kSessions; ++i) {
            sessions.push_back(std::make_unique<Session>());
            sessions.back()->open(local->port(), ids[i], tokens[i]);
        }
        ready = spinUntil([this] { return std::all_of(sessions.begin(), sessions.end(), [](auto &s) { return s->authed; }); }, 60000);
    }

    qint64 received() const
    {
        qint64 n = 0;
        for (auto &s : sessions)
            n += s->received;
        return n;
    }
};

// Saturation: four members post to the group as fast as the gateway answers (each keeps 16
// sends in flight); every message reaches the other 199 sessions.
void BM_GatewayGroupFanout200(benchmark::State &state)
{
    Bench bench;
    if (!bench.ready) {
        state.SkipWithError("sessions did not sign in");
        return;
    }
    constexpr int kSenders = 4;
    constexpr int kWindow = 16;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        QTimer tick;
        tick.start(5);
        qint64 sent[kSenders] = {};
        const qint64 before = bench.received();
        while (timer.elapsed() < 5000) {
            for (int i = 0; i < kSenders; ++i) {
                Session &s = *bench.sessions[i];
                while (sent[i] - s.answered < kWindow) {
                    s.send(QString(), bench.groupID, QStringLiteral("fan-out"));
                    ++sent[i];
                }
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const double elapsed = timer.nsecsElapsed() / 1e9;
        const qint64 delivered = bench.received() - before;
        qint64 messages = 0;
        qint64 refused = 0;
        for (int i = 0; i < kSenders; ++i) {
            messages += bench.sessions[i]->answered;
            refused += bench.sessions[i]->refused;
        }
        state.counters["delivered_per_s"] = delivered / elapsed;
        state.counters["sent_per_s"] = messages / elapsed;
        state.counters["refused"] = double(refused);
        // Let the queues drain before the service goes away.
        spinUntil([&] { return bench.received() - before >= messages * (kSessions - 1); }, 30000);
    }
}
BENCHMARK(BM_GatewayGroupFanout200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Steady load: 100 one-to-one pairs, each sender posting every 100 ms (1,000 messages/s in all,
// phases spread evenly); latency from the send call to the peer's receipt.
void BM_GatewayLatency1kPerSecond(benchmark::State &state)
{
    Bench bench;
    if (!bench.ready) {
        state.SkipWithError("sessions did not sign in");
        return;
    }
    QList<qint64> latencies;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i < kSessions; i += 2) {
        bench.sessions[i]->latencies = &latencies;
        bench.sessions[i]->clock = &clock;
    }
    constexpr int kPairs = kSessions / 2;
    for (auto _ : state) {
        std::vector<std::unique_ptr<QTimer>> timers;
        for (int p = 0; p < kPairs; ++p) {
            Session *sender = bench.sessions[2 * p].get();
            const QString peer = bench.sessions[2 * p + 1]->userID;
            auto timer = std::make_unique<QTimer>();
            timer->setTimerType(Qt::PreciseTimer);
            timer->setInterval(100);
            QObject::connect(timer.get(), &QTimer::timeout, [sender, peer, &clock] {
                sender->send(peer, QString(), QStringLiteral("t=%1;").arg(clock.nsecsElapsed()));
            });
            QTimer::singleShot(p * 100 / kPairs, timer.get(), qOverload<>(&QTimer::start));
            timers.push_back(std::move(timer));
        }
        spinFor(1000); // warm-up
        latencies.clear();
        QElapsedTimer timer;
        timer.start();
        spinFor(5000);
        const double elapsed = timer.nsecsElapsed() / 1e9;
        const qsizetype done = latencies.size();
        timers.clear();
        spinFor(500);
        std::sort(latencies.begin(), latencies.begin() + done);
        auto pct = [&](double p) { return done ? latencies[std::min<qsizetype>(done - 1, qsizetype(p * done))] / 1e6 : 0.0; };
        state.counters["delivered_per_s"] = done / elapsed;
        state.counters["p50_ms"] = pct(0.5);
        state.counters["p99_ms"] = pct(0.99);
        state.counters["max_ms"] = done ? latencies[done - 1] / 1e6 : 0.0;
    }
}
BENCHMARK(BM_GatewayLatency1kPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
