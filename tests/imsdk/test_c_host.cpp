#include "server/ServerFixture.h"
#include "support/EventLoop.h"

#include <QProcess>

#include <memory>

namespace {

// libimsdk.so in a host without Qt: two processes of a plain C program, one per user, sign in
// through the C functions alone and pass one text from Alice to Bob.
class CHost : public ServerTest {
protected:
    struct Run {
        QProcess process;
        QByteArray out, err;
        // Collects output until `done` holds or the process has ended.
        void collectUntil(const std::function<bool()> &done, int timeoutMs = 30000)
        {
            const auto collect = [&] {
                out += process.readAllStandardOutput();
                err += process.readAllStandardError();
            };
            spinUntil([&] {
                collect();
                return done() || process.state() == QProcess::NotRunning;
            }, timeoutMs);
            collect();
        }
        bool finished()
        {
            collectUntil([] { return false; });
            return process.state() == QProcess::NotRunning;
        }
        // The JSON after `prefix` on the first output line that starts with it.
        QJsonObject line(const QByteArray &prefix) const
        {
            for (const QByteArray &l : out.split('\n'))
                if (l.startsWith(prefix + ' '))
                    return QJsonDocument::fromJson(l.mid(prefix.size() + 1)).object();
            return {};
        }
        std::string log() const { return ("stdout:\n" + out + "stderr:\n" + err).toStdString(); }
    };

    std::unique_ptr<Run> start(const ChatApi::LoginResult &user, const QStringList &mode)
    {
        const QJsonObject config{{"platformID", 4},
                                 {"apiAddr", ServiceConfig::current().imApiBase()},
                                 {"wsAddr", ServiceConfig::current().gatewayUrl()},
                                 {"dataDir", dir.filePath("c-host-" + user.userID)},
                                 {"logLevel", 4},
                                 {"logFilePath", dir.filePath("c-host-" + user.userID + "/log")}};
        auto run = std::make_unique<Run>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SARVO_CA", Tls::ensureDevCertificates(dir.filePath("tls")).caCert);
        run->process.setProcessEnvironment(env);
        const QString configJSON = QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
        run->process.start(IMSDK_C_HOST_PATH, QStringList{IMSDK_PATH, configJSON, user.userID, user.imToken} + mode);
        return run;
    }
};

TEST_F(CHost, TwoPlainCProcessesExchangeATextThroughTheCFunctions)
{
    const auto alice = registerUser("alice@example.org", "Alice");
    const auto bob = registerUser("bob@example.org", "Bob");
    const QString text = "hello from a host without Qt";

    // Bob's process signs in and waits; it signs out and closes the library before it ends.
    const auto receiver = start(bob, {"receive", text});
    receiver->collectUntil([&] { return receiver->out.contains("ready\n"); });
    ASSERT_TRUE(receiver->out.contains("ready\n")) << receiver->log();

    // Alice's process sends and returns still signed in: the SDK goes down at exit.
    const auto sender = start(alice, {"send", text, bob.userID});
    ASSERT_TRUE(sender->finished()) << sender->log();
    EXPECT_EQ(sender->process.exitStatus(), QProcess::NormalExit) << sender->log();
    EXPECT_EQ(sender->process.exitCode(), 0) << sender->log();
    const QJsonObject sent = sender->line("sent");
    EXPECT_EQ(sent["sendID"].toString(), alice.userID) << sender->log();

    ASSERT_TRUE(receiver->finished()) << receiver->log();
    EXPECT_EQ(receiver->process.exitStatus(), QProcess::NormalExit) << receiver->log();
    EXPECT_EQ(receiver->process.exitCode(), 0) << receiver->log();
    const QJsonObject received = receiver->line("received");
    EXPECT_EQ(received["sendID"].toString(), alice.userID) << receiver->log();
    EXPECT_EQ(received["recvID"].toString(), bob.userID);
    EXPECT_EQ(received["textElem"]["content"].toString(), text);
    EXPECT_EQ(received["clientMsgID"].toString(), sent["clientMsgID"].toString());
    // Neither process needed a Qt application of its own making.
    for (const Run *run : {receiver.get(), sender.get()})
        EXPECT_FALSE(run->err.contains("QApplication")) << run->log();
}

} // namespace
