#include "ServerFixture.h"

#include "support/EventLoop.h"

#include <QSslSocket>
#include <QtEndian>

#include <optional>

// The gateway's WebSocket layer against frames and handshakes no real client sends, over raw TLS.
namespace {

enum Op : quint8 { Cont = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9 };

// One masked client frame. `announced` replaces the real payload length in the header, for
// frames whose body never comes.
QByteArray frame(quint8 opcode, const QByteArray &payload, bool fin = true, std::optional<quint64> announced = std::nullopt)
{
    const quint64 n = announced.value_or(quint64(payload.size()));
    QByteArray out;
    out.append(char((fin ? 0x80 : 0) | opcode));
    if (n < 126) {
        out.append(char(0x80 | n));
    } else if (n <= 0xFFFF) {
        out.append(char(0x80 | 126));
        out.append(char(n >> 8)).append(char(n & 0xFF));
    } else {
        out.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((n >> shift) & 0xFF));
    }
    if (announced && *announced != quint64(payload.size()))
        return out; // the header alone: no mask, no body
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    out.append(mask, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        out.append(char(payload[i] ^ mask[i % 4]));
    return out;
}

QByteArray closeFrame(int code, const QByteArray &reason = {})
{
    QByteArray p;
    p.append(char(code >> 8)).append(char(code & 0xFF)).append(reason);
    return frame(Close, p);
}

const QByteArray kPing = R"({"id":99,"op":"ping"})";

// A WebSocket client that writes whatever bytes it is given and reads the server's frames.
class RawClient {
public:
    explicit RawClient(quint16 port) { socket.connectToHostEncrypted("127.0.0.1", port); }

    // Sends `head` and returns the answer's head (status line and headers).
    QByteArray handshake(const QByteArray &head)
    {
        socket.write(head);
        spinUntil([&] {
            in += socket.readAll();
            return in.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
        });
        const qsizetype end = in.indexOf("\r\n\r\n");
        const QByteArray answer = end < 0 ? in : in.left(end + 4);
        in.remove(0, answer.size());
        return answer;
    }

    bool open()
    {
        return handshake("GET /msg_gateway HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            .startsWith("HTTP/1.1 101");
    }

    void send(const QByteArray &bytes) { socket.write(bytes); }

    // Reads server frames until the answer to request `id` or a close frame arrives, or the
    // connection ends. The close code read, 0 when the answer came, -1 when neither did.
    int waitFor(int id)
    {
        int result = -1;
        spinUntil([&] {
            in += socket.readAll();
            while (in.size() >= 2) {
                const auto *p = reinterpret_cast<const uchar *>(in.constData());
                qsizetype header = 2;
                quint64 length = p[1] & 0x7F;
                if (length == 126) {
                    if (in.size() < 4)
                        return false;
                    length = qFromBigEndian<quint16>(p + 2);
                    header = 4;
                } else if (length == 127) {
                    if (in.size() < 10)
                        return false;
                    length = qFromBigEndian<quint64>(p + 2);
                    header = 10;
                }
                if (in.size() < header + qsizetype(length))
                    return false;
                const QByteArray payload = in.mid(header, qsizetype(length));
                const quint8 opcode = p[0] & 0x0F;
                in.remove(0, header + qsizetype(length));
                if (opcode == Close) {
                    result = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1005;
                    return true;
                }
                if (opcode == Text && QJsonDocument::fromJson(payload).object().value("id").toInt() == id) {
                    result = 0;
                    return true;
                }
            }
            return socket.state() == QAbstractSocket::UnconnectedState;
        });
        return result;
    }

    QSslSocket socket;
    QByteArray in;
};

class WebSocketEdges : public ServerTest {
protected:
    // An authenticated raw connection.
    std::unique_ptr<RawClient> connect()
    {
        auto c = std::make_unique<RawClient>(local->port());
        EXPECT_TRUE(c->open());
        c->send(frame(Text, QJsonDocument(QJsonObject{{"id", 1},
                                                      {"op", "auth"},
                                                      {"data", QJsonObject{{"version", 1},
                                                                           {"userID", ann.userID},
                                                                           {"token", ann.imToken},
                                                                           {"platformID", 4}}}})
                                    .toJson(QJsonDocument::Compact)));
        EXPECT_EQ(c->waitFor(1), 0) << "auth was not answered";
        return c;
    }

