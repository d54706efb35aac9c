// The service's WebSocket layer: the opening handshake and client frames (masking, lengths,
// fragments, control frames in between, messages above the size limit).
#include "ServicePipe.h"
#include "gateway/WebSocket.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::app();
    return 0;
}

// First byte: bit 0 puts a valid opening handshake before the rest, so most inputs reach the
// frame reader; the rest is what the client sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::ServicePipe pipe;
    // A small limit so that the closing on large messages is reached too.
    Gateway::WebSocket::Bounds bounds;
    bounds.maxMessage = 256;
    auto *ws = new Gateway::WebSocket(pipe.socket, bounds, nullptr);
    bool closed = false;
    QObject::connect(ws, &Gateway::WebSocket::textReceived, ws, [](const QByteArray &utf8) {
        Fuzz::check(utf8.size() <= 256, "a delivered message is within the limit");
    });
    QObject::connect(ws, &Gateway::WebSocket::closed, ws, [&closed] { closed = true; });
    if (data[0] & 1)
        pipe.send(Fuzz::openingHandshake());
    pipe.send(QByteArrayView(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)));
    pipe.endInput();
    QElapsedTimer timer;
    timer.start();
    while (pipe.pump() && !closed)
        Fuzz::check(!timer.hasExpired(5000), "the connection did not end after the input");
    delete ws;
    return 0;
}
