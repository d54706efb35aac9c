#include "ui/app/Shell.h"

#include "app/AppState.h"
#include "app/CrashHandler.h"
#include "app/MacNotify.h"
#include "base/Clock.h"
#include "base/Profile.h"
#include "base/ServiceConfig.h"
#include "calls/CallManager.h"
#include "im/IMService.h"
#include "ui/common/Style.h"

#include <QApplication>
#include <cstdio>

namespace Shell {

void prepare()
{
    QApplication::setOrganizationName(QStringLiteral("Sarvo"));
    QApplication::setApplicationName(QStringLiteral("Sarvo"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sarvo"));
    // Fractional scale factors as the screen has them: sharp text and icons on HiDPI screens.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

std::optional<int> configure(QApplication &app)
{
    const QStringList arguments = app.arguments();
    QString error;
    const std::optional<QString> profile = Profile::fromArguments(arguments, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "sarvo: %s\n", qPrintable(error));
        return 2;
    }
    // Before anything reads the preferences.
    Profile::setCurrent(profile.value_or(QString()));
    const QStringList errors = ServiceConfig::current().applyArguments(arguments);
    for (const QString &e : errors)
        std::fprintf(stderr, "sarvo: %s\n", qPrintable(e));
    if (!errors.isEmpty())
        return 2;

    CrashHandler::install(CrashHandler::defaultReportPath());
    AppState &state = AppState::shared();
    QObject::connect(&state, &AppState::credentialsChanged, &state, [&state] {
        CrashHandler::setUserID(state.credentials() ? state.credentials()->userID : QString());
    });

    Style::install(app, DesktopAppearance::initialDark());
    app.setQuitOnLastWindowClosed(false);
    return std::nullopt;
}

MacShellServices services()
{
    return MacShellServices{IMService::shared(), AppState::shared(), MacNotify::shared(), Clock::system(),
                            [](const QString &userID, const QString &imToken) {
                                CallManager::shared().bind(userID, imToken);
                            }};
}

} // namespace Shell
