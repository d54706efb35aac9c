#include "ServerFixture.h"

#include "support/EventLoop.h"

#include <QProcess>
#include <csignal>

namespace {

// The real program: first start creates the CA and certificate, the client trusts that CA, and
// SIGTERM ends it cleanly.
TEST(Serve, RunsAndStopsOnSignal)
{
    QTemporaryDir dir;
    QProcess server;
    server.setProgram(SARVO_SERVER_BIN);
    server.setArguments({"serve", "--data", dir.filePath("data"), "--listen", "127.0.0.1:0", "--dev", "--hash-iterations", "1000"});
    server.start();
    ASSERT_TRUE(server.waitForStarted());
    QByteArray log;
    QString port;
    ASSERT_TRUE(spinUntil([&] {
        log += server.readAllStandardError();
        const QRegularExpressionMatch m = QRegularExpression("event=listening .*port=(\\d+)").match(QString::fromUtf8(log));
        port = m.captured(1);
        return !port.isEmpty() || server.state() == QProcess::NotRunning;
    }, 20000)) << log.toStdString();
    ASSERT_FALSE(port.isEmpty()) << log.toStdString();
    EXPECT_TRUE(QFile::exists(dir.filePath("data/tls/ca.pem")));

    ASSERT_TRUE(ServiceConfig::current().setServer("https://localhost:" + port));
    ASSERT_TRUE(ServiceConfig::current().addTrustedCa(dir.filePath("data/tls/ca.pem")));
    const auto sent = await(ChatApi::sendEmailCode("someone@example.org", "register"));
    EXPECT_FALSE(sent.error) << (sent.error ? sent.error->message().toStdString() : "");

    ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
    ASSERT_TRUE(server.waitForFinished(10000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    log += server.readAllStandardError();
    EXPECT_TRUE(log.contains("event=stopping"));
    EXPECT_TRUE(log.contains("event=request method=POST path=/bridge/auth/email/send status=200"));
    // The code is in the outbox and nowhere in the log.
    QFile outbox(dir.filePath("data/outbox.txt"));
    ASSERT_TRUE(outbox.open(QIODevice::ReadOnly));
    const QByteArray code = outbox.readAll().trimmed().split('\t').last();
    EXPECT_EQ(code.size(), 6);
    EXPECT_FALSE(QRegularExpression("(?<![0-9])" + code + "(?![0-9])").match(QString::fromUtf8(log)).hasMatch());
}

} // namespace
