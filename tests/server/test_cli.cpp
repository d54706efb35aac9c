#include "ServerFixture.h"

#include "cli/Commands.h"

namespace {

struct CliRun {
    int status;
    QString out;
    QString err;
};

CliRun runCli(const QStringList &args)
{
    CliRun r{0, {}, {}};
    QTextStream out(&r.out), err(&r.err);
    r.status = Cli::run(args, out, err);
    out.flush();
    err.flush();
    return r;
}

using Admin = ServerTest;

TEST_F(Admin, AdministrationCommands)
{
    const QString data = dir.filePath("data");
    const CliRun ann = runCli({"add-user", "--data", data, "--email", "Ann@Example.org", "--password", "pa ss", "--nickname", "Ann",
                            "--hash-iterations", "1000"});
    ASSERT_EQ(ann.status, 0) << ann.err.toStdString();
    const QString annID = ann.out.trimmed().split('\n').last();
    const CliRun bob = runCli({"add-user", "--data", data, "--email", "bob@example.org", "--password", "x", "--nickname", "Bob", "--hash-iterations", "1000"});
    ASSERT_EQ(bob.status, 0);
    const QString bobID = bob.out.trimmed().split('\n').last();

    EXPECT_EQ(runCli({"add-user", "--data", data, "--email", "ann@example.org", "--password", "x", "--nickname", "A"}).status, 1);
    EXPECT_EQ(runCli({"add-friend", "--data", data, annID, bobID}).status, 0);
    EXPECT_TRUE(store().areFriends(annID, bobID));
    EXPECT_TRUE(store().areFriends(bobID, annID));
    EXPECT_EQ(runCli({"add-friend", "--data", data, annID, "0000000000"}).status, 1);

    const CliRun group = runCli({"add-group", "--data", data, "--name", "Team", "--owner", annID, "--members", bobID});
    ASSERT_EQ(group.status, 0) << group.err.toStdString();
    const QString groupID = group.out.trimmed().split('\n').last();
    EXPECT_TRUE(store().isGroupMember(groupID, annID));
    EXPECT_TRUE(store().isGroupMember(groupID, bobID));
    EXPECT_EQ(runCli({"add-group", "--data", data, "--name", "Bad", "--owner", annID, "--members", "0000000000"}).status, 1);
    EXPECT_EQ(runCli({"frobnicate", "--data", data}).status, 2);
    EXPECT_EQ(runCli({"add-user", "--email", "x@y.z"}).status, 2);

    // The user added on the command line signs in with the plain password given there.
    const auto login = await(ChatApi::loginAccount("ann@example.org", "pa ss"));
    ASSERT_FALSE(login.error) << login.error->message().toStdString();
    EXPECT_EQ(login.value->userID, annID);
}

TEST(ServeOptions, MailSettingsAreCheckedBeforeServing)
{
    QTemporaryDir dir;
    const QString data = dir.filePath("data");
    struct Case {
        QStringList args;
        QString error;
    };
    const Case cases[] = {
        {{"--smtp-port", "25"}, "--smtp-port needs --smtp-host"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "nobody"}, "--smtp-from: expected an e-mail address"},
        {{"--smtp-host", "mail.example.org"}, "--smtp-from: expected an e-mail address"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "a@example.org", "--smtp-port", "70000"}, "--smtp-port: expected a port number"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "a@example.org", "--smtp-security", "ssl"}, "--smtp-security: expected"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "a@example.org", "--smtp-security", "none", "--smtp-user", "u"},
         "--smtp-user needs --smtp-security starttls or tls"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "a@example.org", "--smtp-user", "u", "--smtp-password-file", dir.filePath("none")},
         "--smtp-password-file: cannot read"},
        {{"--smtp-host", "mail.example.org", "--smtp-from", "a@example.org", "--smtp-ca", dir.filePath("none")}, "--smtp-ca: no PEM certificate"},
    };
    for (const Case &c : cases) {
        const CliRun r = runCli(QStringList{"serve", "--data", data, "--listen", "127.0.0.1:0"} + c.args);
        EXPECT_EQ(r.status, 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith(c.error)) << r.err.toStdString();
    }
}

} // namespace