    struct Case {
        const char *name;
        QList<QByteArray> frames;
        int expected; // the server's close code, or 0: read normally (a ping sent next is answered)
    };

    void check(const Case &k)
    {
        SCOPED_TRACE(k.name);
        auto c = connect();
        for (const QByteArray &f : k.frames)
            c->send(f);
        if (k.expected == 0)
            c->send(frame(Text, kPing));
        EXPECT_EQ(c->waitFor(99), k.expected);
        if (k.expected != 0) { // closed at once, whatever else the peer still has to send
            EXPECT_TRUE(spinUntil([&] { return c->socket.state() == QAbstractSocket::UnconnectedState; }));
        }
    }

    void SetUp() override
    {
        ServerTest::SetUp();
        ann = registerUser("ann@example.org");
    }

    ChatApi::LoginResult ann;
};

TEST_F(WebSocketEdges, TextMustBeUtf8)
{
    const QByteArray euro = "\xE2\x82\xAC";
    const Case cases[] = {
        {"invalid byte", {frame(Text, "\xC3\x28")}, 1007},
        {"overlong slash", {frame(Text, "\xC0\xAF")}, 1007},
        {"surrogate half", {frame(Text, "\xED\xA0\x80")}, 1007},
        {"above U+10FFFF", {frame(Text, "\xF4\x90\x80\x80")}, 1007},
        {"cut off at the end", {frame(Text, "abc\xE2\x82")}, 1007},
        {"cut off at a fragment's end", {frame(Text, "abc\xE2\x82", false), frame(Cont, "")}, 1007},
        {"close reason", {closeFrame(1000, "\xFF")}, 1007},
        {"a character split across fragments",
         {frame(Text, R"({"id":99,"op":"ping","n":")" + euro.left(1), false), frame(Cont, euro.mid(1, 1), false),
          frame(Cont, euro.mid(2) + R"("})")},
         0},
        {"multi-byte text in one frame", {frame(Text, R"({"id":98,"op":"ping","n":")" + euro + "\xF0\x9F\x98\x80\"}")}, 0},
    };
    for (const Case &k : cases)
        check(k);
}

TEST_F(WebSocketEdges, CloseFramesAreCheckedAndEchoed)
{
    QList<Case> cases = {
        {"one-byte payload", {frame(Close, "\x03")}, 1002},
        {"no payload", {frame(Close, "")}, 1000},
    };
    for (int code : {999, 1004, 1005, 1006, 1015, 2999, 5000, 65535})
        cases.append({"invalid code", {closeFrame(code)}, 1002});
    for (int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 4000, 4999})
        cases.append({"valid code, echoed", {closeFrame(code, "bye")}, code});
    for (const Case &k : cases) {
        SCOPED_TRACE(QByteArray::number(k.expected).toStdString() + " / " + k.frames[0].toHex().toStdString());
        check(k);
    }
}

TEST_F(WebSocketEdges, FragmentsAndControlFramesFollowTheRules)
{
    const Case cases[] = {
        {"new text frame inside a fragmented message", {frame(Text, R"({"id":)", false), frame(Text, R"(99,"op":"ping"})")}, 1002},
        {"binary frame inside a fragmented text message", {frame(Text, "{", false), frame(Binary, "}")}, 1002},
        {"continuation without a start", {frame(Cont, kPing)}, 1002},
        {"fragmented ping", {frame(Ping, "a", false), frame(Cont, "b")}, 1002},
        {"ping over 125 bytes", {frame(Ping, QByteArray(126, 'p'))}, 1002},
        {"close over 125 bytes", {closeFrame(1000, QByteArray(124, 'r'))}, 1002},
        {"reserved opcode", {frame(0x3, "x")}, 1002},
        {"reserved control opcode", {frame(0xB, "x")}, 1002},
        {"ping between fragments", {frame(Text, R"({"id":)", false), frame(Ping, "hi"), frame(Cont, R"(99,"op":"ping"})")}, 0},
        {"empty fragments", {frame(Text, "", false), frame(Cont, kPing, false), frame(Cont, "")}, 0},
    };
    for (const Case &k : cases)
        check(k);
}

