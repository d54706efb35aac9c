// sarvo-load: hostile-load floods against a local sarvo-server it starts itself (loopback only,
// OS-chosen port, temporary data directory). Prints the service's peak resident memory, the
// latency of a valid sign-in during each flood and how every flooding connection ended.
// Bounded: a fixed number of connections and requests, and a time limit per flood.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QHostAddress kServer(QHostAddress::LocalHost);
// A valid user signs in from another loopback address than the flooders, as a different client would.
const QHostAddress kValidClient(QStringLiteral("127.0.0.2"));

QByteArray md5Hex(const QByteArray &s) { return QCryptographicHash::hash(s, QCryptographicHash::Md5).toHex(); }

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Waits (running the event loop) until `done` or the deadline; returns `done()`.
template <typename F> bool waitFor(F done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (true) {
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
}

QSslSocket *connectTls(quint16 port, const QHostAddress &from)
{
    auto *s = new QSslSocket;
    s->setPeerVerifyMode(QSslSocket::VerifyNone); // our own development certificate, on loopback
    if (!from.isNull())
        s->bind(from);
    s->connectToHostEncrypted(kServer.toString(), port);
    return s;
}

// --- the service process ---------------------------------------------------------------------

struct Service {
    QString binary;
    QString dataDir;
    int iterations = 0;
    QProcess process;
    quint16 port = 0;
    qint64 peakRss = 0; // kB, sampled

    QString run(const QStringList &args)
    {
        QProcess p;
        p.start(binary, args + QStringList{QStringLiteral("--data"), dataDir, QStringLiteral("--hash-iterations"), QString::number(iterations)});
        p.waitForFinished(60000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    bool start()
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(binary, {QStringLiteral("serve"), QStringLiteral("--data"), dataDir, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                               QStringLiteral("--dev"), QStringLiteral("--log-level"), QStringLiteral("warn"),
                               QStringLiteral("--hash-iterations"), QString::number(iterations)});
        // The port is read from the process's listening socket, whatever the log level.
        if (!process.waitForStarted(10000))
            return false;
        return waitFor([this] { return (port = listeningPort()) != 0; }, 20000);
    }
    // The TCP port the service process listens on, from /proc/net/tcp and its sockets.
    quint16 listeningPort() const
    {
        QSet<QString> inodes;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(process.processId());
        for (const QString &fd : QDir(fdDir).entryList(QDir::Files | QDir::System)) {
            const QString target = QFileInfo(fdDir + QLatin1Char('/') + fd).symLinkTarget();
            static const QRegularExpression re(QStringLiteral("socket:\\[(\\d+)\\]"));
            const auto m = re.match(target);
            if (m.hasMatch())
                inodes.insert(m.captured(1));
        }
        QFile tcp(QStringLiteral("/proc/net/tcp"));
        if (!tcp.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : tcp.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 9 && f[3] == "0A" && inodes.contains(QString::fromLatin1(f[9])))
                return quint16(f[1].split(':').value(1).toUInt(nullptr, 16));
        }
        return 0;
    }
    qint64 statusKb(const char *field) const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qstrlen(field)).simplified().split(' ').value(0).toLongLong();
        return 0;
    }
    void sample() { peakRss = std::max(peakRss, statusKb("VmRSS:")); }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(5000);
    }
};

// --- HTTP ------------------------------------------------------------------------------------

struct HttpResult {
    int status = 0; // 0: no answer
    QJsonObject body;
    qint64 ms = 0;
};

// Reads HTTP answers from a keep-alive connection.
struct HttpClient {
    QSslSocket *socket;
    QByteArray in;
    explicit HttpClient(QSslSocket *s) : socket(s) {}
    ~HttpClient() { delete socket; }
    void post(const QByteArray &path, const QJsonObject &body)
    {
        const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
        socket->write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(json.size()) + "\r\n\r\n" + json);
    }
    // One complete answer from `in` (after reading the socket), or nothing yet.
    std::optional<HttpResult> take()
    {
        in += socket->readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0)
            return std::nullopt;
        static const QRegularExpression lengthRe(QStringLiteral("(?i)content-length:\\s*(\\d+)"));
        const QString head = QString::fromLatin1(in.left(end));
        const qint64 length = lengthRe.match(head).captured(1).toLongLong();
        if (in.size() < end + 4 + length)
            return std::nullopt;
        HttpResult r;
        r.status = head.section(QLatin1Char(' '), 1, 1).toInt();
        r.body = QJsonDocument::fromJson(in.mid(end + 4, length)).object();
        in.remove(0, end + 4 + length);
        return r;
    }
};

