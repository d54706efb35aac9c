#include "net/ChatApi.h"

#include "base/Json.h"
#include "base/ServiceConfig.h"
#include "l10n/L10n.h"
#include "net/Net.h"

#include <QHash>
#include <cmath>

namespace ChatApi {

namespace {

bool isTrimmed(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

LoginResult resultFrom(const QJsonObject &o)
{
    return LoginResult{Json::text(o, QLatin1String("userID")), Json::text(o, QLatin1String("imToken")),
                       Json::text(o, QLatin1String("chatToken"))};
}

} // namespace

QString trim(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && isTrimmed(text[begin]))
        ++begin;
    while (end > begin && isTrimmed(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QString normaliseEmail(const QString &email)
{
    return trim(email).toLower();
}

QString md5(const QString &password)
{
    return Net::md5Hex(password.toUtf8());
}

QCoro::Task<QJsonObject> post(QString path, QJsonObject body, std::optional<QString> token)
{
    Net::Headers headers{{QStringLiteral("operationID"), Net::newOperationID()}};
    if (token)
        headers.append({QStringLiteral("token"), *token});
    const QString url = ServiceConfig::current().chatBase() + path;
    co_return co_await Net::postJSON(url, body, headers);
}

QCoro::Task<QJsonObject> bridgeAuth(QString path, QJsonObject body)
{
    const QString url = ServiceConfig::current().bridgeBase() + path;
    QJsonObject answer = co_await Net::postJSON(url, body);
    const QJsonValue error = answer.value(QLatin1String("error"));
    if (error.isString()) {
        const QJsonValue retry = answer.value(QLatin1String("retryAfter"));
        std::optional<qint64> retryAfter;
        if (retry.isDouble() && std::isfinite(retry.toDouble()))
            retryAfter = Json::integer(answer, QLatin1String("retryAfter"));
        throw APIError(authMessage(Json::str(answer, QLatin1String("code")), error.toString(), retryAfter));
    }
    co_return answer;
}

LoginResult parse(const QJsonObject &answer)
{
    if (!Net::envelopeOk(answer)) {
        const QJsonValue msg = answer.value(QLatin1String("errMsg"));
        throw APIError(msg.isString() ? msg.toString() : L10n::t(QStringLiteral("apiError")));
    }
    return resultFrom(Json::obj(answer, QLatin1String("data")));
}

LoginResult loginResultFromBridge(const QJsonObject &answer)
{
    return resultFrom(answer);
}

QCoro::Task<LoginResult> loginAccount(QString account, QString password, int platform)
{
    const QString trimmed = trim(account);
    QJsonObject body{{QStringLiteral("platform"), platform}, {QStringLiteral("password"), md5(password)}};
    if (trimmed.contains(QLatin1Char('@'))) {
        body.insert(QStringLiteral("email"), trimmed.toLower());
    } else {
        body.insert(QStringLiteral("areaCode"), QStringLiteral("+86"));
        body.insert(QStringLiteral("phoneNumber"), trimmed);
    }
    const QJsonObject answer = co_await post(QStringLiteral("/account/login"), body);
    co_return parse(answer);
}

QCoro::Task<void> sendEmailCode(QString email, QString purpose)
{
    const QJsonObject body{{QStringLiteral("email"), normaliseEmail(email)}, {QStringLiteral("purpose"), purpose}};
    co_await bridgeAuth(QStringLiteral("/auth/email/send"), body);
}

QCoro::Task<LoginResult> registerAccount(QString email, QString code, QString password, QString nickname, int platform)
{
    const QJsonObject body{
        {QStringLiteral("email"), normaliseEmail(email)},
        {QStringLiteral("code"), code},
        {QStringLiteral("password"), md5(password)},
        {QStringLiteral("nickname"), trim(nickname)},
        {QStringLiteral("platform"), platform},
    };
    const QJsonObject answer = co_await bridgeAuth(QStringLiteral("/auth/email/register"), body);
    co_return loginResultFromBridge(answer);
}

QCoro::Task<std::optional<LoginResult>> emailReset(QString email, QString code, QString password, int platform)
{
    const QJsonObject body{
        {QStringLiteral("email"), normaliseEmail(email)},
        {QStringLiteral("code"), code},
        {QStringLiteral("password"), md5(password)},
        {QStringLiteral("platform"), platform},
    };
    const QJsonObject answer = co_await bridgeAuth(QStringLiteral("/auth/email/reset"), body);
    const QJsonValue loggedIn = answer.value(QLatin1String("loggedIn"));
    if (loggedIn.isBool() && !loggedIn.toBool())
        co_return std::nullopt;
    co_return loginResultFromBridge(answer);
}

QString authMessage(const QString &code, const QString &raw, std::optional<qint64> retryAfter)
{
    return authMessage(code, raw, retryAfter, L10n::lang());
}

QString authMessage(const QString &code, const QString &raw, std::optional<qint64> retryAfter, const QString &lang)
{
    // Simplified Chinese, Traditional Chinese (Hong Kong), English.
    struct Texts {
        const char *zh, *zhHK, *en;
    };
    static const QHash<QString, Texts> table{
        {QStringLiteral("INVALID_EMAIL"), {"邮箱格式不正确", "電郵格式不正確", "Invalid email address"}},
        {QStringLiteral("EMAIL_TAKEN"), {"该邮箱已注册，请直接登录", "該電郵已註冊，請直接登入", "Email already registered — please sign in"}},
        {QStringLiteral("EMAIL_NOT_FOUND"), {"该邮箱未注册", "該電郵未註冊", "Email not registered"}},
        {QStringLiteral("RATE_LIMIT_IP"), {"请求过多，请一小时后再试", "請求過多，請一小時後再試", "Too many requests — try again in an hour"}},
        {QStringLiteral("CODE_WRONG"), {"验证码错误", "驗證碼錯誤", "Incorrect code"}},
        {QStringLiteral("CODE_EXPIRED"), {"验证码已过期，请重新获取", "驗證碼已過期，請重新獲取", "Code expired — request a new one"}},
        {QStringLiteral("TOO_MANY_TRIES"), {"尝试次数过多，请重新获取验证码", "嘗試次數過多，請重新獲取驗證碼", "Too many attempts — request a new code"}},
        {QStringLiteral("INVALID_PASSWORD"), {"密码不合法", "密碼不合法", "Invalid password"}},
        {QStringLiteral("NICKNAME_REQUIRED"), {"请填写昵称", "請填寫暱稱", "Nickname required"}},
    };
    const bool zhHK = lang == QLatin1String("zh-HK");
    const bool zh = lang == QLatin1String("zh");
    if (code == QLatin1String("RATE_LIMIT_EMAIL")) {
        const QString n = QString::number(retryAfter.value_or(60));
        if (zhHK)
            return QStringLiteral("發送太頻繁，") + n + QStringLiteral(" 秒後再試");
        if (zh)
            return QStringLiteral("发送太频繁，") + n + QStringLiteral(" 秒后再试");
        return QStringLiteral("Too frequent — retry in ") + n + QStringLiteral("s");
    }
    const auto it = table.constFind(code);
    if (it == table.constEnd())
        return raw;
    return QString::fromUtf8(zhHK ? it->zhHK : zh ? it->zh : it->en);
}

} // namespace ChatApi
