#include "capi/ApplicationThread.h"

#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>

#include <dlfcn.h>

#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace ImSdk::ApplicationThread {

namespace {

struct State {
    std::mutex mutex;
    void (*teardown)() = nullptr;
    std::condition_variable up;
    QCoreApplication *app = nullptr;
    std::thread *thread = nullptr;
    bool stopped = false;
};

// Built when the library loads, so it is destroyed after the exit handler that ensure() registers.
State g_state;

// Without a Qt host nobody else sets the trusted CAs; SARVO_CA adds one as it does for the client.
void trustCaFromEnvironment()
{
    const QString path = qEnvironmentVariable("SARVO_CA");
    if (path.isEmpty())
        return;
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(path, QSsl::Pem);
    if (certs.isEmpty()) {
        qWarning("SARVO_CA ignored: no PEM certificate in %s", qPrintable(path));
        return;
    }
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.addCaCertificates(certs);
    QSslConfiguration::setDefaultConfiguration(conf);
}

QCoreApplication *createApplication()
{
    // Qt keeps argc and argv for the application's lifetime.
    static int argc = 1;
    static char name[] = "imsdk";
    static char *argv[] = {name, nullptr};
    // A GLib host's main loop owns the default main context; ours must not compete for it.
    const bool noGlib = qEnvironmentVariableIsEmpty("QT_NO_GLIB");
    if (noGlib)
        qputenv("QT_NO_GLIB", "1");
    // Qt sets the process locale from the environment; the host's choice stays.
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    auto *app = new QCoreApplication(argc, argv);
    std::setlocale(LC_ALL, locale.c_str());
    if (noGlib)
        qunsetenv("QT_NO_GLIB");
    // Loads the TLS backend and initialises OpenSSL now, so that their exit handlers come before
    // ours: ours, registered later, runs first and ends the SDK's connections while they work.
    QSslSocket::supportsSsl();
    trustCaFromEnvironment();
    return app;
}

// The application's thread: the first to use Qt in such a host, so Qt takes it as its main thread.
void run()
{
    State &s = g_state;
    QCoreApplication *app = createApplication();
    {
        std::lock_guard lock(s.mutex);
        s.app = app;
    }
    s.up.notify_all();
    app->exec();
    {
        std::lock_guard lock(s.mutex);
        s.app = nullptr;
    }
    // Called here rather than as a post routine: Qt's list of those is a global that exit may
    // already have destroyed.
    s.teardown();
    delete app;
}

} // namespace

bool ensure(void (*teardown)())
{
    State &s = g_state;
    std::unique_lock lock(s.mutex);
    if (s.thread || s.stopped || QCoreApplication::instance())
        return false;
    s.teardown = teardown;
    s.thread = new std::thread(run);
    s.up.wait(lock, [&] { return s.app != nullptr; });
    // Qt, its plugins and OpenSSL are not made to be unloaded (their global state is lost with
    // them) nor loaded again in one process: once our application runs, the library stays
    // loaded, whatever dlclose the host calls, and the teardown waits for exit.
    Dl_info self;
    if (dladdr(reinterpret_cast<void *>(&ensure), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    // Exit handlers run in reverse order: registered after Qt and OpenSSL came up, this one
    // runs while they still work.
    std::atexit(stop);
    return true;
}

void stop()
{
    State &s = g_state;
    std::thread *thread = nullptr;
    {
        std::lock_guard lock(s.mutex);
        if (!s.thread || s.stopped || QThread::currentThread()->loopLevel() > 0)
            return;
        s.stopped = true;
        thread = s.thread;
        // Posted, not called: exit() before exec() has started would be lost.
        QMetaObject::invokeMethod(s.app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
    thread->join();
    std::lock_guard lock(s.mutex);
    delete s.thread;
    s.thread = nullptr;
}

} // namespace ImSdk::ApplicationThread
