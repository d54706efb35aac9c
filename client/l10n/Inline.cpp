#include "l10n/Inline.h"

#include "l10n/L10n.h"

QString L10n::pick(const char *zh, const char *zhHK, const char *en)
{
    return pick(lang(), zh, zhHK, en);
}

QString L10n::pick(const QString &lang, const char *zh, const char *zhHK, const char *en)
{
    if (lang == kZhHK)
        return QString::fromUtf8(zhHK);
    if (lang == kZh)
        return QString::fromUtf8(zh);
    return QString::fromUtf8(en);
}

QString L10n::pick(const QString &zh, const QString &zhHK, const QString &en)
{
    const QString current = lang();
    if (current == kZhHK)
        return zhHK;
    return current == kZh ? zh : en;
}
