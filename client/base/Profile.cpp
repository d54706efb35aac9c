#include "base/Profile.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <unistd.h>

namespace {

QString &currentName()
{
    static QString name;
    return name;
}

} // namespace

namespace Profile {

bool isValidName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,32}$"));
    return pattern.match(name).hasMatch();
}

std::optional<QString> fromArguments(const QStringList &arguments, QString *error)
{
    static const QString flag = QStringLiteral("--profile");
    std::optional<QString> found;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        QString value;
        if (arg == flag) {
            if (i + 1 >= arguments.size()) {
                if (error)
                    *error = QStringLiteral("--profile needs a name");
                return std::nullopt;
            }
            value = arguments[++i];
        } else if (arg.startsWith(flag + QLatin1Char('='))) {
            value = arg.mid(flag.size() + 1);
        } else {
            continue;
        }
        if (!isValidName(value)) {
            if (error)
                *error = QStringLiteral("--profile %1: use letters, digits, - and _ (at most 32)").arg(value);
            return std::nullopt;
        }
        found = value;
    }
    return found;
}

void setCurrent(const QString &name)
{
    currentName() = isValidName(name) ? name : QString();
}

QString current()
{
    return currentName();
}

QString settingsName()
{
    return currentName().isEmpty() ? QStringLiteral("Sarvo") : QStringLiteral("Sarvo-") + currentName();
}

QString imDataSubdir()
{
    return currentName().isEmpty() ? QStringLiteral("Mirelo/openim")
                                   : QStringLiteral("Mirelo/profiles/%1/openim").arg(currentName());
}

QString appDataDir()
{
    QDir base(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return base.filePath(currentName().isEmpty() ? QStringLiteral("Sarvo")
                                                 : QStringLiteral("Sarvo/profiles/") + currentName());
}

QString instanceKey()
{
    const QString profile = currentName().isEmpty() ? QStringLiteral("default") : currentName();
    return QStringLiteral("sarvo-%1-%2").arg(::getuid()).arg(profile);
}

} // namespace Profile
