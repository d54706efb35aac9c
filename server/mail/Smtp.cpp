#include "mail/Smtp.h"

#include "core/Secure.h"

#include <QDateTime>
#include <QLocale>
#include <QSslConfiguration>
#include <QSslSocket>

#include <utility>

namespace Mail {

namespace {

constexpr qsizetype kMaxReplyLine = 4096;
constexpr int kMaxReplyLines = 100;

// Header text: no line breaks (they would start a new header), non-ASCII as an encoded word.
QByteArray headerText(const QString &text)
{
    QString flat = text;
    flat.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray utf8 = flat.toUtf8();
    for (char c : utf8)
        if (uchar(c) >= 0x80)
            return "=?UTF-8?B?" + utf8.toBase64() + "?=";
    return utf8;
}

} // namespace

quint16 Settings::effectivePort() const
{
    if (port)
        return port;
    switch (security) {
    case Security::StartTls: return 587;
    case Security::Tls: return 465;
    case Security::None: return 25;
    }
    return 587;
}

QString bareAddress(const QString &from)
{
    const qsizetype open = from.lastIndexOf(QLatin1Char('<'));
    const qsizetype close = from.lastIndexOf(QLatin1Char('>'));
    if (open >= 0 && close > open)
        return from.mid(open + 1, close - open - 1).trimmed();
    return from.trimmed();
}

QByteArray dataSection(const QByteArray &message)
{
    QByteArray out;
    out.reserve(message.size() + message.size() / 20 + 8);
    bool lineStart = true;
    for (qsizetype i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\r' || c == '\n') {
            // CR, LF and CRLF all end a line; bare ones are not allowed on the wire.
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
                ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = false;
    }
    if (!lineStart)
        out += "\r\n";
    out += ".\r\n";
    return out;
}

QByteArray compose(const Settings &settings, const Message &message)
{
    const QString from = bareAddress(settings.from);
    const QString domain = from.section(QLatin1Char('@'), 1).isEmpty() ? QStringLiteral("localhost") : from.section(QLatin1Char('@'), 1);
    QByteArray m;
    m += "From: " + headerText(settings.from) + "\r\n";
    m += "To: <" + message.to.toUtf8() + ">\r\n";
    m += "Subject: " + headerText(message.subject) + "\r\n";
    m += "Date: " + QLocale::c().toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss +0000")).toLatin1() + "\r\n";
    m += "Message-ID: <" + Secure::randomHex(16).toLatin1() + '@' + domain.toUtf8() + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=utf-8\r\n";
    m += "Content-Transfer-Encoding: 8bit\r\n";
    m += "\r\n";
    m += message.body.toUtf8();
    return m;
}

Submission::Submission(Settings settings, Message message, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_message(std::move(message)), m_socket(new QSslSocket(this))
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!m_settings.extraCas.isEmpty())
        tls.addCaCertificates(m_settings.extraCas);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_socket->setSslConfiguration(tls);
    m_socket->setPeerVerifyName(m_settings.host);
    connect(m_socket, &QIODevice::readyRead, this, &Submission::onReadyRead);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_step == Step::Quit)
            succeed(); // the message was accepted before the server hung up
        else
            fail(QStringLiteral("connection to the mail server failed: ") + m_socket->errorString());
    });
    connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        fail(QStringLiteral("the mail server's certificate is not trusted: ") + (errors.isEmpty() ? QString() : errors.first().errorString()));
    });
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(m_settings.timeoutMs);
    connect(&m_timeout, &QTimer::timeout, this, [this] { fail(QStringLiteral("the mail server did not answer in time")); });
}

Submission::~Submission() { m_socket->disconnect(this); }

void Submission::start()
{
    m_timeout.start();
    if (m_settings.security == Settings::Security::Tls)
        m_socket->connectToHostEncrypted(m_settings.host, m_settings.effectivePort());
    else
        m_socket->connectToHost(m_settings.host, m_settings.effectivePort());
}

void Submission::onReadyRead()
{
    if (m_finished)
        return;
    m_in += m_socket->readAll();
    while (!m_finished) {
        const qsizetype end = m_in.indexOf("\r\n");
        if (end < 0) {
            if (m_in.size() > kMaxReplyLine)
                fail(QStringLiteral("the mail server sent an overlong line"));
            return;
        }
        const QByteArray line = m_in.left(end);
        m_in.remove(0, end + 2);
        bool ok = false;
        const int code = line.left(3).toInt(&ok);
        if (!ok || code < 200 || code > 599 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            fail(QStringLiteral("the mail server sent no SMTP reply"));
            return;
        }
        m_replyLines.append(line.mid(4));
        if (m_replyLines.size() > kMaxReplyLines) {
            fail(QStringLiteral("the mail server sent an overlong reply"));
            return;
        }
        if (line.size() > 3 && line[3] == '-')
            continue;
        const QList<QByteArray> lines = std::exchange(m_replyLines, {});
        onReply(code, lines);
    }
}

