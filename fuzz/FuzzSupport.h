#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Shared by the fuzz targets: the application object, quiet logs, and input as Qt bytes.
namespace Fuzz {

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// One application for the whole run; the service and the SDK log through Qt, which only slows
// the fuzzer down.
inline QCoreApplication &app()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = [] {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtFatalMsg) {
                std::fprintf(stderr, "%s\n", qPrintable(text));
                std::abort();
            }
        });
        return new QCoreApplication(argc, argv);
    }();
    return *instance;
}

// A scratch directory in memory where there is one: stores sync to disk after every write,
// which would leave the fuzzer waiting for the disk.
inline QString scratchTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return base + QStringLiteral("/sarvo-fuzz-XXXXXX");
}

// Runs the event loop until `done` holds; a stuck input is a finding, so it aborts after a while.
template <typename Done>
void spinUntil(Done done, int limitMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.hasExpired(limitMs)) {
            std::fprintf(stderr, "input did not finish within %d ms\n", limitMs);
            std::abort();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// A failed expectation about parsed input: crash so that libFuzzer keeps the input.
inline void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

} // namespace Fuzz
