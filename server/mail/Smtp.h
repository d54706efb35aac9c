#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QTimer>

class QSslSocket;

namespace Mail {

// Where and how verification mails are submitted. An empty host means no mail server.
struct Settings {
    enum class Security { StartTls, Tls, None };
    QString host;
    quint16 port = 0; // 0: the usual port of the security mode (587, 465, 25)
    Security security = Security::StartTls;
    QString user;     // empty: no authentication
    QString password;
    QString from;     // "Name <address>" or a bare address
    QList<QSslCertificate> extraCas; // trusted besides the system's
    QString heloName = QStringLiteral("localhost");
    int timeoutMs = 30 * 1000;

    bool configured() const { return !host.isEmpty(); }
    quint16 effectivePort() const;
};

struct Message {
    QString to;      // a bare address
    QString subject; // one line
    QString body;    // plain text; any line endings
};

// The DATA section of a message as sent: CRLF line endings, lines starting with "." doubled,
// ending with the lone "." line.
QByteArray dataSection(const QByteArray &message);
// The whole message (headers and body) before the dot-stuffing of dataSection.
QByteArray compose(const Settings &settings, const Message &message);
// The address inside "Name <address>", or the text itself.
QString bareAddress(const QString &from);

// One submission over its own connection, driven by the event loop of the thread it lives on (never
// blocks it). Emits finished exactly once; delete it later, not from the slot.
class Submission : public QObject {
    Q_OBJECT
public:
    Submission(Settings settings, Message message, QObject *parent = nullptr);
    ~Submission() override;
    void start();

signals:
    void finished(const QString &error); // empty when the server accepted the message

private:
    enum class Step { Greeting, Ehlo, StartTls, EhloAgain, AuthPlain, AuthLogin, AuthUser, AuthPassword, MailFrom, RcptTo, Data, Body, Quit, Done };
    void onReadyRead();
    void onReply(int code, const QList<QByteArray> &lines);
    void command(const QByteArray &line, Step next);
    void authenticate();
    void fail(const QString &error);
    void succeed();

    Settings m_settings;
    Message m_message;
    QSslSocket *m_socket;
    QTimer m_timeout;
    Step m_step = Step::Greeting;
    QByteArray m_in;
    QList<QByteArray> m_replyLines;
    QList<QByteArray> m_capabilities;
    bool m_finished = false;
};

} // namespace Mail