void Submission::command(const QByteArray &line, Step next)
{
    m_step = next;
    m_socket->write(line + "\r\n");
}

void Submission::authenticate()
{
    if (!m_settings.user.isEmpty() && m_settings.security == Settings::Security::None) {
        fail(QStringLiteral("refusing to send the mail password unencrypted"));
        return;
    }
    if (m_settings.user.isEmpty()) {
        command("MAIL FROM:<" + bareAddress(m_settings.from).toUtf8() + ">", Step::MailFrom);
        return;
    }
    QList<QByteArray> mechanisms;
    for (const QByteArray &cap : std::as_const(m_capabilities))
        if (cap.toUpper().startsWith("AUTH ") || cap.toUpper().startsWith("AUTH="))
            mechanisms += cap.mid(5).toUpper().split(' ');
    if (mechanisms.contains("PLAIN")) {
        const QByteArray token = '\0' + m_settings.user.toUtf8() + '\0' + m_settings.password.toUtf8();
        command("AUTH PLAIN " + token.toBase64(), Step::AuthPlain);
    } else if (mechanisms.contains("LOGIN")) {
        command("AUTH LOGIN", Step::AuthLogin);
    } else {
        fail(QStringLiteral("the mail server offers neither AUTH PLAIN nor AUTH LOGIN"));
    }
}

void Submission::onReply(int code, const QList<QByteArray> &lines)
{
    const QString text = QString::fromUtf8(lines.join(' ')).left(300);
    auto expect = [&](int wanted) {
        if (code == wanted)
            return true;
        fail(QStringLiteral("the mail server refused (%1 %2)").arg(code).arg(text));
        return false;
    };
    const QByteArray helo = "EHLO " + m_settings.heloName.toUtf8();
    switch (m_step) {
    case Step::Greeting:
        if (expect(220))
            command(helo, Step::Ehlo);
        return;
    case Step::Ehlo:
    case Step::EhloAgain:
        if (!expect(250))
            return;
        m_capabilities = lines.mid(1);
        if (m_step == Step::Ehlo && m_settings.security == Settings::Security::StartTls) {
            bool offered = false;
            for (const QByteArray &cap : std::as_const(m_capabilities))
                offered = offered || cap.trimmed().toUpper() == "STARTTLS";
            if (!offered) {
                fail(QStringLiteral("the mail server does not offer STARTTLS"));
                return;
            }
            command("STARTTLS", Step::StartTls);
            return;
        }
        authenticate();
        return;
    case Step::StartTls:
        if (!expect(220))
            return;
        // Anything the server sent before the handshake is not to be trusted.
        m_in.clear();
        m_step = Step::EhloAgain;
        connect(m_socket, &QSslSocket::encrypted, this, [this, helo] { command(helo, Step::EhloAgain); }, Qt::SingleShotConnection);
        m_socket->startClientEncryption();
        return;
    case Step::AuthLogin:
        if (expect(334))
            command(m_settings.user.toUtf8().toBase64(), Step::AuthUser);
        return;
    case Step::AuthUser:
        if (expect(334))
            command(m_settings.password.toUtf8().toBase64(), Step::AuthPassword);
        return;
    case Step::AuthPlain:
    case Step::AuthPassword:
        if (expect(235))
            command("MAIL FROM:<" + bareAddress(m_settings.from).toUtf8() + ">", Step::MailFrom);
        return;
    case Step::MailFrom:
        if (expect(250))
            command("RCPT TO:<" + m_message.to.toUtf8() + ">", Step::RcptTo);
        return;
    case Step::RcptTo:
        if (code == 250 || code == 251)
            command("DATA", Step::Data);
        else
            expect(250);
        return;
    case Step::Data:
        if (!expect(354))
            return;
        m_step = Step::Body;
        m_socket->write(dataSection(compose(m_settings, m_message)));
        return;
    case Step::Body:
        if (expect(250))
            command("QUIT", Step::Quit);
        return;
    case Step::Quit:
        // The message is accepted already; the farewell is a courtesy.
        succeed();
        return;
    case Step::Done: return;
    }
}

void Submission::fail(const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_step = Step::Done;
    m_timeout.stop();
    m_socket->abort();
    emit finished(error.isEmpty() ? QStringLiteral("mail submission failed") : error);
}

void Submission::succeed()
{
    if (m_finished)
        return;
    m_finished = true;
    m_step = Step::Done;
    m_timeout.stop();
    m_socket->disconnectFromHost();
    emit finished(QString());
}

} // namespace Mail
