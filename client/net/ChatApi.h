#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

// Account flows: password sign-in on the chat API; e-mail codes, registration and reset on the
// bridge. Every success ends in a LoginResult.
namespace ChatApi {

struct LoginResult {
    QString userID;
    QString imToken;
    QString chatToken;
    bool operator==(const LoginResult &) const = default;
};

// The desktop client's platform number.
inline constexpr int kPlatform = 4;

// Removes tabs and Unicode space separators from both ends; line breaks stay.
QString trim(const QString &text);
// Trimmed and lower-cased.
QString normaliseEmail(const QString &email);
// Passwords leave the client only as the MD5 hex of their UTF-8 bytes.
QString md5(const QString &password);

// Chat API request: a fresh "operationID" header, "token" only when given; no envelope check.
QCoro::Task<QJsonObject> post(QString path, QJsonObject body, std::optional<QString> token = std::nullopt);
// Bridge account request: an "error" string fails with the mapped message.
QCoro::Task<QJsonObject> bridgeAuth(QString path, QJsonObject body);

QCoro::Task<LoginResult> loginAccount(QString account, QString password, int platform = kPlatform);
QCoro::Task<void> sendEmailCode(QString email, QString purpose);
// ("register" is a C++ keyword.)
QCoro::Task<LoginResult> registerAccount(QString email, QString code, QString password, QString nickname,
                                         int platform = kPlatform);
// None when the password changed but the server did not sign the user in.
QCoro::Task<std::optional<LoginResult>> emailReset(QString email, QString code, QString password, int platform = kPlatform);

// The user-facing text of a bridge error code in the current (or given) UI language.
QString authMessage(const QString &code, const QString &raw, std::optional<qint64> retryAfter);
QString authMessage(const QString &code, const QString &raw, std::optional<qint64> retryAfter, const QString &lang);

// The chat API envelope around a LoginResult; failures throw APIError.
LoginResult parse(const QJsonObject &answer);
// Bridge answers carry the three fields at the top level.
LoginResult loginResultFromBridge(const QJsonObject &answer);

} // namespace ChatApi
