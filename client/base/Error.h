#pragma once

#include <QString>
#include <exception>

// The one error value of the client: thrown across co_await, shown to the user by its message.
class Error : public std::exception {
public:
    Error(QString domain, int code, QString message)
        : m_domain(std::move(domain)), m_code(code), m_message(std::move(message)),
          m_utf8(m_message.toUtf8()) {}

    const QString &domain() const noexcept { return m_domain; }
    int code() const noexcept { return m_code; }
    // User-facing description, shown unchanged by screens.
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_domain;
    int m_code;
    QString m_message;
    QByteArray m_utf8;
};