HttpResult login(quint16 port, const QHostAddress &from, const QString &email, const QByteArray &password, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    HttpClient c(connectTls(port, from));
    QObject::connect(c.socket, &QSslSocket::encrypted, c.socket, [&] {
        c.post("/chat/account/login", {{QStringLiteral("email"), email}, {QStringLiteral("password"), QString::fromLatin1(md5Hex(password))},
                                        {QStringLiteral("platform"), 3}});
    });
    std::optional<HttpResult> r;
    waitFor([&] { return (r = c.take()).has_value(); }, timeoutMs);
    HttpResult out = r.value_or(HttpResult{});
    out.ms = t.elapsed();
    return out;
}

// --- WebSocket -------------------------------------------------------------------------------

QByteArray maskedFrame(quint8 opcode, const QByteArray &payload)
{
    QByteArray out;
    out.append(char(0x80 | opcode));
    const quint64 n = quint64(payload.size());
    if (n < 126) {
        out.append(char(0x80 | n));
    } else if (n <= 0xFFFF) {
        out.append(char(0x80 | 126)).append(char(n >> 8)).append(char(n & 0xFF));
    } else {
        out.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((n >> shift) & 0xFF));
    }
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    out.append(mask, 4);
    QByteArray p = payload;
    for (qsizetype i = 0; i < p.size(); ++i)
        p[i] = char(p[i] ^ mask[i % 4]);
    return out + p;
}

QByteArray request(int id, const char *op, const QJsonObject &data)
{
    return maskedFrame(0x1, QJsonDocument(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("op"), QLatin1String(op)}, {QStringLiteral("data"), data}})
                                .toJson(QJsonDocument::Compact));
}

const QByteArray kUpgrade = "GET /msg_gateway HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// Streams server frames, keeping only small text messages and the close code.
struct FrameReader {
    QByteArray in;
    bool headDone = false;
    qint64 skip = 0;
    int closeCode = -1;
    QList<QJsonObject> messages;
    qint64 bytes = 0;
    qint64 keepBelow = 64 * 1024; // larger text messages are skipped
    void feed(const QByteArray &data)
    {
        bytes += data.size();
        in += data;
        if (!headDone) {
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            in.remove(0, end + 4);
            headDone = true;
        }
        while (true) {
            if (skip > 0) {
                const qint64 n = std::min<qint64>(skip, in.size());
                in.remove(0, n);
                skip -= n;
                if (skip > 0)
                    return;
            }
            if (in.size() < 2)
                return;
            const auto *p = reinterpret_cast<const uchar *>(in.constData());
            const quint8 opcode = p[0] & 0x0F;
            quint64 len = p[1] & 0x7F;
            qsizetype header = 2;
            if (len == 126) {
                if (in.size() < 4)
                    return;
                len = qFromBigEndian<quint16>(p + 2);
                header = 4;
            } else if (len == 127) {
                if (in.size() < 10)
                    return;
                len = qFromBigEndian<quint64>(p + 2);
                header = 10;
            }
            if (opcode == 0x8 || (opcode == 0x1 && len < quint64(keepBelow))) {
                if (in.size() < header + qsizetype(len))
                    return;
                const QByteArray payload = in.mid(header, qsizetype(len));
                in.remove(0, header + qsizetype(len));
                if (opcode == 0x8)
                    closeCode = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1005;
                else
                    messages << QJsonDocument::fromJson(payload).object();
            } else {
                in.remove(0, header);
                skip = qint64(len);
            }
        }
    }
};

// Signs in over HTTP and on the gateway: the time until the gateway answered `auth`.
struct SignIn {
    qint64 ms = 0;
    QString outcome;
};

