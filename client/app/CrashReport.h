#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The body posted to the bridge's "/crash/report".
namespace CrashReport {

inline constexpr const char *kPlatform = "linux";
inline constexpr const char *kVersion = "1.0.0";

// `name` and `reason` of the exception (reason may be empty), `stack` its symbol lines.
QJsonObject body(const QString &userID, const QString &name, const QString &reason, const QStringList &stack);

} // namespace CrashReport
