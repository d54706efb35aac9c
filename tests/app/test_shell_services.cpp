#include "app/CrashHandler.h"
#include "app/MacNotify.h"
#include "app/SingleInstance.h"
#include "base/Preferences.h"
#include "base/Profile.h"
#include "base/ServiceConfig.h"
#include "support/Await.h"
#include "support/EventLoop.h"
#include "support/TestHttpServer.h"

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <csignal>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

// ---- notifications ----

class FakeBus : public DesktopBus {
public:
    struct Banner {
        QString title, body;
        QVariantMap hints;
    };
    void notify(const QString &title, const QString &body, const QVariantMap &hints) override
    {
        banners.append({title, body, hints});
    }
    void updateLauncher(const QVariantMap &properties) override { launcher.append(properties); }

    QList<Banner> banners;
    QList<QVariantMap> launcher;
};

void clearNotificationPreference()
{
    auto settings = Preferences::open();
    settings->remove(MacNotify::kPreferenceKey);
    Preferences::commit(*settings);
}

TEST(MacNotify, SilentWhileActiveOrSwitchedOff)
{
    clearNotificationPreference();
    FakeBus bus;
    bool active = false;
    MacNotify notify(bus, [&] { return active; });
    EXPECT_TRUE(notify.enabled()) << "on when nothing is stored";

    notify.postIfNeeded("Bob", "hi");
    active = true;
    notify.postIfNeeded("Bob", "while in front");
    active = false;
    notify.setEnabled(false);
    notify.postIfNeeded("Bob", "switched off");

    ASSERT_EQ(bus.banners.size(), 1);
    EXPECT_EQ(bus.banners[0].title, "Bob");
    EXPECT_EQ(bus.banners[0].body, "hi");
    EXPECT_EQ(bus.banners[0].hints.value("sound-name"), "message-new-instant");

    MacNotify again(bus, [] { return false; });
    EXPECT_FALSE(again.enabled()) << "the switch survives a restart";
    again.setEnabled(true);
    MacNotify third(bus, [] { return false; });
    EXPECT_TRUE(third.enabled());
}

TEST(MacNotify, LauncherCount)
{
    FakeBus bus;
    MacNotify notify(bus, {});
    notify.setLauncherCount(0);
    notify.setLauncherCount(150);
    notify.setLauncherCount(150);
    notify.setLauncherCount(-2);
    ASSERT_EQ(bus.launcher.size(), 3) << "only changes are sent";
    EXPECT_EQ(bus.launcher[0].value("count-visible"), false);
    EXPECT_EQ(bus.launcher[1].value("count").toLongLong(), 150);
    EXPECT_EQ(bus.launcher[1].value("count-visible"), true);
    EXPECT_EQ(bus.launcher[2].value("count-visible"), false);
}

// ---- profiles and single instance ----

