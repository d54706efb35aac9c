#include "base/MediaUrl.h"

QString MediaUrl::httpsUpgraded(const QString &url)
{
    static const QLatin1StringView plain("http://");
    if (!url.startsWith(plain, Qt::CaseInsensitive))
        return url;
    return QStringLiteral("https://") + url.mid(plain.size());
}
