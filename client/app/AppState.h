#pragma once

#include "app/Credentials.h"
#include "net/ChatApi.h"

#include <QObject>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

class IMService;

// The signed-in session: start-up sign-in, account sign-in, sign-out. Main thread only.
class AppState : public QObject {
    Q_OBJECT

public:
    // Makes sure this device's encryption keys exist and are published; never fails.
    using EnsureKeys = std::function<QCoro::Task<void>(QString imToken, QString userID)>;

    static constexpr const char *kSdkInitFailed = "OpenIM SDK 初始化失败（检查 libimsdk.so）";

    static AppState &shared();

    AppState(IMService &im, EnsureKeys ensureKeys, QObject *parent = nullptr);

    const std::optional<Credentials> &credentials() const { return m_credentials; }
    const std::optional<QString> &bootError() const { return m_bootError; }

    void boot();
    void applyLogin(const ChatApi::LoginResult &result, const QString &nickname);
    void logout();

signals:
    void credentialsChanged();
    void bootErrorChanged();

private:
    QCoro::Task<void> signIn(Credentials credentials, bool atStart);
    void setCredentials(std::optional<Credentials> credentials);
    void setBootError(std::optional<QString> error);

    IMService &m_im;
    EnsureKeys m_ensureKeys;
    std::optional<Credentials> m_credentials;
    std::optional<QString> m_bootError;
    quint64 m_session = 0; // counts sign-ins and sign-outs; a sign-in's answer applies only while it is current
};
