#include "cli/Commands.h"

#include "app/Service.h"
#include "core/Args.h"
#include "core/Secure.h"
#include "core/Log.h"
#include "tls/DevCa.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QUrl>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Cli {

namespace {

constexpr const char *kUsage = R"(usage:
  sarvo-server serve --data DIR [--listen HOST:PORT] [--dev] [--cert FILE --key FILE]
                     [--threads N] [--public-url URL] [--log-level debug|info|warn|error]
                     [--smtp-host HOST [--smtp-port N] [--smtp-security starttls|tls|none]
                      [--smtp-user USER --smtp-password-file FILE] --smtp-from ADDRESS [--smtp-ca FILE]]
  sarvo-server add-user --data DIR --email EMAIL --password PASSWORD --nickname NAME
  sarvo-server add-friend --data DIR USER_ID USER_ID
  sarvo-server add-group --data DIR --name NAME --owner USER_ID --members ID,ID,...
Every command also takes --hash-iterations N (password hashing cost; tests use a low one).
)";

struct Parsed {
    QHash<QString, QString> values;
    QSet<QString> flags;
    QStringList positional;
};

bool parse(const QStringList &args, const QSet<QString> &flagNames, Parsed *out, QString *error)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (!a.startsWith(QLatin1String("--"))) {
            out->positional << a;
            continue;
        }
        const QString name = a.section(QLatin1Char('='), 0, 0).mid(2);
        if (flagNames.contains(name)) {
            out->flags.insert(name);
        } else if (a.contains(QLatin1Char('='))) {
            out->values.insert(name, a.section(QLatin1Char('='), 1));
        } else if (i + 1 < args.size()) {
            out->values.insert(name, args[++i]);
        } else {
            *error = QStringLiteral("--%1 needs a value").arg(name);
            return false;
        }
    }
    return true;
}

Options optionsFrom(const Parsed &p)
{
    Options o;
    o.dataDir = QDir(p.values.value(QStringLiteral("data"))).absolutePath();
    o.dev = p.flags.contains(QStringLiteral("dev"));
    bool ok = false;
    if (p.values.contains(QStringLiteral("hash-iterations"))) {
        const int n = p.values.value(QStringLiteral("hash-iterations")).toInt(&ok);
        if (ok && n > 0)
            o.passwordIterations = n;
    }
    if (p.values.contains(QStringLiteral("threads"))) {
        const int n = p.values.value(QStringLiteral("threads")).toInt(&ok);
        if (ok && n > 0 && n <= 64)
            o.threads = n;
    }
    o.publicUrl = p.values.value(QStringLiteral("public-url"));
    return o;
}

// The mail server for verification codes; the password comes from a file or the environment,
// never the command line (which every local user can read).
bool mailSettings(const Parsed &p, Mail::Settings *mail, QString *error)
{
    mail->host = p.values.value(QStringLiteral("smtp-host"));
    if (mail->host.isEmpty()) {
        for (const QString &key : p.values.keys())
            if (key.startsWith(QLatin1String("smtp-"))) {
                *error = QStringLiteral("--%1 needs --smtp-host").arg(key);
                return false;
            }
        return true;
    }
    if (p.values.contains(QStringLiteral("smtp-port"))) {
        bool ok = false;
        const int port = p.values.value(QStringLiteral("smtp-port")).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            *error = QStringLiteral("--smtp-port: expected a port number");
            return false;
        }
        mail->port = quint16(port);
    }
    const QString security = p.values.value(QStringLiteral("smtp-security"), QStringLiteral("starttls"));
    if (security == QLatin1String("starttls")) {
        mail->security = Mail::Settings::Security::StartTls;
    } else if (security == QLatin1String("tls")) {
        mail->security = Mail::Settings::Security::Tls;
    } else if (security == QLatin1String("none")) {
        mail->security = Mail::Settings::Security::None;
    } else {
        *error = QStringLiteral("--smtp-security: expected starttls, tls or none");
        return false;
    }
    mail->user = p.values.value(QStringLiteral("smtp-user"));
    const QString passwordFile = p.values.value(QStringLiteral("smtp-password-file"));
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("--smtp-password-file: cannot read %1").arg(passwordFile);
            return false;
        }
        mail->password = QString::fromUtf8(file.readAll()).section(QLatin1Char('\n'), 0, 0).remove(QLatin1Char('\r'));
    } else {
        mail->password = qEnvironmentVariable("SARVO_SMTP_PASSWORD");
    }
    if (!mail->user.isEmpty() && mail->security == Mail::Settings::Security::None) {
        *error = QStringLiteral("--smtp-user needs --smtp-security starttls or tls: the password is not sent unencrypted");
        return false;
    }
    mail->from = p.values.value(QStringLiteral("smtp-from"));
    if (!Accounts::validEmail(Mail::bareAddress(mail->from).toLower())) {
        *error = QStringLiteral("--smtp-from: expected an e-mail address (\"Name <address>\" or a bare one)");
        return false;
    }
    const QString ca = p.values.value(QStringLiteral("smtp-ca"));
    if (!ca.isEmpty()) {
        mail->extraCas = QSslCertificate::fromPath(ca, QSsl::Pem);
        if (mail->extraCas.isEmpty()) {
            *error = QStringLiteral("--smtp-ca: no PEM certificate in %1").arg(ca);
            return false;
        }
    }
    return true;
}

int sigPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(sigPipe[1], &c, 1);
}

