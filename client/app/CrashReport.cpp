#include "app/CrashReport.h"

namespace CrashReport {

QJsonObject body(const QString &userID, const QString &name, const QString &reason, const QStringList &stack)
{
    return QJsonObject{
        {QStringLiteral("platform"), QLatin1String(kPlatform)},
        {QStringLiteral("version"), QLatin1String(kVersion)},
        {QStringLiteral("userID"), userID},
        {QStringLiteral("error"), name + QStringLiteral(": ") + reason},
        {QStringLiteral("stack"), stack.join(QLatin1Char('\n'))},
        {QStringLiteral("extra"), QString()},
    };
}

} // namespace CrashReport