TEST_F(WebSocketEdges, OversizedFramesCloseAsSoonAsTheHeaderIsRead)
{
    const qint64 limit = gatewayLimits.maxFrame;
    const Case cases[] = {
        {"2^63-1 bytes announced", {frame(Text, {}, true, (quint64(1) << 63) - 1)}, 1009},
        {"2 GiB announced, then silence", {frame(Text, {}, true, quint64(2) << 30)}, 1009},
        {"binary over the limit", {frame(Binary, {}, true, quint64(limit) + 1)}, 1009},
        {"one byte over the limit", {frame(Text, {}, true, quint64(limit) + 1)}, 1009},
        {"fragments together over the limit", {frame(Text, QByteArray(limit / 2, ' '), false), frame(Cont, {}, true, quint64(limit / 2) + 1)}, 1009},
        {"64-bit length with the top bit set", {frame(Text, {}, true, quint64(1) << 63)}, 1002},
        {"64-bit length, all bits set", {frame(Text, {}, true, ~quint64(0))}, 1002},
    };
    for (const Case &k : cases)
        check(k);
}

TEST_F(WebSocketEdges, UpgradesNeedAWellFormedHandshake)
{
    const QByteArray key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    auto request = [](const QByteArray &path, const QByteArray &version, const QByteArray &extra) {
        return "GET " + path + " " + version + "\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + extra + "\r\n";
    };
    const QByteArray v13 = "Sec-WebSocket-Version: 13\r\n";
    struct Upgrade {
        const char *name;
        QByteArray head;
        QByteArray status;
    };
    const Upgrade cases[] = {
        {"well formed", request("/msg_gateway", "HTTP/1.1", key + v13), "HTTP/1.1 101"},
        {"key is not base64", request("/msg_gateway", "HTTP/1.1", "Sec-WebSocket-Key: not*base64*at*all!!!!!\r\n" + v13), "HTTP/1.1 400"},
        {"key of 15 bytes", request("/msg_gateway", "HTTP/1.1", "Sec-WebSocket-Key: " + QByteArray(15, 'k').toBase64() + "\r\n" + v13),
         "HTTP/1.1 400"},
        {"key of 17 bytes", request("/msg_gateway", "HTTP/1.1", "Sec-WebSocket-Key: " + QByteArray(17, 'k').toBase64() + "\r\n" + v13),
         "HTTP/1.1 400"},
        {"key repeated", request("/msg_gateway", "HTTP/1.1", key + key + v13), "HTTP/1.1 400"},
        {"no key", request("/msg_gateway", "HTTP/1.1", v13), "HTTP/1.1 400"},
        {"HTTP/1.0", request("/msg_gateway", "HTTP/1.0", key + v13), "HTTP/1.1 400"},
        {"percent-encoded path", request("/msg%5Fgateway", "HTTP/1.1", key + v13), "HTTP/1.1 400"},
        {"another path", request("/msg_gateway2", "HTTP/1.1", key + v13), "HTTP/1.1 404"},
        {"version 8", request("/msg_gateway", "HTTP/1.1", key + "Sec-WebSocket-Version: 8\r\n"), "HTTP/1.1 426"},
        {"no version", request("/msg_gateway", "HTTP/1.1", key), "HTTP/1.1 400"},
    };
    for (const Upgrade &k : cases) {
        SCOPED_TRACE(k.name);
        RawClient c(local->port());
        const QByteArray answer = c.handshake(k.head);
        EXPECT_TRUE(answer.startsWith(k.status)) << answer.toStdString();
        if (k.status == "HTTP/1.1 426") {
            EXPECT_TRUE(answer.contains("\r\nSec-WebSocket-Version: 13\r\n")) << answer.toStdString();
        }
    }
}

} // namespace
