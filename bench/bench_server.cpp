// The local service under load on loopback: key lookups and failed sign-ins from 32 concurrent
// keep-alive TLS clients, and the upload of a 256 MiB object through the client's own code.
#include "InProcessService.h"
#include "app/Service.h"
#include "base/ServiceConfig.h"
#include "net/ChatApi.h"
#include "net/Net.h"
#include "net/ObjectUpload.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int kClients = 32;

// One in-process service with a fresh data directory and two users with published keys.
struct Bench {
    QTemporaryDir dir;
    std::unique_ptr<LocalService> local;
    QString token, userID, peerID;

    explicit Bench(int iterations, bool limitGuesses = true)
    {
        local = startInProcessService(dir, iterations, limitGuesses);
        Accounts &accounts = local->service().accounts();
        userID = accounts.addUser("a@example.org", "pw", "A");
        peerID = accounts.addUser("b@example.org", "pw", "B");
        const auto login = QCoro::waitFor(ChatApi::loginAccount("a@example.org", "pw"));
        token = login.imToken;
        Storage::Store &store = local->service().store();
        store.putDeviceKey(peerID, "aaaaaaaaaaaaaaaaaaaaaaaa", "BPeerKeyOne", 1, 16);
        store.putDeviceKey(peerID, "bbbbbbbbbbbbbbbbbbbbbbbb", "BPeerKeyTwo", 2, 16);
    }
};

// One keep-alive TLS connection. Closed loop (interval 0): the next request leaves as soon as
// the answer is in. Open loop: a request is due every `interval` ms, and its latency counts
// from when it was due, so time spent queued behind a slow answer is included.
class Client {
public:
    Client(quint16 port, QByteArray request, int intervalMs, int phaseMs, const QElapsedTimer &clock, QList<qint64> *latencies, int *failures)
        : m_request(std::move(request)), m_clock(clock), m_latencies(latencies), m_failures(failures)
    {
        QObject::connect(&m_socket, &QSslSocket::readyRead, [this] { read(); });
        if (intervalMs == 0) {
            QObject::connect(&m_socket, &QSslSocket::encrypted, [this] { due(); });
        } else {
            m_timer.setInterval(intervalMs);
            m_timer.setTimerType(Qt::PreciseTimer);
            QObject::connect(&m_timer, &QTimer::timeout, [this] { due(); });
            QObject::connect(&m_socket, &QSslSocket::encrypted, [this, phaseMs] { QTimer::singleShot(phaseMs, &m_timer, qOverload<>(&QTimer::start)); });
        }
        m_closedLoop = intervalMs == 0;
        m_socket.connectToHostEncrypted("127.0.0.1", port);
    }
    void stop()
    {
        m_stopping = true;
        m_timer.stop();
    }
    bool idle() const { return m_due.isEmpty(); }

private:
    void due()
    {
        if (m_stopping)
            return;
        m_due.append(m_clock.nsecsElapsed());
        if (m_due.size() == 1)
            m_socket.write(m_request);
    }
    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const qsizetype at = m_buffer.indexOf("Content-Length: ");
        const qint64 length = m_buffer.mid(at + 16, m_buffer.indexOf("\r\n", at) - at - 16).toLongLong();
        if (m_buffer.size() < end + 4 + length)
            return;
        if (!m_buffer.startsWith("HTTP/1.1 200"))
            ++*m_failures;
        m_latencies->append(m_clock.nsecsElapsed() - m_due.takeFirst());
        m_buffer.clear();
        if (m_closedLoop)
            due();
        else if (!m_due.isEmpty())
            m_socket.write(m_request);
    }

    QSslSocket m_socket;
    QTimer m_timer;
    QByteArray m_request;
    const QElapsedTimer &m_clock;
    QList<qint64> *m_latencies;
    int *m_failures;
    QList<qint64> m_due;
    QByteArray m_buffer;
    bool m_closedLoop = true;
    bool m_stopping = false;
};

QByteArray post(const QByteArray &path, const QJsonObject &body)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

// Runs 32 clients for `seconds` and reports requests/s and latency percentiles.
void load(benchmark::State &state, Bench &bench, const QByteArray &request, int seconds, int intervalMs, bool expectOk)
{
    QList<qint64> latencies;
    int failures = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < kClients; ++i)
            clients.push_back(std::make_unique<Client>(bench.local->port(), request, intervalMs, intervalMs * i / kClients, clock, &latencies, &failures));
        // Warm-up: connections and TLS handshakes are not what is measured.
        while (clock.elapsed() < 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        latencies.clear();
        failures = 0;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < seconds * 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const double elapsed = timer.nsecsElapsed() / 1e9;
        const qsizetype done = latencies.size();
        for (auto &c : clients)
            c->stop();
        QElapsedTimer drain;
        drain.start();
        while (drain.elapsed() < 30000 && !std::all_of(clients.begin(), clients.end(), [](auto &c) { return c->idle(); }))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::sort(latencies.begin(), latencies.begin() + done);
        auto pct = [&](double p) { return done ? latencies[std::min<qsizetype>(done - 1, qsizetype(p * done))] / 1e6 : 0.0; };
        state.counters["req_per_s"] = done / elapsed;
        state.counters["p50_ms"] = pct(0.5);
        state.counters["p90_ms"] = pct(0.9);
        state.counters["p99_ms"] = pct(0.99);
        state.counters["non_200"] = failures;
        if (expectOk && failures)
            state.SkipWithError("requests failed");
    }
}

// Argument: ms between one client's requests; 0 sends back to back (saturation).
void BM_KeysGet32Clients(benchmark::State &state)
{
    Bench bench(1000);
    const QByteArray request = post("/bridge/keys/get", {{"token", bench.token}, {"userID", bench.userID},
                                                         {"userIDs", QJsonArray{bench.peerID, bench.userID}}});
    load(state, bench, request, 5, int(state.range(0)), true);
}
BENCHMARK(BM_KeysGet32Clients)->Arg(0)->Arg(20)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoginWrongPassword32Clients(benchmark::State &state)
{
    // The production cost (PBKDF2-SHA256, 600000 iterations) on every attempt; the back-off, which
    // would refuse nearly all of these unhashed, is lifted to measure it.
    Bench bench(600000, false);
    const QByteArray request = post("/chat/account/login", {{"email", "a@example.org"}, {"password", Net::md5Hex("wrong")}, {"platform", 4}});
    load(state, bench, request, 5, 0, false);
}
BENCHMARK(BM_LoginWrongPassword32Clients)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Upload256MiB(benchmark::State &state)
{
    Bench bench(1000);
    QByteArray data(256 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 i = 0; i < data.size(); ++i)
        data[i] = char(i * 131 + (i >> 12));
    for (auto _ : state) {
        const QString url = QCoro::waitFor(Net::uploadBytes(data, "bench.bin", bench.token, bench.userID));
        if (url.isEmpty())
            state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Upload256MiB)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