SignIn validSignIn(quint16 port, const QString &email, const QByteArray &password, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    const HttpResult r = login(port, kValidClient, email, password, timeoutMs);
    const QJsonObject data = r.body.value(QLatin1String("data")).toObject();
    if (r.status != 200 || data.isEmpty())
        return {t.elapsed(), r.status ? QStringLiteral("login answered %1").arg(r.status) : QStringLiteral("login timed out")};
    std::unique_ptr<QSslSocket> s(connectTls(port, kValidClient));
    FrameReader reader;
    QObject::connect(s.get(), &QSslSocket::encrypted, s.get(), [&] {
        s->write(kUpgrade + request(1, "auth", {{QStringLiteral("version"), 1}, {QStringLiteral("userID"), data.value(QLatin1String("userID"))},
                                                {QStringLiteral("token"), data.value(QLatin1String("imToken"))}, {QStringLiteral("platformID"), 3}}));
    });
    QObject::connect(s.get(), &QSslSocket::readyRead, s.get(), [&] { reader.feed(s->readAll()); });
    const int left = int(std::max<qint64>(1, timeoutMs - t.elapsed()));
    const bool ok = waitFor([&] { return !reader.messages.isEmpty(); }, left);
    return {t.elapsed(), ok ? QStringLiteral("ok") : QStringLiteral("gateway auth timed out")};
}

// A flooding gateway connection that writes its requests and never reads.
struct Flooder {
    std::unique_ptr<QSslSocket> socket;
    QByteArray toSend;
    QString ending;
    FrameReader reader;
};

QString describeEnd(Flooder &f)
{
    if (f.reader.closeCode >= 0)
        return QStringLiteral("close %1").arg(f.reader.closeCode);
    if (f.socket->state() == QAbstractSocket::ConnectedState)
        return QStringLiteral("still open");
    if (f.socket->error() == QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("closed without close frame");
    return QStringLiteral("reset");
}

void printLatencies(const char *label, std::vector<SignIn> &signIns)
{
    std::printf("  valid sign-ins during %s (HTTP login + gateway auth):", label);
    qint64 worst = 0;
    for (const SignIn &s : signIns) {
        std::printf(" %lld ms%s", qint64(s.ms), s.outcome == QLatin1String("ok") ? "" : qPrintable(QStringLiteral(" (%1)").arg(s.outcome)));
        worst = std::max(worst, s.ms);
    }
    std::printf("\n  worst sign-in: %lld ms\n", qint64(worst));
}

void printEndings(const QMap<QString, int> &endings)
{
    std::printf("  flooding connections ended:");
    for (auto it = endings.begin(); it != endings.end(); ++it)
        std::printf(" %s x%d;", qPrintable(it.key()), it.value());
    std::printf("\n");
}

// Samples the service's memory and signs in a valid user every `everyMs` while `flooding()`.
template <typename F> std::vector<SignIn> measureDuring(Service &service, F flooding, int seconds, int everyMs, const QString &email, const QByteArray &pw)
{
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { service.sample(); });
    sampler.start(20);
    std::vector<SignIn> out;
    QElapsedTimer total;
    total.start();
    spin(300); // let the flood start
    while (total.elapsed() < seconds * 1000 && flooding()) {
        out.push_back(validSignIn(service.port, email, pw, 5000));
        spin(everyMs);
    }
    service.sample();
    return out;
}