int serve(const Parsed &p, QTextStream &out, QTextStream &err)
{
    const QString level = p.values.value(QStringLiteral("log-level"), QStringLiteral("info"));
    Log::setLevel(level == QLatin1String("debug") ? Log::Level::Debug
                  : level == QLatin1String("warn") ? Log::Level::Warn
                  : level == QLatin1String("error") ? Log::Level::Error
                                                    : Log::Level::Info);
    const QString listen = p.values.value(QStringLiteral("listen"), QStringLiteral("127.0.0.1:7443"));
    const QUrl hostPort(QStringLiteral("https://") + listen);
    const QHostAddress address(hostPort.host());
    if (address.isNull() || hostPort.port() < 0) {
        err << "--listen: expected an IP address and a port, e.g. 127.0.0.1:7443\n";
        return 2;
    }
    Options options = optionsFrom(p);
    QString mailError;
    if (!mailSettings(p, &options.mail, &mailError)) {
        err << mailError << '\n';
        return 2;
    }

    QString certPath = p.values.value(QStringLiteral("cert"));
    QString keyPath = p.values.value(QStringLiteral("key"));
    if (certPath.isEmpty() != keyPath.isEmpty()) {
        err << "--cert and --key go together\n";
        return 2;
    }
    QString caPath;
    if (certPath.isEmpty()) {
        const Tls::Paths paths = Tls::ensureDevCertificates(QDir(options.dataDir).filePath(QStringLiteral("tls")));
        certPath = paths.serverCert;
        keyPath = paths.serverKey;
        caPath = paths.caCert;
    }
    QString error;
    const std::optional<QSslConfiguration> tls = Tls::serverConfiguration(certPath, keyPath, &error);
    if (!tls) {
        err << error << '\n';
        return 1;
    }

    if (::pipe2(sigPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        err << "cannot set up signal handling\n";
        return 1;
    }
    QSocketNotifier notifier(sigPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [] {
        char buf[16];
        while (::read(sigPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    LocalService local(options, *tls);
    if (!local.listen(address, static_cast<quint16>(hostPort.port())))
        return 1;
    Log::info("listening", {{"address", address.toString()},
                            {"port", QString::number(local.port())},
                            {"data", options.dataDir},
                            {"dev", options.dev ? QStringLiteral("true") : QStringLiteral("false")},
                            {"mail", options.mail.configured() ? options.mail.host : QStringLiteral("none")},
                            {"ca", caPath}});
    out.flush();
    const int status = QCoreApplication::exec();
    Log::info("stopping");
    return status;
}

int addUser(const Parsed &p, QTextStream &out, QTextStream &err)
{
    for (const char *key : {"email", "password", "nickname"})
        if (!p.values.contains(QLatin1String(key))) {
            err << "add-user needs --" << key << '\n';
            return 2;
        }
    Options options = optionsFrom(p);
    Service service(options);
    const QString id = service.accounts().addUser(p.values.value(QStringLiteral("email")), p.values.value(QStringLiteral("password")),
                                                  p.values.value(QStringLiteral("nickname")));
    out << id << '\n';
    return 0;
}

int addFriend(const Parsed &p, QTextStream &out, QTextStream &err)
{
    if (p.positional.size() != 2) {
        err << "add-friend needs two user ids\n";
        return 2;
    }
    Service service(optionsFrom(p));
    for (const QString &id : p.positional)
        if (!service.store().userById(id)) {
            err << "no user " << id << '\n';
            return 1;
        }
    if (!service.store().addFriends(p.positional[0], p.positional[1], service.context().now())) {
        err << "cannot make these users friends\n";
        return 1;
    }
    out << "ok\n";
    return 0;
}

int addGroup(const Parsed &p, QTextStream &out, QTextStream &err)
{
    const QString name = p.values.value(QStringLiteral("name")).trimmed();
    const QString owner = p.values.value(QStringLiteral("owner"));
    const QStringList members = p.values.value(QStringLiteral("members")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (name.isEmpty() || owner.isEmpty()) {
        err << "add-group needs --name and --owner\n";
        return 2;
    }
    Service service(optionsFrom(p));
    const QStringList everyone = QStringList(members) << owner;
    for (const QString &id : everyone)
        if (!service.store().userById(id.trimmed())) {
            err << "no user " << id << '\n';
            return 1;
        }
    QStringList trimmedMembers;
    for (const QString &m : members)
        trimmedMembers << m.trimmed();
    const QString id = QString::number(2000000000ULL + Secure::randomHex(4).toULongLong(nullptr, 16) % 7000000000ULL);
    if (!service.store().insertGroup(id, name, owner, trimmedMembers, service.context().now())) {
        err << "cannot create the group\n";
        return 1;
    }
    out << id << '\n';
    return 0;
}

} // namespace

int run(const QStringList &args, QTextStream &out, QTextStream &err)
{
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("help")) {
        out << kUsage;
        return args.isEmpty() ? 2 : 0;
    }
    Parsed p;
    QString error;
    if (!parse(args.mid(1), {QStringLiteral("dev")}, &p, &error)) {
        err << error << '\n';
        return 2;
    }
    if (!p.values.contains(QStringLiteral("data"))) {
        err << "--data DIR is required\n";
        return 2;
    }
    const QString command = args.first();
    try {
        if (command == QLatin1String("serve"))
            return serve(p, out, err);
        if (command == QLatin1String("add-user"))
            return addUser(p, out, err);
        if (command == QLatin1String("add-friend"))
            return addFriend(p, out, err);
        if (command == QLatin1String("add-group"))
            return addGroup(p, out, err);
    } catch (const Failure &f) {
        err << f.message << '\n';
        return 1;
    } catch (const std::exception &e) {
        err << e.what() << '\n';
        return 1;
    }
    err << "unknown command " << command << '\n' << kUsage;
    return 2;
}

} // namespace Cli
