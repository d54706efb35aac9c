#include "ServerFixture.h"

#include "mail/Smtp.h"
#include "support/EventLoop.h"

#include <QSslSocket>
#include <QTcpServer>

namespace {

// A mail server for one test on 127.0.0.1: speaks enough SMTP to take messages, checks the
// credentials, and records every command and every DATA section as it arrived.
class SmtpSink : public QTcpServer {
public:
    struct Mail {
        QList<QByteArray> commands; // everything but the message itself
        QByteArray data;            // as sent, dot-stuffed, up to the final "." line
        bool encryptedAtMailFrom = false;
    };

    SmtpSink(QSslConfiguration tls) : m_tls(std::move(tls)) { listen(QHostAddress::LocalHost, 0); }
    void setTls(QSslConfiguration tls) { m_tls = std::move(tls); }

    bool implicitTls = false;
    bool offerStartTls = true;
    QByteArray mechanisms = "LOGIN PLAIN";
    QByteArray user = "mailer", password = "s3cret";
    int rcptReply = 250;
    QList<Mail> mails;
    int finished = 0; // connections that ended

protected:
    void incomingConnection(qintptr fd) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(fd);
        socket->setSslConfiguration(m_tls);
        auto state = std::make_shared<Conn>();
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket, state] { onRead(socket, *state); });
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, socket] {
            ++finished;
            socket->deleteLater();
        });
        if (implicitTls) {
            QObject::connect(socket, &QSslSocket::encrypted, socket, [socket] { socket->write("220 sink ready\r\n"); });
            socket->startServerEncryption();
        } else {
            socket->write("220 sink ready\r\n");
        }
    }

private:
    struct Conn {
        QByteArray in;
        bool inData = false;
        int loginStep = 0; // AUTH LOGIN: 1 waiting for the user, 2 for the password
        QByteArray loginUser;
        Mail mail;
        qsizetype index = -1; // in `mails`, once the message arrived
    };

    void onRead(QSslSocket *socket, Conn &c)
    {
        c.in += socket->readAll();
        qsizetype end;
        while ((end = c.in.indexOf("\r\n")) >= 0) {
            const QByteArray line = c.in.left(end);
            c.in.remove(0, end + 2);
            if (c.inData) {
                c.mail.data += line + "\r\n";
                if (line == ".") {
                    c.inData = false;
                    mails.append(c.mail);
                    c.index = mails.size() - 1;
                    socket->write("250 queued\r\n");
                }
                continue;
            }
            c.mail.commands.append(line);
            const QByteArray verb = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ')).toUpper();
            if (c.loginStep == 1) {
                c.loginUser = QByteArray::fromBase64(line);
                c.loginStep = 2;
                socket->write("334 UGFzc3dvcmQ6\r\n");
            } else if (c.loginStep == 2) {
                c.loginStep = 0;
                socket->write(c.loginUser == user && QByteArray::fromBase64(line) == password ? "235 ok\r\n" : "535 no\r\n");
            } else if (verb == "EHLO") {
                socket->write("250-sink\r\n250-8BITMIME\r\n");
                if (offerStartTls && !socket->isEncrypted())
                    socket->write("250-STARTTLS\r\n");
                socket->write("250 AUTH " + mechanisms + "\r\n");
            } else if (verb == "STARTTLS") {
                socket->write("220 go ahead\r\n");
                socket->startServerEncryption();
            } else if (line.startsWith("AUTH PLAIN ")) {
                socket->write(QByteArray::fromBase64(line.mid(11)) == '\0' + user + '\0' + password ? "235 ok\r\n" : "535 no\r\n");
            } else if (line == "AUTH LOGIN") {
                c.loginStep = 1;
                socket->write("334 VXNlcm5hbWU6\r\n");
            } else if (verb == "MAIL") {
                c.mail.encryptedAtMailFrom = socket->isEncrypted();
                socket->write("250 ok\r\n");
            } else if (verb == "RCPT") {
                socket->write(QByteArray::number(rcptReply) + (rcptReply == 250 ? " ok\r\n" : " no such user\r\n"));
            } else if (verb == "DATA") {
                c.inData = true;
                socket->write("354 go on\r\n");
            } else if (verb == "QUIT") {
                if (c.index >= 0)
                    mails[c.index].commands.append(line);
                socket->write("221 bye\r\n");
                socket->disconnectFromHost();
            } else {
                socket->write("502 unknown\r\n");
            }
        }
    }

    QSslConfiguration m_tls;
};

