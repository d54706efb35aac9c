#include "base/MediaUrl.h"

QString MediaUrl::httpsUpgraded(const QString &url)
{
    static const QLatin1StringView plain("http://");
    if (!url.startsWith(plain, Qt::CaseInsensitive))
        return url;
    return QStringLiteral("https://") + url.mid(plain.size());
}

QUrl MediaUrl::imageUrl(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QUrl url(httpsUpgraded(text), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"https" || url.host().isEmpty())
        return {};
    return url;
}