TEST(Profile, Arguments)
{
    QString error;
    EXPECT_FALSE(Profile::fromArguments({"sarvo", "--server", "x"}, &error));
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(Profile::fromArguments({"sarvo", "--profile", "alice"}, &error), "alice");
    EXPECT_EQ(Profile::fromArguments({"sarvo", "--profile=bob_2"}, &error), "bob_2");
    for (const QStringList &bad : {QStringList{"sarvo", "--profile"}, QStringList{"sarvo", "--profile", "../x"},
                                   QStringList{"sarvo", "--profile="}}) {
        error.clear();
        EXPECT_FALSE(Profile::fromArguments(bad, &error)) << bad.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(Profile, SeparatesSettingsAndSdkData)
{
    Profile::setCurrent({});
    const QString defaultFile = Preferences::open()->fileName();
    EXPECT_EQ(Profile::imDataSubdir(), "Mirelo/openim");
    Profile::setCurrent("alice");
    const QString aliceFile = Preferences::open()->fileName();
    const QString aliceData = Profile::imDataSubdir();
    const QString aliceKey = Profile::instanceKey();
    Profile::setCurrent("bob");
    EXPECT_NE(Preferences::open()->fileName(), aliceFile);
    EXPECT_NE(aliceFile, defaultFile);
    EXPECT_NE(Profile::imDataSubdir(), aliceData);
    EXPECT_NE(Profile::instanceKey(), aliceKey);
    Profile::setCurrent({});
    EXPECT_EQ(Preferences::open()->fileName(), defaultFile);
}

TEST(SingleInstance, SecondStartActivatesTheFirst)
{
    const QString key = QStringLiteral("sarvo-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance first(key);
    ASSERT_TRUE(first.claim());
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++activations; });

    SingleInstance second(key);
    EXPECT_FALSE(second.claim());
    ASSERT_TRUE(spinUntil([&] { return activations == 1; }));

    const QString other = key + QStringLiteral("-other");
    SingleInstance otherProfile(other);
    EXPECT_TRUE(otherProfile.claim()) << "another profile runs side by side";
}

// ---- crash reports ----

TEST(CrashReports, DescribeTheCurrentException)
{
    try {
        throw std::runtime_error("disk on fire");
    } catch (...) {
        const auto [name, reason] = CrashHandler::describeCurrentException();
        EXPECT_EQ(name, "std::runtime_error");
        EXPECT_EQ(reason, "disk on fire");
    }
    try {
        throw 7;
    } catch (...) {
        EXPECT_EQ(CrashHandler::describeCurrentException(), (std::pair<QString, QString>{"int", ""}));
    }
    EXPECT_EQ(CrashHandler::describeCurrentException().first, "std::terminate");
    EXPECT_FALSE(CrashHandler::currentStack().isEmpty());
}

// A server on a thread of its own, so a caller that blocks its own thread still gets answers.
class ThreadedServer {
public:
    ThreadedServer()
    {
        thread.start();
        server.moveToThread(&thread);
        QMetaObject::invokeMethod(&server, [this] { url = server.start(); }, Qt::BlockingQueuedConnection);
    }
    ~ThreadedServer()
    {
        QMetaObject::invokeMethod(&server, [this] { server.moveToThread(QCoreApplication::instance()->thread()); },
                                  Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    QList<TestHttpServer::Request> requests()
    {
        QList<TestHttpServer::Request> out;
        QMetaObject::invokeMethod(&server, [&] { out = server.requests; }, Qt::BlockingQueuedConnection);
        return out;
    }

    QThread thread;
    TestHttpServer server;
    QString url;
};

TEST(CrashReports, PostAndWaitWhileTheCallerBlocks)
{
    ThreadedServer answering;
    const QJsonObject body{{"platform", "linux"}, {"error", "E: r"}};
    EXPECT_TRUE(CrashHandler::postAndWait(body, answering.url + "/bridge/crash/report", CrashHandler::kPostWait));
    const auto requests = answering.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].path, "/bridge/crash/report");
    EXPECT_EQ(requests[0].json(), body);

    // A service that accepts but never answers: the wait gives up.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("http://127.0.0.1:%1/bridge/crash/report").arg(silent.serverPort());
    EXPECT_FALSE(CrashHandler::postAndWait(body, url, std::chrono::milliseconds(100)));
}

TEST(CrashReports, ReportFileFormat)
{
    EXPECT_FALSE(CrashHandler::parseReportFile(""));
    EXPECT_FALSE(CrashHandler::parseReportFile("hello\nworld\n"));
    const auto body = CrashHandler::parseReportFile("sarvo-crash 1\nsignal 11\nuser u7\nstack\n./sarvo(+0x1)[0x2]\nlibc.so.6(+0x3)[0x4]\n");
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, (QJsonObject{{"platform", "linux"},
                                  {"version", "1.0.0"},
                                  {"userID", "u7"},
                                  {"error", "SIGSEGV: Segmentation fault"},
                                  {"stack", "./sarvo(+0x1)[0x2]\nlibc.so.6(+0x3)[0x4]"},
                                  {"extra", ""}}));
}

TEST(CrashReportsDeathTest, SignalWritesAFileThatTheNextStartPosts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir dir;
    // The child is this binary started again and runs this test up to the statement: it takes
    // the parent's path from the environment it inherits.
    if (!qEnvironmentVariableIsSet("SARVO_TEST_CRASH_FILE"))
        qputenv("SARVO_TEST_CRASH_FILE", dir.filePath("crash/report.txt").toUtf8());
    const QString path = qEnvironmentVariable("SARVO_TEST_CRASH_FILE");
    EXPECT_EXIT(
        {
            CrashHandler::install(path);
            CrashHandler::setUserID("first");
            CrashHandler::setUserID("u-7");
            std::raise(SIGABRT);
        },
        ::testing::KilledBySignal(SIGABRT), "");
    qunsetenv("SARVO_TEST_CRASH_FILE");
    ASSERT_TRUE(QFile::exists(path));

    TestHttpServer server;
    ASSERT_TRUE(ServiceConfig::current().setServer(server.start()));
    await(CrashHandler::postPending(path));
    ASSERT_EQ(server.requests.size(), 1);
    const QJsonObject report = server.requests[0].json();
    EXPECT_EQ(server.requests[0].path, "/bridge/crash/report");
    EXPECT_EQ(report.value("userID"), "u-7");
    EXPECT_EQ(report.value("error"), "SIGABRT: Aborted");
    EXPECT_FALSE(report.value("stack").toString().isEmpty());
    EXPECT_FALSE(QFile::exists(path)) << "deleted after posting";

    await(CrashHandler::postPending(path));
    EXPECT_EQ(server.requests.size(), 1) << "nothing pending, nothing posted";
}

} // namespace
