#include "accounts/Accounts.h"

#include "accounts/Passwords.h"
#include "base/HandOver.h"
#include "core/Args.h"
#include "core/Secure.h"
#include "core/Log.h"

#include <QDateTime>
#include <QFile>
#include <QFuture>
#include <QRegularExpression>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

namespace {

QString trimmed(const QString &s)
{
    qsizetype b = 0, e = s.size();
    auto space = [](QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; };
    while (b < e && space(s[b]))
        ++b;
    while (e > b && space(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

[[noreturn]] void refuse(int status, const char *code, const QString &message, QJsonObject extra = {})
{
    throw Failure{status, message, QString::fromLatin1(code), std::move(extra)};
}

QString sixDigits()
{
    // Rejection sampling keeps every code equally likely.
    while (true) {
        const QByteArray b = Secure::randomBytes(4);
        const quint32 v = (quint32(quint8(b[0])) << 24) | (quint32(quint8(b[1])) << 16) | (quint32(quint8(b[2])) << 8) | quint8(b[3]);
        if (v < 4294000000u)
            return QStringLiteral("%1").arg(v % 1000000, 6, 10, QLatin1Char('0'));
    }
}

} // namespace

bool RateLimiter::hit(const QString &key, qint64 now)
{
    std::lock_guard lock(m_mutex);
    std::deque<qint64> &hits = m_hits[key];
    while (!hits.empty() && hits.front() <= now - m_window)
        hits.pop_front();
    if (static_cast<int>(hits.size()) >= m_limit)
        return false;
    hits.push_back(now);
    // Forget quiet addresses so the table cannot grow without bound.
    if (m_hits.size() > 100000) {
        for (auto it = m_hits.begin(); it != m_hits.end();)
            it = (it->empty() || it->back() <= now - m_window) ? m_hits.erase(it) : std::next(it);
    }
    return true;
}

Accounts::Accounts(Context &ctx)
    : m_ctx(ctx), m_ipLimit(kCodeRequestsPerHour, 3600 * 1000), m_accountGuesses(ctx.options.accountGuesses),
      m_addressGuesses(ctx.options.addressGuesses)
{
}

const QString &Accounts::dummyHash()
{
    // Unknown accounts cost the same hash as known ones, so answer times do not tell them apart.
    std::call_once(m_dummyOnce, [this] { m_dummyHash = Passwords::hash(Secure::randomHex(16), m_ctx.options.passwordIterations); });
    return m_dummyHash;
}

QString Accounts::normaliseEmail(const QString &email) { return trimmed(email).toLower(); }

bool Accounts::validEmail(const QString &email)
{
    static const QRegularExpression re(QStringLiteral(R"(^[^\s@"<>()\[\]\\,;:]{1,64}@[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?(?:\.[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?)+$)"));
    return email.size() <= 254 && re.match(email).hasMatch();
}

QCoro::Task<QString> Accounts::hashPassword(QString md5hex)
{
    const int iterations = m_ctx.options.passwordIterations;
    auto work = [md5hex, iterations] { return Passwords::hash(md5hex, iterations); };
    const HandOver::Token done;
    QFuture<QString> future = QtConcurrent::run(&m_ctx.hashPool, done.wrap(work));
    const QString hashed = co_await future;
    done.acquire();
    co_return hashed;
}

QCoro::Task<bool> Accounts::verifyPassword(QString md5hex, QString stored)
{
    // An empty `stored` stands for an unknown account.
    ++m_passwordChecks;
    auto work = [this, md5hex, stored] { return Passwords::verify(md5hex, stored.isEmpty() ? dummyHash() : stored); };
    const HandOver::Token done;
    QFuture<bool> future = QtConcurrent::run(&m_ctx.hashPool, done.wrap(work));
    const bool ok = co_await future;
    done.acquire();
    co_return ok;
}

QJsonObject Accounts::issueTokens(const QString &userID)
{
    const QString imToken = Secure::newToken();
    const QString chatToken = Secure::newToken();
    const qint64 expires = m_ctx.now() + m_ctx.options.tokenLifetimeMs;
    m_ctx.store.insertToken(Secure::sha256(imToken.toLatin1()), userID, QStringLiteral("im"), expires);
    m_ctx.store.insertToken(Secure::sha256(chatToken.toLatin1()), userID, QStringLiteral("chat"), expires);
    return {{QStringLiteral("userID"), userID}, {QStringLiteral("imToken"), imToken}, {QStringLiteral("chatToken"), chatToken}};
}

namespace {
// A token seen recently is trusted from memory for this long; revocations made here drop it at
// once, so the delay only matters for changes made by another process.
constexpr qint64 kTokenCacheMs = 30 * 1000;
constexpr qsizetype kTokenCacheMax = 100000;
} // namespace

std::optional<QString> Accounts::cachedToken(const QByteArray &key, qint64 now)
{
    std::lock_guard lock(m_tokenMutex);
    const auto it = m_tokens.constFind(key);
    if (it == m_tokens.constEnd() || now - it->checkedAt > kTokenCacheMs || now >= it->expiresAt)
        return std::nullopt;
    return it->userID;
}

void Accounts::forgetTokensOf(const QString &userID)
{
    std::lock_guard lock(m_tokenMutex);
    m_tokens.removeIf([&](const auto &entry) { return entry.value().userID == userID; });
    ++m_revocations;
}

void Accounts::revokeAll(const QString &userID)
{
    // The stored tokens go first: a lookup that starts after the cache is cleared must not find them.
    m_ctx.store.revokeTokens(userID);
    forgetTokensOf(userID);
    if (m_revoked)
        m_revoked(userID);
}

std::optional<QString> Accounts::authenticate(const QString &token, const QString &kind)
{
    // Tokens are looked up by their SHA-256, so neither the stored value nor the lookup time
    // reveals a token.
    if (token.size() != 64)
        return std::nullopt;
    const qint64 now = m_ctx.now();
    const QByteArray key = kind.toLatin1() + ':' + Secure::sha256(token.toLatin1());
    if (std::optional<QString> user = cachedToken(key, now))
        return user;
    // A revocation between our read and the cache write would be undone by caching what we read;
    // when one happened, read again instead (the second read sees it).
    for (int attempt = 0; attempt < 3; ++attempt) {
        quint64 revocations;
        {
            std::lock_guard lock(m_tokenMutex);
            revocations = m_revocations;
        }
        const auto owner = m_ctx.store.tokenUser(key.mid(kind.size() + 1), kind, now);
        if (m_lookupHook)
            m_lookupHook();
        if (!owner)
            return std::nullopt;
        std::lock_guard lock(m_tokenMutex);
        if (m_revocations != revocations)
            continue;
        if (m_tokens.size() >= kTokenCacheMax)
            m_tokens.clear();
        m_tokens.insert(key, {owner->userID, owner->expiresAt, now});
        return owner->userID;
    }
    // Revocations keep racing this lookup: trust nothing rather than a stale read.
    return std::nullopt;
}

QString Accounts::newUserID()
{
    // Ten decimal digits: no separator characters, since conversation ids join user ids with "_".
    while (true) {
        const QByteArray b = Secure::randomBytes(8);
        quint64 v = 0;
        for (char c : b)
            v = (v << 8) | quint8(c);
        const QString id = QString::number(1000000000ULL + v % 9000000000ULL);
        if (!m_ctx.store.userById(id))
            return id;
    }
}

QCoro::Task<QJsonObject> Accounts::login(QJsonObject body, QHostAddress peer)
{
    const Args args(body);
    args.integer("platform", 0, 1000);
    const QString password = args.text("password", 64);
    QString account;
    std::optional<Storage::User> user;
    if (args.has("email")) {
        account = QStringLiteral("email:") + normaliseEmail(args.text("email", 254));
        user = m_ctx.store.userByEmail(account.mid(6));
    } else if (args.has("phoneNumber")) {
        const QString areaCode = args.text("areaCode", 8), phone = args.text("phoneNumber", 32);
        account = QStringLiteral("phone:%1 %2").arg(areaCode, phone);
        user = m_ctx.store.userByPhone(areaCode, phone);
    } else {
        Args::refuse(QStringLiteral("\"email\" or \"phoneNumber\" is required"));
    }
    // Refused before the slow hash, and keyed by what was typed, so that an unknown account is
    // throttled exactly like a known one.
    const QString address = Throttle::addressKey(peer);
    const qint64 now = m_ctx.now();
    qint64 wait = m_addressGuesses.admit(address, now);
    if (!wait) {
        wait = m_accountGuesses.admit(account, now);
        if (wait)
            m_addressGuesses.succeeded(address, false);
    }
    if (wait)
        refuse(429, "RATE_LIMIT_LOGIN", QStringLiteral("too many sign-in attempts; try again in %1 s").arg((wait + 999) / 1000),
               {{QStringLiteral("retryAfter"), (wait + 999) / 1000}});
    const QString stored = user ? user->passwordHash : QString();
    const bool ok = co_await verifyPassword(password, stored);
    if (!user || !ok || !Passwords::isMd5Hex(password))
        refuse(401, "LOGIN_FAILED", QStringLiteral("incorrect account or password"));
    m_accountGuesses.succeeded(account, true);
    m_addressGuesses.succeeded(address, false);
    Log::info("login", {{"user", user->id}});
    co_return issueTokens(user->id);
}

QCoro::Task<QJsonObject> Accounts::sendCode(QJsonObject body, QHostAddress peer)
{
    const qint64 now = m_ctx.now();
    if (!m_ipLimit.hit(peer.toString(), now))
        refuse(429, "RATE_LIMIT_IP", QStringLiteral("too many code requests from this address"));
    const Args args(body);
    const QString email = normaliseEmail(args.text("email", 254));
    const QString purpose = args.text("purpose", 16);
    if (!validEmail(email))
        refuse(400, "INVALID_EMAIL", QStringLiteral("invalid e-mail address"));
    if (purpose != QLatin1String("register") && purpose != QLatin1String("reset"))
        refuse(400, "INVALID_PURPOSE", QStringLiteral("\"purpose\" must be \"register\" or \"reset\""));
    const bool exists = m_ctx.store.userByEmail(email).has_value();
    if (purpose == QLatin1String("register") && exists)
        refuse(409, "EMAIL_TAKEN", QStringLiteral("e-mail already registered"));
    if (purpose == QLatin1String("reset") && !exists)
        refuse(404, "EMAIL_NOT_FOUND", QStringLiteral("e-mail not registered"));
    if (const auto last = m_ctx.store.lastCodeSentAt(email); last && now - *last < kCodeIntervalMs) {
        const qint64 left = (*last + kCodeIntervalMs - now + 999) / 1000;
        refuse(429, "RATE_LIMIT_EMAIL", QStringLiteral("a code was sent recently"), {{QStringLiteral("retryAfter"), left}});
    }
    const bool mailServer = m_ctx.options.mail.configured();
    if (!mailServer && !m_ctx.options.dev)
        refuse(503, "MAIL_UNAVAILABLE", QStringLiteral("e-mail delivery is not configured on this server"));
    const QString code = sixDigits();
    m_ctx.store.putCode(email, purpose, code, now, now + kCodeLifetimeMs);
    if (mailServer)
        co_await mail(email, purpose, code);
    else
        writeOutbox(email, purpose, code);
    co_return QJsonObject{{QStringLiteral("ok"), true}};
}

QCoro::Task<void> Accounts::mail(QString email, QString purpose, QString code)
{
    Mail::Message message;
    message.to = email;
    const bool reset = purpose == QLatin1String("reset");
    message.subject = reset ? QStringLiteral("Your Sarvo password reset code") : QStringLiteral("Your Sarvo verification code");
    message.body = QStringLiteral("Your %1 code is %2.\n\nIt is valid for %3 minutes. If you did not ask for it, ignore this message.\n")
                       .arg(reset ? QStringLiteral("password reset") : QStringLiteral("verification"), code)
                       .arg(kCodeLifetimeMs / 60000);
    // Lives on this worker's event loop; deleted later, never from inside its own signal.
    std::unique_ptr<Mail::Submission, void (*)(Mail::Submission *)> submission(new Mail::Submission(m_ctx.options.mail, message),
                                                                               [](Mail::Submission *s) { s->deleteLater(); });
    // Started from the event loop, so that even an immediate failure finds us waiting.
    QMetaObject::invokeMethod(submission.get(), &Mail::Submission::start, Qt::QueuedConnection);
    const QString error = co_await qCoro(submission.get(), &Mail::Submission::finished);
    if (!error.isEmpty()) {
        Log::error("mail_failed", {{"purpose", purpose}, {"error", error}});
        refuse(502, "MAIL_FAILED", QStringLiteral("the verification mail could not be sent; try again later"));
    }
    Log::info("code_sent", {{"purpose", purpose}, {"via", QStringLiteral("smtp")}});
}

void Accounts::writeOutbox(const QString &email, const QString &purpose, const QString &code)
{
    // Development mode: the outbox file stands in for the mail server (it is the one place a
    // code is written down).
    const QString line = QStringLiteral("%1\t%2\t%3\t%4\n")
                             .arg(QDateTime::fromMSecsSinceEpoch(m_ctx.now(), Qt::UTC).toString(Qt::ISODate), email, purpose, code);
    {
        std::lock_guard lock(m_outboxMutex);
        QFile outbox(m_ctx.dataPath(QStringLiteral("outbox.txt")));
        if (!outbox.open(QIODevice::WriteOnly | QIODevice::Append))
            refuse(500, "MAIL_FAILED", QStringLiteral("could not write the outbox"));
        outbox.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        outbox.write(line.toUtf8());
    }
    Log::info("code_sent", {{"purpose", purpose}, {"outbox", QStringLiteral("outbox.txt")}});
}

void Accounts::checkCode(const QString &email, const QString &purpose, const QString &code, const QHostAddress &peer)
{
    // Each code allows a few tries; the address limit stops one client trying many addresses.
    const QString address = Throttle::addressKey(peer);
    if (const qint64 wait = m_addressGuesses.admit(address, m_ctx.now()))
        refuse(429, "RATE_LIMIT_IP", QStringLiteral("too many attempts from this address; try again in %1 s").arg((wait + 999) / 1000),
               {{QStringLiteral("retryAfter"), (wait + 999) / 1000}});
    switch (m_ctx.store.checkCode(email, purpose, code, m_ctx.now(), kCodeTries)) {
    case Storage::CodeCheck::Ok: m_addressGuesses.succeeded(address, false); return;
    case Storage::CodeCheck::Wrong: refuse(400, "CODE_WRONG", QStringLiteral("incorrect code"));
    case Storage::CodeCheck::Missing:
    case Storage::CodeCheck::Expired: refuse(400, "CODE_EXPIRED", QStringLiteral("code expired; request a new one"));
    case Storage::CodeCheck::TooManyTries: refuse(429, "TOO_MANY_TRIES", QStringLiteral("too many attempts; request a new code"));
    }
}

QCoro::Task<QJsonObject> Accounts::registerAccount(QJsonObject body, QHostAddress peer)
{
    const Args args(body);
    const QString email = normaliseEmail(args.text("email", 254));
    if (!validEmail(email))
        refuse(400, "INVALID_EMAIL", QStringLiteral("invalid e-mail address"));
    const QString code = args.text("code", 16);
    const QString password = args.text("password", 64);
    const QString nickname = trimmed(args.text("nickname", 64, false));
    args.integer("platform", 0, 1000, 0);
    if (nickname.isEmpty())
        refuse(400, "NICKNAME_REQUIRED", QStringLiteral("nickname required"));
    if (!Passwords::isMd5Hex(password))
        refuse(400, "INVALID_PASSWORD", QStringLiteral("invalid password"));
    if (m_ctx.store.userByEmail(email))
        refuse(409, "EMAIL_TAKEN", QStringLiteral("e-mail already registered"));
    checkCode(email, QStringLiteral("register"), trimmed(code), peer);

    Storage::User user;
    user.id = newUserID();
    user.email = email;
    user.nickname = nickname;
    user.createdAt = m_ctx.now();
    user.passwordHash = co_await hashPassword(password);
    if (!m_ctx.store.insertUser(user))
        refuse(409, "EMAIL_TAKEN", QStringLiteral("e-mail already registered"));
    Log::info("user_registered", {{"user", user.id}});
    co_return issueTokens(user.id);
}

QCoro::Task<QJsonObject> Accounts::reset(QJsonObject body, QHostAddress peer)
{
    const Args args(body);
    const QString email = normaliseEmail(args.text("email", 254));
    if (!validEmail(email))
        refuse(400, "INVALID_EMAIL", QStringLiteral("invalid e-mail address"));
    const QString code = args.text("code", 16);
    const QString password = args.text("password", 64);
    args.integer("platform", 0, 1000, 0);
    if (!Passwords::isMd5Hex(password))
        refuse(400, "INVALID_PASSWORD", QStringLiteral("invalid password"));
    const std::optional<Storage::User> user = m_ctx.store.userByEmail(email);
    if (!user)
        refuse(404, "EMAIL_NOT_FOUND", QStringLiteral("e-mail not registered"));
    checkCode(email, QStringLiteral("reset"), trimmed(code), peer);
    const QString hashed = co_await hashPassword(password);
    m_ctx.store.setPasswordHash(user->id, hashed);
    // A reset is what a user does when someone else may know the password: end every session.
    revokeAll(user->id);
    Log::info("password_reset", {{"user", user->id}});
    QJsonObject answer = issueTokens(user->id);
    answer.insert(QStringLiteral("loggedIn"), true);
    co_return answer;
}

QString Accounts::addUser(const QString &email, const QString &password, const QString &nickname)
{
    const QString normalised = normaliseEmail(email);
    if (!validEmail(normalised))
        refuse(400, "INVALID_EMAIL", QStringLiteral("invalid e-mail address"));
    if (trimmed(nickname).isEmpty())
        refuse(400, "NICKNAME_REQUIRED", QStringLiteral("nickname required"));
    Storage::User user;
    user.id = newUserID();
    user.email = normalised;
    user.nickname = trimmed(nickname);
    user.createdAt = m_ctx.now();
    // The client sends the MD5 hex of the password, so that is what is hashed and stored.
    user.passwordHash = Passwords::hash(Secure::md5Hex(password.toUtf8()), m_ctx.options.passwordIterations);
    if (!m_ctx.store.insertUser(user))
        refuse(409, "EMAIL_TAKEN", QStringLiteral("e-mail already registered"));
    return user.id;
}
