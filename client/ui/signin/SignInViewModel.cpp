#include "ui/signin/SignInViewModel.h"

#include "app/AppState.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "l10n/Inline.h"
#include "net/ChatApi.h"

#include <QPointer>
#include <QTextBoundaryFinder>

namespace {

qsizetype characters(const QString &text)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (graphemes.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace

SignInViewModel::SignInViewModel(AppState &app, Clock &clock, QObject *parent)
    : QObject(parent), m_app(app), m_clock(clock)
{
}

void SignInViewModel::setField(Field field, const QString &value)
{
    QString *target = nullptr;
    switch (field) {
    case Field::account: target = &m_account; break;
    case Field::password: target = &m_password; break;
    case Field::nickname: target = &m_nickname; break;
    case Field::email: target = &m_email; break;
    case Field::code: target = &m_code; break;
    }
    if (*target == value)
        return;
    *target = value;
    emit changed();
}

QString SignInViewModel::field(Field field) const
{
    switch (field) {
    case Field::account: return m_account;
    case Field::password: return m_password;
    case Field::nickname: return m_nickname;
    case Field::email: return m_email;
    case Field::code: return m_code;
    }
    return {};
}

bool SignInViewModel::emailLooksValid(const QString &email)
{
    const QString trimmed = ChatApi::trim(email);
    return trimmed.contains(QLatin1Char('@')) && trimmed.contains(QLatin1Char('.')) && characters(trimmed) >= 6;
}

bool SignInViewModel::formValid() const
{
    switch (m_mode) {
    case Mode::login:
        return !ChatApi::trim(m_account).isEmpty() && !m_password.isEmpty();
    case Mode::signUp:
        return emailLooksValid(m_email) && characters(m_code) >= 4 && characters(m_password) >= 6
            && !ChatApi::trim(m_nickname).isEmpty();
    case Mode::reset:
        return emailLooksValid(m_email) && characters(m_code) >= 4 && characters(m_password) >= 6;
    }
    return false;
}

QList<SignInViewModel::Field> SignInViewModel::fields() const
{
    switch (m_mode) {
    case Mode::login: return {Field::account, Field::password};
    case Mode::signUp: return {Field::nickname, Field::email, Field::code, Field::password};
    case Mode::reset: return {Field::email, Field::code, Field::password};
    }
    return {};
}

QList<SignInViewModel::Link> SignInViewModel::links() const
{
    if (m_mode == Mode::login)
        return {Link::toSignUp, Link::toReset};
    return {Link::toLogin};
}

QString SignInViewModel::placeholder(Field field) const
{
    switch (field) {
    case Field::account:
    case Field::email: return L10n::pick("邮箱", "電郵", "Email");
    case Field::nickname: return L10n::pick("昵称", "暱稱", "Nickname");
    case Field::code: return L10n::pick("验证码", "驗證碼", "Code");
    case Field::password:
        switch (m_mode) {
        case Mode::login: return L10n::pick("密码", "密碼", "Password");
        case Mode::signUp: return L10n::pick("设置密码", "設置密碼", "Set password");
        case Mode::reset: return L10n::pick("新密码", "新密碼", "New password");
        }
    }
    return {};
}

QString SignInViewModel::primaryTitle() const
{
    switch (m_mode) {
    case Mode::login: return L10n::pick("登录", "登入", "Sign in");
    case Mode::signUp: return L10n::pick("注册并登录", "註冊並登入", "Sign up & sign in");
    case Mode::reset: return L10n::pick("重置并登录", "重置並登入", "Reset & sign in");
    }
    return {};
}

QString SignInViewModel::codeButtonLabel() const
{
    if (m_sending)
        return {};
    if (m_countdown == 0)
        return L10n::pick("发送验证码", "發送驗證碼", "Send code");
    const QString n = QString::number(m_countdown);
    return L10n::pick(n + QStringLiteral("s 后重发"), n + QStringLiteral("s 後重發"),
                      QStringLiteral("Resend in ") + n + QLatin1Char('s'));
}

QString SignInViewModel::linkText(Link link)
{
    switch (link) {
    case Link::toSignUp: return L10n::pick("没有账号？注册", "沒有帳號？註冊", "No account? Sign up");
    case Link::toLogin: return L10n::pick("已有账号？去登录", "已有帳號？去登入", "Have an account? Sign in");
    case Link::toReset: return L10n::pick("忘记密码？", "忘記密碼？", "Forgot password?");
    }
    return {};
}

void SignInViewModel::switchMode(Mode mode)
{
    m_mode = mode;
    m_err.reset();
    m_notice.reset();
    m_code.clear();
    m_password.clear();
    emit changed();
}

void SignInViewModel::follow(Link link)
{
    switch (link) {
    case Link::toSignUp: switchMode(Mode::signUp); break;
    case Link::toLogin: switchMode(Mode::login); break;
    case Link::toReset: switchMode(Mode::reset); break;
    }
}

QCoro::Task<void> SignInViewModel::sendCode()
{
    const QString purpose = m_mode == Mode::reset ? QStringLiteral("reset") : QStringLiteral("register");
    co_await sendCode(purpose);
}

QCoro::Task<void> SignInViewModel::sendCode(QString purpose)
{
    if (!codeEnabled())
        co_return;
    QPointer<SignInViewModel> self(this);
    m_sending = true;
    m_err.reset();
    m_notice.reset();
    emit changed();
    const QString email = m_email;
    std::optional<QString> failure;
    try {
        co_await ChatApi::sendEmailCode(email, purpose);
    } catch (const Error &e) {
        failure = e.message();
    }
    if (!self)
        co_return;
    m_sending = false;
    if (failure) {
        m_err = failure;
        emit changed();
        co_return;
    }
    m_notice = L10n::pick("验证码已发送，请查收邮箱", "驗證碼已發送，請查收電郵", "Code sent — check your inbox");
    m_countdown = kCountdownSeconds;
    emit changed();
    runCountdown(++m_countdownGeneration);
}

QCoro::Task<void> SignInViewModel::runCountdown(int generation)
{
    QPointer<SignInViewModel> self(this);
    Clock &clock = m_clock;
    while (self && m_countdownGeneration == generation && m_countdown >= 1) {
        co_await clock.sleep(std::chrono::seconds(1));
        if (!self || m_countdownGeneration != generation)
            co_return;
        --m_countdown;
        emit changed();
    }
}

QCoro::Task<void> SignInViewModel::submit()
{
    if (!primaryEnabled())
        co_return;
    QPointer<SignInViewModel> self(this);
    m_busy = true;
    m_err.reset();
    m_notice.reset();
    emit changed();

    const Mode mode = m_mode;
    const QString account = m_account;
    const QString email = m_email;
    const QString code = m_code;
    const QString password = m_password;
    const QString nickname = ChatApi::trim(m_nickname);
    std::optional<QString> failure;
    std::optional<ChatApi::LoginResult> signedIn;
    QString signedInName;
    bool resetDone = false;
    try {
        switch (mode) {
        case Mode::login:
            signedIn = co_await ChatApi::loginAccount(account, password);
            signedInName = account;
            break;
        case Mode::signUp:
            signedIn = co_await ChatApi::registerAccount(email, code, password, nickname);
            signedInName = nickname;
            break;
        case Mode::reset:
            signedIn = co_await ChatApi::emailReset(email, code, password);
            resetDone = !signedIn;
            break;
        }
    } catch (const Error &e) {
        failure = e.message();
    }
    if (!self)
        co_return;

    if (failure) {
        m_err = failure;
    } else if (signedIn) {
        // The window leaves this screen at once; this model may go with it.
        m_app.applyLogin(*signedIn, signedInName);
        if (!self)
            co_return;
    } else if (resetDone) {
        switchMode(Mode::login);
        m_account = email;
        m_notice = L10n::pick("密码已重置，请用新密码登录", "密碼已重置，請用新密碼登入",
                              "Password reset — sign in with your new password");
    }
    m_busy = false;
    emit changed();
}
