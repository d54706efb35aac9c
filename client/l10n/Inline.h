#pragma once

#include <QString>

namespace L10n {

// A text a screen carries inline in its three forms, chosen by the current language:
// "zh" the Simplified, "zh-HK" the Traditional Chinese, anything else the English text.
QString pick(const char *zh, const char *zhHK, const char *en);
QString pick(const QString &lang, const char *zh, const char *zhHK, const char *en);
QString pick(const QString &zh, const QString &zhHK, const QString &en);

} // namespace L10n
