#include "app/Context.h"

#include <QDateTime>
#include <QDir>

qint64 Context::now() const
{
    return options.clock ? options.clock() : QDateTime::currentMSecsSinceEpoch();
}

QString Context::dataPath(const QString &name) const
{
    return QDir(options.dataDir).filePath(name);
}
