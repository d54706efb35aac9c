#pragma once

#include <QString>

namespace MediaUrl {

// Media is fetched over HTTPS only: a leading "http://" in any letter case becomes
// "https://"; the rest of the text is kept as it is. Anything else is returned unchanged.
QString httpsUpgraded(const QString &url);

} // namespace MediaUrl