// The message inside a DATA section: stuffing undone, without the final "." line.
QByteArray unstuffed(const QByteArray &data)
{
    QList<QByteArray> lines = data.split('\n');
    QByteArray out;
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line == ".")
            break;
        if (line.startsWith('.'))
            line.remove(0, 1);
        out += line + "\r\n";
    }
    return out;
}

QByteArray header(const QByteArray &message, const QByteArray &name)
{
    for (const QByteArray &line : message.left(message.indexOf("\r\n\r\n")).split('\n'))
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed();
    return {};
}

TEST(MailFormat, DataSectionIsDotStuffedWithCrLf)
{
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"", ".\r\n"},
        {"one line", "one line\r\n.\r\n"},
        {"a\n.b\n..c\r\nd", "a\r\n..b\r\n...c\r\nd\r\n.\r\n"},
        {".", "..\r\n.\r\n"},
        {"bare\rcr\r\n\r\nend\n", "bare\r\ncr\r\n\r\nend\r\n.\r\n"},
        {"not.at.start\n x.", "not.at.start\r\n x.\r\n.\r\n"},
    };
    for (const auto &[message, wire] : cases)
        EXPECT_EQ(Mail::dataSection(message), wire) << message.toStdString();
}

class MailDelivery : public ServerTest {
protected:
    void configure(Options &options, const Tls::Paths &paths, const QSslConfiguration &tls) override
    {
        options.dev = false; // codes must really be mailed
        sink = std::make_unique<SmtpSink>(tls);
        trustedTls = tls;
        ca = QSslCertificate::fromPath(paths.caCert);
        // A second CA that nobody trusts.
        const Tls::Paths other = Tls::ensureDevCertificates(dir.filePath("other-tls"));
        QString error;
        untrustedTls = *Tls::serverConfiguration(other.serverCert, other.serverKey, &error);
    }

    Mail::Settings settings(Mail::Settings::Security security, bool auth) const
    {
        Mail::Settings s;
        s.host = "127.0.0.1";
        s.port = sink->serverPort();
        s.security = security;
        if (auth) {
            s.user = "mailer";
            s.password = "s3cret";
        }
        s.from = "Sarvo <no-reply@example.org>";
        s.extraCas = ca;
        return s;
    }

    std::unique_ptr<SmtpSink> sink;
    QList<QSslCertificate> ca;
    QSslConfiguration trustedTls, untrustedTls;
};

TEST_F(MailDelivery, RegistrationCodesAreMailed)
{
    using Security = Mail::Settings::Security;
    struct Case {
        const char *name;
        Security security;
        bool auth;
        bool implicitTls;
        QByteArray mechanisms; // offered by the server
        QList<QByteArray> dialogue; // "*" stands for a base64 argument
    };
    const Case cases[] = {
        {"STARTTLS, AUTH PLAIN", Security::StartTls, true, false, "LOGIN PLAIN",
         {"EHLO localhost", "STARTTLS", "EHLO localhost", "AUTH PLAIN *", "MAIL FROM:<no-reply@example.org>", "RCPT TO:<*>", "DATA", "QUIT"}},
        {"implicit TLS, AUTH LOGIN", Security::Tls, true, true, "LOGIN",
         {"EHLO localhost", "AUTH LOGIN", "*", "*", "MAIL FROM:<no-reply@example.org>", "RCPT TO:<*>", "DATA", "QUIT"}},
        {"plain relay, no authentication", Security::None, false, false, "PLAIN",
         {"EHLO localhost", "MAIL FROM:<no-reply@example.org>", "RCPT TO:<*>", "DATA", "QUIT"}},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sink->implicitTls = c.implicitTls;
        sink->mechanisms = c.mechanisms;
        sink->offerStartTls = true;
        sink->mails.clear();
        local->service().context().options.mail = settings(c.security, c.auth);
        const QString email = QStringLiteral("user%1@example.org").arg(++n);

        const auto sent = await(ChatApi::sendEmailCode(email, "register"));
        ASSERT_FALSE(sent.error) << sent.error->message().toStdString();
        ASSERT_EQ(sink->mails.size(), 1);
        const SmtpSink::Mail &mail = sink->mails.first();

        ASSERT_EQ(mail.commands.size(), c.dialogue.size()) << mail.commands.join(" | ").toStdString();
        for (qsizetype i = 0; i < c.dialogue.size(); ++i) {
            const QByteArray &want = c.dialogue[i];
            if (want == "*")
                EXPECT_FALSE(QByteArray::fromBase64(mail.commands[i]).isEmpty()) << i;
            else if (want.endsWith("<*>"))
                EXPECT_EQ(mail.commands[i], want.chopped(3) + "<" + email.toUtf8() + ">");
            else if (want.endsWith(" *"))
                EXPECT_TRUE(mail.commands[i].startsWith(want.chopped(1))) << mail.commands[i].toStdString();
            else
                EXPECT_EQ(mail.commands[i], want);
        }
        EXPECT_EQ(mail.encryptedAtMailFrom, c.security != Security::None);

        // CRLF everywhere, and the headers and the code where a reader looks for them.
        EXPECT_EQ(mail.data.count('\n'), mail.data.count("\r\n"));
        EXPECT_EQ(mail.data.count('\r'), mail.data.count("\r\n"));
        const QByteArray message = unstuffed(mail.data);
        EXPECT_EQ(header(message, "To"), "<" + email.toUtf8() + ">");
        EXPECT_EQ(header(message, "From"), "Sarvo <no-reply@example.org>");
        EXPECT_EQ(header(message, "Subject"), "Your Sarvo verification code");
        EXPECT_FALSE(header(message, "Date").isEmpty());
        EXPECT_FALSE(header(message, "Message-ID").isEmpty());
        const QRegularExpressionMatch code = QRegularExpression("\\b(\\d{6})\\b").match(QString::fromUtf8(message.mid(message.indexOf("\r\n\r\n"))));
        ASSERT_TRUE(code.hasMatch());

        // The mailed code registers the account.
        const auto registered = await(ChatApi::registerAccount(email, code.captured(1), "pw", "Nick"));
        EXPECT_FALSE(registered.error) << registered.error->message().toStdString();
    }
    // The connections were closed after QUIT.
    EXPECT_TRUE(spinUntil([&] { return sink->finished == 3; }));
}

