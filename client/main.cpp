#include "app/CrashHandler.h"
#include "app/SingleInstance.h"
#include "base/KeychainBackend.h"
#include "base/Profile.h"
#include "base/SecretBackend.h"
#include "base/Vault.h"
#include "ui/app/Shell.h"
#include "ui/common/Style.h"

#include <QApplication>
#include <QTimer>
#include <qcoro/qcorotask.h>

int main(int argc, char **argv)
{
    Shell::prepare();
    QApplication app(argc, argv);
    if (const std::optional<int> exit = Shell::configure(app))
        return *exit;

    // One window per profile: a second start brings the running one to the front.
    SingleInstance instance(Profile::instanceKey());
    if (!instance.claim())
        return 0;

    {
        // Secrets in the preferences are sealed under a key kept in the desktop keyring (or an
        // owner-only file without one): find it before anything reads the session. The event
        // loop runs meanwhile, and a keyring that does not answer is given up on.
        KeychainBackend keyring(QStringLiteral("Sarvo"));
        FileSecretBackend file(Profile::appDataDir());
        QCoro::waitFor(Vault::shared().open(keyring, file));
    }

    DesktopAppearance appearance;
    MacMainWindow window(Shell::services());
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, &MacMainWindow::bringToFront);
    window.show();
    // What a fatal signal left behind last time.
    QTimer::singleShot(0, [] { CrashHandler::postPending(CrashHandler::defaultReportPath()); });
    return app.exec();
}
