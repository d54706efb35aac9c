#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// A named profile lets several people use one machine: each has its own preferences scope
// (session, language, keys), its own IM SDK data directory and its own running instance.
// The default profile (empty name) uses the plain locations.
namespace Profile {

// Letters, digits, "-" and "_", 1 to 32 characters.
bool isValidName(const QString &name);

// The value of "--profile NAME" or "--profile=NAME"; none when absent. A missing or invalid
// name sets `error` and returns none.
std::optional<QString> fromArguments(const QStringList &arguments, QString *error);

// Set once at start, before any preferences are read.
void setCurrent(const QString &name);
QString current();

// The preferences store's application name: "Sarvo", or "Sarvo-NAME".
QString settingsName();
// Relative to the user's data directory: "Mirelo/openim", or "Mirelo/profiles/NAME/openim".
QString imDataSubdir();
// The per-profile application data directory (crash files).
QString appDataDir();
// The name of the single-instance socket, unique per user and profile.
QString instanceKey();

} // namespace Profile
