#pragma once

#include <QString>
#include <QUrl>

namespace MediaUrl {

// Media is fetched over HTTPS only: a leading "http://" in any letter case becomes
// "https://"; the rest of the text is kept as it is. Anything else is returned unchanged.
QString httpsUpgraded(const QString &url);

// Where a picture is loaded from: upgraded as above; empty when the text is empty, does not
// parse, or is not an https URL with a host (no local files or other schemes).
QUrl imageUrl(const QString &url);

} // namespace MediaUrl
