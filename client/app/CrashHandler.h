#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <qcoro/qcorotask.h>
#include <utility>

// Crash reports. An uncaught C++ exception posts its report to the bridge at once and waits at
// most three seconds before the process ends. A fatal signal cannot run network code safely:
// its handler writes the report to a file with async-signal-safe calls only, and the next start
// posts that file and deletes it.
namespace CrashHandler {

inline constexpr std::chrono::milliseconds kPostWait{3000};

// The pending-report file of the current profile.
QString defaultReportPath();

// Installs the terminate handler and the handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT; a fatal signal writes its report to `reportPath`. Main thread, once.
void install(const QString &reportPath);
// The signed-in user named by a signal's report; updated on every sign-in and sign-out.
void setUserID(const QString &userID);

// The report body a signal's file describes; none when the contents are not such a report.
std::optional<QJsonObject> parseReportFile(const QByteArray &contents);
// Posts the report a fatal signal left at `path`, then deletes the file; failures are dropped.
QCoro::Task<void> postPending(QString path);

// Posts `body` to `url` from a helper thread and waits for it at most `timeout`. True when the
// post finished (whatever the answer) within that time.
bool postAndWait(const QJsonObject &body, const QString &url, std::chrono::milliseconds timeout);

// The exception being handled (call inside a catch block or the terminate handler): its
// demangled type name and what() ("" when it has none). ("std::terminate", "") without one.
std::pair<QString, QString> describeCurrentException();
// The calling thread's stack, one symbol line per frame.
QStringList currentStack();

} // namespace CrashHandler
