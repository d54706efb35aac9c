#include "app/CrashHandler.h"

#include "app/CrashReport.h"
#include "app/SessionStore.h"
#include "base/Error.h"
#include "base/Json.h"
#include "base/Profile.h"
#include "base/ServiceConfig.h"
#include "net/Net.h"

#include <QDir>
#include <QFileInfo>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <memory>
#include <typeinfo>
#include <unistd.h>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr const char *kFileMagic = "sarvo-crash 1";

// Everything the signal handler touches is prepared beforehand in static storage.
char g_reportPath[4096];
char g_users[2][256];
std::atomic<int> g_user{0};
std::atomic<bool> g_exceptionReported{false};
volatile sig_atomic_t g_inSignal = 0;
alignas(16) char g_altStack[64 * 1024];

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= size_t(written);
    }
}

void writeText(int fd, const char *text)
{
    size_t size = 0;
    while (text[size])
        ++size;
    writeAll(fd, text, size);
}

void writeNumber(int fd, int value)
{
    char digits[16];
    int n = 0;
    unsigned v = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v && n < 15);
    if (value < 0)
        writeText(fd, "-");
    while (n > 0)
        writeAll(fd, &digits[--n], 1);
}

void onFatalSignal(int sig, siginfo_t *, void *)
{
    // Only async-signal-safe calls from here on.
    if (!g_inSignal && !g_exceptionReported.load()) {
        g_inSignal = 1;
        const int fd = ::open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            writeText(fd, kFileMagic);
            writeText(fd, "\nsignal ");
            writeNumber(fd, sig);
            writeText(fd, "\nuser ");
            writeText(fd, g_users[g_user.load() & 1]);
            writeText(fd, "\nstack\n");
            void *frames[64];
            const int count = ::backtrace(frames, 64);
            ::backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    // End the way the signal would have ended the process (core dump included).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::raise(sig);
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return nullptr;
    }
}

const char *signalReason(int sig)
{
    switch (sig) {
    case SIGSEGV: return "Segmentation fault";
    case SIGBUS: return "Bus error";
    case SIGILL: return "Illegal instruction";
    case SIGFPE: return "Floating-point exception";
    case SIGABRT: return "Aborted";
    default: return "";
    }
}

QString demangle(const char *name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> readable(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return QString::fromUtf8(status == 0 && readable ? readable.get() : name);
}

[[noreturn]] void onTerminate()
{
    static std::atomic_flag entered = ATOMIC_FLAG_INIT;
    if (entered.test_and_set())
        std::abort();
    // The abort below must not leave a second report through the signal handler.
    g_exceptionReported = true;
    const auto [name, reason] = CrashHandler::describeCurrentException();
    const QStringList stack = CrashHandler::currentStack();
    const auto credentials = SessionStore::load();
    const QJsonObject body = CrashReport::body(credentials ? credentials->userID : QString(), name, reason, stack);
    CrashHandler::postAndWait(body, ServiceConfig::current().bridgeBase() + QStringLiteral("/crash/report"),
                              CrashHandler::kPostWait);
    std::abort();
}

} // namespace

namespace CrashHandler {

QString defaultReportPath()
{
    return QDir(Profile::appDataDir()).filePath(QStringLiteral("crash-report.txt"));
}

void install(const QString &reportPath)
{
    QDir().mkpath(QFileInfo(reportPath).absolutePath());
    const QByteArray path = QFile::encodeName(reportPath);
    const size_t size = std::min(path.size(), qsizetype(sizeof(g_reportPath) - 1));
    std::memcpy(g_reportPath, path.constData(), size);
    g_reportPath[size] = '\0';

    // backtrace() loads its unwinder on first use, which is not safe inside a handler.
    void *warmUp[2];
    ::backtrace(warmUp, 2);

    stack_t alt{};
    alt.ss_sp = g_altStack;
    alt.ss_size = sizeof(g_altStack);
    ::sigaltstack(&alt, nullptr);

    struct sigaction action {};
    action.sa_sigaction = &onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals)
        ::sigaction(sig, &action, nullptr);

