// Upload throughput against a loopback object store, next to hashing the same bytes alone.
#include "base/ServiceConfig.h"
#include "net/Net.h"
#include "net/ObjectUpload.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <benchmark/benchmark.h>
#include <qcoro/qcorotask.h>

#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

constexpr qint64 kPayload = 64 * 1024 * 1024;

// A minimal HTTP/1.1 object store: answers the object endpoints and discards PUT bodies as they
// stream in, so the client's side of the upload is what gets measured.
class StoreServer : public QTcpServer {
public:
    QString base;

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto state = std::make_shared<Conn>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state] { serve(socket, *state); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    struct Conn {
        QByteArray head;
        QString path;
        qint64 remaining = -1; // body bytes still to read; -1 while reading the head
        QByteArray body;
    };

    void serve(QTcpSocket *socket, Conn &c)
    {
        // Qt's HTTP client leaves Nagle on, so the last segment of each PUT waits for our ACK;
        // acknowledge at once instead of delaying (delayed ACK would cost ~40 ms per part).
        const int one = 1;
        setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        while (socket->bytesAvailable() > 0) {
            if (c.remaining < 0) {
                c.head += socket->read(4096);
                const qsizetype end = c.head.indexOf("\r\n\r\n");
                if (end < 0)
                    continue;
                const QByteArray head = c.head.left(end);
                QByteArray rest = c.head.mid(end + 4);
                c.head.clear();
                c.path = QString::fromLatin1(head.split(' ').value(1)).section('?', 0, 0);
                c.remaining = 0;
                for (const QByteArray &line : head.split('\n'))
                    if (line.toLower().startsWith("content-length:"))
                        c.remaining = line.mid(15).trimmed().toLongLong();
                c.body.clear();
                consume(c, rest);
            } else {
                QByteArray chunk = socket->read(std::min<qint64>(c.remaining, 1 << 20));
                consume(c, chunk);
            }
            if (c.remaining == 0) {
                const QByteArray reply = answer(c);
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                              + QByteArray::number(reply.size()) + "\r\n\r\n" + reply);
                c.remaining = -1;
            }
        }
    }

    void consume(Conn &c, const QByteArray &bytes)
    {
        const qint64 take = std::min<qint64>(c.remaining, bytes.size());
        if (c.path != QLatin1String("/put"))
            c.body += bytes.left(take);
        c.remaining -= take;
        c.head = bytes.mid(take); // pipelined bytes of the next request, if any
        if (!c.head.isEmpty() && c.remaining == 0)
            qWarning("pipelined request ignored");
    }

    QByteArray answer(const Conn &c)
    {
        QJsonObject data;
        if (c.path == QLatin1String("/api/object/initiate_multipart_upload")) {
            data = {{"upload", QJsonObject{{"uploadID", "b"}}}};
        } else if (c.path == QLatin1String("/api/object/auth_sign")) {
            QJsonArray parts;
            const auto numbers = QJsonDocument::fromJson(c.body).object().value("partNumbers").toArray();
            for (const QJsonValue &n : numbers)
                parts.append(QJsonObject{{"partNumber", n}, {"url", base + "/put"}});
            data = {{"parts", parts}};
        } else if (c.path == QLatin1String("/api/object/complete_multipart_upload")) {
            data = {{"url", "https://cdn.example/x"}};
        } else if (c.path == QLatin1String("/put")) {
            return {};
        }
        return QJsonDocument(QJsonObject{{"errCode", 0}, {"data", data}}).toJson(QJsonDocument::Compact);
    }
};

QByteArray payload()
{
    QByteArray data(kPayload, Qt::Uninitialized);
    for (qint64 i = 0; i < data.size(); ++i)
        data[i] = char(i * 131 + (i >> 12));
    return data;
}

void BM_Md5Hex64MiB(benchmark::State &state)
{
    const QByteArray data = payload();
    for (auto _ : state)
        benchmark::DoNotOptimize(Net::md5Hex(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Md5Hex64MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_UploadBytes64MiB(benchmark::State &state)
{
    // The store lives on a thread of its own so the client's event loop only runs the client.
    QThread thread;
    QObject onThread;
    onThread.moveToThread(&thread);
    thread.start();
    StoreServer *server = nullptr;
    QMetaObject::invokeMethod(
        &onThread,
        [&] {
            server = new StoreServer;
            server->listen(QHostAddress::LocalHost, 0);
            server->base = QStringLiteral("http://127.0.0.1:%1").arg(server->serverPort());
        },
        Qt::BlockingQueuedConnection);
    QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
    ServiceConfig::current().setServer(server->base);

    const QByteArray data = payload();
    for (auto _ : state) {
        const QString url = QCoro::waitFor(Net::uploadBytes(data, "bench.bin", "tok", "u"));
        if (url.isEmpty())
            state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(state.iterations() * data.size());
    thread.quit();
    thread.wait();
}
BENCHMARK(BM_UploadBytes64MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace
