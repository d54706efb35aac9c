#include "app/CrashHandler.h"
#include "app/SingleInstance.h"
#include "base/Profile.h"
#include "ui/app/Shell.h"
#include "ui/common/Style.h"

#include <QApplication>
#include <QTimer>

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

    DesktopAppearance appearance;
    MacMainWindow window(Shell::services());
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, &MacMainWindow::bringToFront);
    window.show();
    // What a fatal signal left behind last time.
    QTimer::singleShot(0, [] { CrashHandler::postPending(CrashHandler::defaultReportPath()); });
    return app.exec();
}