void historyFlood(Service &service, int connections, int requests, int seconds, int messageKb)
{
    std::printf("\n== non-reading history flood: %d connections x %d history requests (count 1) over a %d KB message ==\n", connections, requests, messageKb);
    const HttpResult a = login(service.port, kServer, QStringLiteral("a@load.test"), "secret-a", 10000);
    const HttpResult b = login(service.port, kServer, QStringLiteral("b@load.test"), "secret-b", 10000);
    const QJsonObject da = a.body.value(QLatin1String("data")).toObject(), db = b.body.value(QLatin1String("data")).toObject();
    if (da.isEmpty() || db.isEmpty()) {
        std::printf("  setup failed: sign-in answered %d / %d\n", a.status, b.status);
        return;
    }
    // The sender posts the big text message.
    QString conversationID;
    {
        std::unique_ptr<QSslSocket> s(connectTls(service.port, kServer));
        FrameReader reader;
        reader.keepBelow = 4 << 20;
        const QJsonObject msg{{QStringLiteral("clientMsgID"), QStringLiteral("load-big-1")},
                              {QStringLiteral("contentType"), 101},
                              {QStringLiteral("textElem"), QJsonObject{{QStringLiteral("content"), QString(messageKb * 1000, QLatin1Char('x'))}}}};
        QObject::connect(s.get(), &QSslSocket::encrypted, s.get(), [&] {
            s->write(kUpgrade + request(1, "auth", {{QStringLiteral("version"), 1}, {QStringLiteral("userID"), da.value(QLatin1String("userID"))},
                                                    {QStringLiteral("token"), da.value(QLatin1String("imToken"))}, {QStringLiteral("platformID"), 3}}) +
                     request(2, "sendMsg", {{QStringLiteral("recvID"), db.value(QLatin1String("userID"))}, {QStringLiteral("msg"), msg}}));
        });
        QObject::connect(s.get(), &QSslSocket::readyRead, s.get(), [&] { reader.feed(s->readAll()); });
        waitFor([&] { return reader.messages.size() >= 2 || reader.closeCode >= 0; }, 20000);
        for (const QJsonObject &m : reader.messages)
            if (m.value(QLatin1String("id")).toInt() == 2)
                conversationID = m.value(QLatin1String("data")).toObject().value(QLatin1String("conversationID")).toString();
        if (conversationID.isEmpty()) {
            std::printf("  setup failed: the message was not stored (close %d)\n", reader.closeCode);
            for (const QJsonObject &m : reader.messages)
                std::printf("  %s\n", QJsonDocument(m).toJson(QJsonDocument::Compact).left(300).constData());
            return;
        }
    }
    service.sample();
    std::printf("  service resident memory before the flood: %lld MB\n", service.statusKb("VmRSS:") / 1024);

    std::vector<std::unique_ptr<Flooder>> flooders;
    for (int i = 0; i < connections; ++i) {
        auto f = std::make_unique<Flooder>();
        f->socket.reset(connectTls(service.port, kServer));
        f->socket->setReadBufferSize(16 * 1024); // we never read: the kernel window fills
        f->toSend = kUpgrade + request(1, "auth", {{QStringLiteral("version"), 1}, {QStringLiteral("userID"), db.value(QLatin1String("userID"))},
                                                   {QStringLiteral("token"), db.value(QLatin1String("imToken"))}, {QStringLiteral("platformID"), 3}});
        for (int r = 0; r < requests; ++r)
            f->toSend += request(2 + r, "history", {{QStringLiteral("conversationID"), conversationID}, {QStringLiteral("count"), 1}});
        Flooder *raw = f.get();
        QObject::connect(raw->socket.get(), &QSslSocket::encrypted, raw->socket.get(), [raw] { raw->socket->write(raw->toSend); });
        flooders.push_back(std::move(f));
    }
    std::vector<SignIn> signIns = measureDuring(service, [] { return true; }, seconds, 700, QStringLiteral("c@load.test"), "secret-c");

    // How each flooder ended: now read what the service sent, briefly, looking for a close frame.
    for (auto &f : flooders) {
        Flooder *raw = f.get();
        raw->socket->setReadBufferSize(0);
        QObject::connect(raw->socket.get(), &QSslSocket::readyRead, raw->socket.get(), [raw] { raw->reader.feed(raw->socket->readAll()); });
        raw->reader.feed(raw->socket->readAll());
    }
    waitFor([&] {
        return std::all_of(flooders.begin(), flooders.end(), [](const auto &f) {
            return f->reader.closeCode >= 0 || f->socket->state() != QAbstractSocket::ConnectedState;
        });
    }, 3000);
    service.sample();
    QMap<QString, int> endings;
    qint64 answered = 0;
    for (auto &f : flooders) {
        ++endings[describeEnd(*f)];
        answered += f->reader.bytes;
    }
    std::printf("  peak resident memory of the service: %lld MB (VmHWM %lld MB)\n", service.peakRss / 1024, service.statusKb("VmHWM:") / 1024);
    printLatencies("the flood", signIns);
    printEndings(endings);
    std::printf("  bytes the flooders read afterwards (3 s): %lld MB\n", answered / (1024 * 1024));
}

