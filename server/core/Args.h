#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

// A refused request: the HTTP status, the message shown to the user, and for the bridge a
// machine-readable code (plus extra members such as "retryAfter").
struct Failure {
    int status = 400;
    QString message;
    QString code;
    QJsonObject extra;
};

// Strict readers for request bodies: a member of the wrong type or size is refused with a clear
// message instead of being read as empty.
class Args {
public:
    explicit Args(const QJsonObject &body) : m_body(body) {}

    const QJsonObject &body() const { return m_body; }
    bool has(const char *key) const { return m_body.contains(QLatin1String(key)); }

    // A text of at most maxLength characters; absent reads as `fallback` unless required.
    QString text(const char *key, qsizetype maxLength, bool required = true, const QString &fallback = {}) const;
    // An integral number in [min, max].
    qint64 integer(const char *key, qint64 min, qint64 max, std::optional<qint64> fallback = std::nullopt) const;
    QStringList textList(const char *key, qsizetype maxItems, qsizetype maxLength, bool required = true) const;
    QList<qint64> integerList(const char *key, qsizetype maxItems, qint64 min, qint64 max) const;

    [[noreturn]] static void refuse(const QString &message, const QString &code = QStringLiteral("BAD_REQUEST"), int status = 400);

private:
    QJsonObject m_body;
};
