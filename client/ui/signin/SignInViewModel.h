#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <optional>
#include <qcoro/qcorotask.h>

class AppState;
class Clock;

// The sign-in form: three modes over one set of fields, local validation, the code button's
// resend countdown, and the account calls that end in AppState::applyLogin. Main thread.
class SignInViewModel : public QObject {
    Q_OBJECT

public:
    // ("register" is a C++ keyword.)
    enum class Mode { login, signUp, reset };
    enum class Field { account, password, nickname, email, code };
    enum class Link { toSignUp, toLogin, toReset };

    static constexpr int kCountdownSeconds = 60;

    SignInViewModel(AppState &app, Clock &clock, QObject *parent = nullptr);

    Mode mode() const { return m_mode; }
    const QString &account() const { return m_account; }
    const QString &email() const { return m_email; }
    const QString &code() const { return m_code; }
    const QString &password() const { return m_password; }
    const QString &nickname() const { return m_nickname; }
    int countdown() const { return m_countdown; }
    bool sending() const { return m_sending; }
    bool busy() const { return m_busy; }
    const std::optional<QString> &err() const { return m_err; }
    const std::optional<QString> &notice() const { return m_notice; }

    void setField(Field field, const QString &value);
    QString field(Field field) const;

    // Validation; lengths count user-perceived characters.
    static bool emailLooksValid(const QString &email);
    bool formValid() const;
    bool primaryEnabled() const { return !m_busy && formValid(); }
    bool codeEnabled() const { return !m_sending && m_countdown < 1 && emailLooksValid(m_email); }

    // The fields of the current mode in order, and which are hidden input.
    QList<Field> fields() const;
    static bool isSecret(Field field) { return field == Field::password; }
    QList<Link> links() const;

    // Texts in the current interface language.
    QString placeholder(Field field) const;
    QString primaryTitle() const;
    // Empty while `sending` (the button shows a progress indicator instead).
    QString codeButtonLabel() const;
    static QString linkText(Link link);

    void switchMode(Mode mode);
    void follow(Link link);
    // The code for the current mode's purpose ("register" or "reset").
    QCoro::Task<void> sendCode();
    QCoro::Task<void> sendCode(QString purpose);
    QCoro::Task<void> submit();

signals:
    void changed();

private:
    QCoro::Task<void> runCountdown(int generation);

    AppState &m_app;
    Clock &m_clock;
    Mode m_mode = Mode::login;
    QString m_account;
    QString m_email;
    QString m_code;
    QString m_password;
    QString m_nickname;
    int m_countdown = 0;
    int m_countdownGeneration = 0;
    bool m_sending = false;
    bool m_busy = false;
    std::optional<QString> m_err;
    std::optional<QString> m_notice;
};