TEST_F(MailDelivery, FailuresAreReported)
{
    using Security = Mail::Settings::Security;
    struct Case {
        const char *name;
        std::function<void(Mail::Settings &, SmtpSink &)> arrange;
        QString code;
    };
    const Case cases[] = {
        {"no mail server and no development mode", [](Mail::Settings &s, SmtpSink &) { s.host.clear(); }, "MAIL_UNAVAILABLE"},
        {"recipient refused", [](Mail::Settings &, SmtpSink &sink) { sink.rcptReply = 550; }, "MAIL_FAILED"},
        {"wrong password", [](Mail::Settings &s, SmtpSink &) { s.password = "wrong"; }, "MAIL_FAILED"},
        {"untrusted certificate", [&](Mail::Settings &, SmtpSink &sink) { sink.setTls(untrustedTls); }, "MAIL_FAILED"},
        {"no STARTTLS offered", [](Mail::Settings &, SmtpSink &sink) { sink.offerStartTls = false; }, "MAIL_FAILED"},
        {"password over a plain connection", [](Mail::Settings &s, SmtpSink &) { s.security = Security::None; }, "MAIL_FAILED"},
        {"nobody listening", [](Mail::Settings &, SmtpSink &sink) { sink.close(); }, "MAIL_FAILED"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Mail::Settings s = settings(Security::StartTls, true);
        sink->rcptReply = 250;
        sink->offerStartTls = true;
        sink->setTls(trustedTls);
        sink->mails.clear();
        c.arrange(s, *sink);
        local->service().context().options.mail = s;
        const QJsonObject answer = bridge("/auth/email/send", {{"email", QStringLiteral("user%1@example.org").arg(++n)}, {"purpose", "register"}});
        EXPECT_EQ(answer.value("code").toString(), c.code);
        EXPECT_TRUE(sink->mails.isEmpty());
    }
}

TEST_F(MailDelivery, ASubmissionSendsTheMessageAsWritten)
{
    Mail::Message m;
    m.to = "ann@example.org";
    m.subject = "Dots";
    m.body = "first\n.hidden\n.\n..two\nlast";
    Mail::Submission submission(settings(Mail::Settings::Security::StartTls, true), m);
    QString error = "pending";
    QObject::connect(&submission, &Mail::Submission::finished, [&](const QString &e) { error = e; });
    submission.start();
    ASSERT_TRUE(spinUntil([&] { return error != "pending"; }));
    EXPECT_EQ(error, "");
    ASSERT_EQ(sink->mails.size(), 1);
    const QByteArray message = unstuffed(sink->mails.first().data);
    EXPECT_EQ(message.mid(message.indexOf("\r\n\r\n") + 4), "first\r\n.hidden\r\n.\r\n..two\r\nlast\r\n");
    EXPECT_TRUE(sink->mails.first().data.contains("\r\n..hidden\r\n..\r\n...two\r\n"));
}

} // namespace
