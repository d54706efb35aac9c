#include "app/AppState.h"

#include "app/SessionStore.h"
#include "base/Error.h"
#include "e2e/E2E.h"
#include "im/IMService.h"

#include <QPointer>

AppState &AppState::shared()
{
    static AppState *state = new AppState(IMService::shared(), [](QString imToken, QString userID) -> QCoro::Task<void> {
        // Key trouble never fails a sign-in.
        try {
            co_await E2E::shared().ensureKeys(imToken, userID);
        } catch (const Error &) {
        }
    });
    return *state;
}

AppState::AppState(IMService &im, EnsureKeys ensureKeys, QObject *parent)
    : QObject(parent), m_im(im), m_ensureKeys(std::move(ensureKeys))
{
}

void AppState::setCredentials(std::optional<Credentials> credentials)
{
    if (m_credentials == credentials)
        return;
    m_credentials = std::move(credentials);
    emit credentialsChanged();
}

void AppState::setBootError(std::optional<QString> error)
{
    if (m_bootError == error)
        return;
    m_bootError = std::move(error);
    emit bootErrorChanged();
}

void AppState::boot()
{
    if (!m_im.setup()) {
        setBootError(QString::fromUtf8(kSdkInitFailed));
        return;
    }
    setCredentials(SessionStore::load());
    if (m_credentials)
        signIn(*m_credentials, true);
}

void AppState::applyLogin(const ChatApi::LoginResult &result, const QString &nickname)
{
    const Credentials credentials{result.userID, result.imToken, result.chatToken, nickname};
    SessionStore::save(credentials);
    setCredentials(credentials);
    signIn(credentials, false);
}

QCoro::Task<void> AppState::signIn(Credentials credentials, bool atStart)
{
    QPointer<AppState> self(this);
    // A sign-in's answer belongs to the session that asked; a sign-out or another sign-in since then
    // makes it stale, and a stale answer must not touch the session that now exists.
    const quint64 session = ++m_session;
    auto stale = [&] { return !self || m_session != session; };
    std::optional<QString> failure;
    try {
        co_await m_im.login(credentials.userID, credentials.imToken);
    } catch (const Error &e) {
        failure = e.message();
    }
    if (stale())
        co_return;
    if (!failure) {
        co_await m_ensureKeys(credentials.imToken, credentials.userID);
        co_return;
    }
    setBootError(failure);
    if (atStart) {
        // A refused stored token: forget it so the next start shows the sign-in screen.
        SessionStore::remove();
        setCredentials(std::nullopt);
    }
}

void AppState::logout()
{
    ++m_session;
    [](IMService *im) -> QCoro::Task<void> { co_await im->logout(); }(&m_im);
    SessionStore::remove();
    setCredentials(std::nullopt);
    setBootError(std::nullopt);
}