void passwordFlood(Service &service, int connections, int attemptsEach, int seconds, int addresses)
{
    std::printf("\n== wrong-password flood: %d connections from %d loopback address(es) x %d sign-ins with wrong passwords ==\n", connections, addresses,
                attemptsEach);
    struct Guesser {
        std::unique_ptr<HttpClient> http;
        int sent = 0;
        int answered = 0;
        QMap<int, int> statuses;
    };
    std::vector<std::unique_ptr<Guesser>> guessers;
    int pending = connections * attemptsEach;
    for (int i = 0; i < connections; ++i) {
        auto g = std::make_unique<Guesser>();
        const QHostAddress from(QStringLiteral("127.0.0.%1").arg(10 + i % addresses));
        g->http = std::make_unique<HttpClient>(connectTls(service.port, from));
        Guesser *raw = g.get();
        auto next = [raw, i, attemptsEach] {
            if (raw->sent >= attemptsEach)
                return;
            // Other people's accounts (unknown and known ones), never the valid user's.
            const QString email = raw->sent % 2 ? QStringLiteral("b@load.test") : QStringLiteral("guess%1-%2@load.test").arg(i).arg(raw->sent);
            raw->http->post("/chat/account/login", {{QStringLiteral("email"), email}, {QStringLiteral("password"), QString::fromLatin1(md5Hex("wrong"))},
                                                    {QStringLiteral("platform"), 3}});
            ++raw->sent;
        };
        QObject::connect(raw->http->socket, &QSslSocket::encrypted, raw->http->socket, next);
        QObject::connect(raw->http->socket, &QSslSocket::readyRead, raw->http->socket, [raw, next, &pending] {
            while (auto r = raw->http->take()) {
                ++raw->statuses[r->status];
                ++raw->answered;
                --pending;
                next();
            }
        });
        guessers.push_back(std::move(g));
    }
    std::vector<SignIn> signIns = measureDuring(service, [&] { return pending > 0; }, seconds, 300, QStringLiteral("c@load.test"), "secret-c");
    waitFor([&] { return pending <= 0; }, 2000);
    QMap<int, int> statuses;
    QMap<QString, int> endings;
    for (auto &g : guessers) {
        for (auto it = g->statuses.begin(); it != g->statuses.end(); ++it)
            statuses[it.key()] += it.value();
        const bool open = g->http->socket->state() == QAbstractSocket::ConnectedState;
        ++endings[open ? QStringLiteral("open, %1/%2 answered").arg(g->answered).arg(attemptsEach) : QStringLiteral("closed by the service")];
    }
    std::printf("  answers to the wrong passwords:");
    for (auto it = statuses.begin(); it != statuses.end(); ++it)
        std::printf(" %d x%d;", it.key(), it.value());
    std::printf(" unanswered %d\n", std::max(0, pending));
    printLatencies("the flood", signIns);
    printEndings(endings);
    std::printf("  peak resident memory of the service: %lld MB\n", service.peakRss / 1024);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Floods a local sarvo-server (started here, loopback only) and reports memory and sign-in latency."));
    p.addHelpOption();
    const QCommandLineOption serverOpt(QStringLiteral("server"), QStringLiteral("sarvo-server binary"), QStringLiteral("path"),
                                       QCoreApplication::applicationDirPath() + QStringLiteral("/sarvo-server"));
    const QCommandLineOption floodOpt(QStringLiteral("flood"), QStringLiteral("history, password or all"), QStringLiteral("name"), QStringLiteral("all"));
    const QCommandLineOption connOpt(QStringLiteral("connections"), QStringLiteral("non-reading connections (max 200)"), QStringLiteral("n"), QStringLiteral("40"));
    const QCommandLineOption reqOpt(QStringLiteral("requests"), QStringLiteral("history requests per connection (max 1000)"), QStringLiteral("n"), QStringLiteral("150"));
    const QCommandLineOption kbOpt(QStringLiteral("message-kb"), QStringLiteral("size of the big message (max 1000)"), QStringLiteral("kb"), QStringLiteral("900"));
    const QCommandLineOption guessConnOpt(QStringLiteral("guess-connections"), QStringLiteral("wrong-password connections (max 200)"), QStringLiteral("n"), QStringLiteral("44"));
    const QCommandLineOption guessOpt(QStringLiteral("guesses"), QStringLiteral("wrong passwords per connection (max 50)"), QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption addrOpt(QStringLiteral("guess-addresses"), QStringLiteral("loopback addresses the guesses come from (max 50)"), QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption secOpt(QStringLiteral("seconds"), QStringLiteral("time limit of each flood (max 120)"), QStringLiteral("s"), QStringLiteral("15"));
    const QCommandLineOption iterOpt(QStringLiteral("hash-iterations"), QStringLiteral("password hashing cost of the service"), QStringLiteral("n"), QStringLiteral("600000"));
    p.addOptions({serverOpt, floodOpt, connOpt, reqOpt, kbOpt, guessConnOpt, guessOpt, addrOpt, secOpt, iterOpt});
    p.process(app);
    auto bounded = [&](const QCommandLineOption &o, int lo, int hi) { return std::clamp(p.value(o).toInt(), lo, hi); };

    const QString flood = p.value(floodOpt);
    const int seconds = bounded(secOpt, 1, 120);
    for (const QString name : {QStringLiteral("history"), QStringLiteral("password")}) {
        if (flood != QLatin1String("all") && flood != name)
            continue;
        // Each flood gets a fresh service, so one does not measure what the other left behind.
        QTemporaryDir dir;
        Service service;
        service.binary = p.value(serverOpt);
        service.dataDir = dir.filePath(QStringLiteral("data"));
        service.iterations = bounded(iterOpt, 1, 10000000);
        if (!QFileInfo(service.binary).isExecutable()) {
            std::fprintf(stderr, "sarvo-load: no server binary at %s (use --server)\n", qPrintable(service.binary));
            return 2;
        }
        const QString a = service.run({QStringLiteral("add-user"), QStringLiteral("--email"), QStringLiteral("a@load.test"), QStringLiteral("--password"),
                                       QStringLiteral("secret-a"), QStringLiteral("--nickname"), QStringLiteral("A")});
        const QString b = service.run({QStringLiteral("add-user"), QStringLiteral("--email"), QStringLiteral("b@load.test"), QStringLiteral("--password"),
                                       QStringLiteral("secret-b"), QStringLiteral("--nickname"), QStringLiteral("B")});
        service.run({QStringLiteral("add-user"), QStringLiteral("--email"), QStringLiteral("c@load.test"), QStringLiteral("--password"), QStringLiteral("secret-c"),
                     QStringLiteral("--nickname"), QStringLiteral("C")});
        service.run({QStringLiteral("add-friend"), a, b});
        if (!service.start()) {
            std::fprintf(stderr, "sarvo-load: the service did not start\n%s", service.process.readAllStandardError().constData());
            service.stop();
            return 1;
        }
        std::printf("\nsarvo-load: service pid %lld on 127.0.0.1:%u, hash iterations %d\n", service.process.processId(), service.port, service.iterations);
        std::printf("  valid sign-ins without load:");
        for (int i = 0; i < 3; ++i) {
            const SignIn quiet = validSignIn(service.port, QStringLiteral("c@load.test"), "secret-c", 5000);
            std::printf(" %lld ms (%s)", qint64(quiet.ms), qPrintable(quiet.outcome));
        }
        std::printf("\n");
        if (name == QLatin1String("history"))
            historyFlood(service, bounded(connOpt, 1, 200), bounded(reqOpt, 1, 1000), seconds, bounded(kbOpt, 1, 1000));
        else
            passwordFlood(service, bounded(guessConnOpt, 1, 200), bounded(guessOpt, 1, 50), seconds, bounded(addrOpt, 1, 50));
        std::fflush(stdout);
        service.stop();
    }
    return 0;
}