    std::set_terminate(&onTerminate);
}

void setUserID(const QString &userID)
{
    QByteArray bytes = userID.toUtf8();
    bytes.replace('\n', ' ').replace('\r', ' ');
    bytes.truncate(sizeof(g_users[0]) - 1);
    // Fill the buffer the handler is not reading, then switch it over.
    const int next = (g_user.load() + 1) & 1;
    std::memcpy(g_users[next], bytes.constData(), size_t(bytes.size()));
    g_users[next][bytes.size()] = '\0';
    g_user.store(next);
}

std::optional<QJsonObject> parseReportFile(const QByteArray &contents)
{
    const QList<QByteArray> lines = contents.split('\n');
    if (lines.size() < 4 || lines[0] != kFileMagic || !lines[1].startsWith("signal ") || !lines[2].startsWith("user ")
        || lines[3] != "stack")
        return std::nullopt;
    bool ok = false;
    const int sig = lines[1].mid(7).toInt(&ok);
    if (!ok)
        return std::nullopt;
    const char *name = signalName(sig);
    const QString error = name ? QString::fromLatin1(name) : QStringLiteral("signal %1").arg(sig);
    QStringList stack;
    for (qsizetype i = 4; i < lines.size(); ++i)
        if (!lines[i].isEmpty())
            stack << QString::fromUtf8(lines[i]);
    return CrashReport::body(QString::fromUtf8(lines[2].mid(5)), error, QString::fromLatin1(signalReason(sig)), stack);
}

QCoro::Task<void> postPending(QString path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        co_return;
    const QByteArray contents = file.readAll();
    file.close();
    if (const std::optional<QJsonObject> body = parseReportFile(contents)) {
        const QString url = ServiceConfig::current().bridgeBase() + QStringLiteral("/crash/report");
        const QJsonObject report = *body;
        try {
            co_await Net::postJSON(url, report);
        } catch (const Error &) {
            // A failing crash report is dropped.
        }
    }
    QFile::remove(path);
}

bool postAndWait(const QJsonObject &body, const QString &url, std::chrono::milliseconds timeout)
{
    // The raising thread may be the main thread, whose network manager and event loop cannot
    // run now: the post gets a thread and a network manager of its own.
    auto done = std::make_shared<QSemaphore>();
    const QByteArray payload = Json::compact(body);
    QThread *thread = QThread::create([done, payload, url, timeout] {
        QNetworkAccessManager network;
        QNetworkRequest request{QUrl(url)};
        // Outlives the caller's wait, which alone decides; the thread still ends by itself.
        request.setTransferTimeout(int(timeout.count()) + 1000);
        request.setRawHeader("Content-Type", "application/json; charset=utf-8");
        QNetworkReply *reply = network.post(request, payload);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        delete reply;
        done->release();
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return done->tryAcquire(1, int(timeout.count()));
}

std::pair<QString, QString> describeCurrentException()
{
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return {QStringLiteral("std::terminate"), QString()};
    const std::type_info *type = abi::__cxa_current_exception_type();
    const QString name = type ? demangle(type->name()) : QStringLiteral("unknown");
    try {
        std::rethrow_exception(current);
    } catch (const std::exception &e) {
        return {name, QString::fromUtf8(e.what())};
    } catch (...) {
    }
    return {name, QString()};
}

QStringList currentStack()
{
    void *frames[128];
    const int count = ::backtrace(frames, 128);
    QStringList lines;
    std::unique_ptr<char *, void (*)(void *)> symbols(::backtrace_symbols(frames, count), std::free);
    if (!symbols)
        return lines;
    for (int i = 0; i < count; ++i)
        lines << QString::fromUtf8(symbols.get()[i]);
    return lines;
}

} // namespace CrashHandler
