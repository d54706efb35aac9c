#include "l10n/L10n.h"

#include "base/Broadcast.h"
#include "base/Preferences.h"
#include "l10n/StringTable.h"

#include <QLocale>
#include <QMutex>
#include <QSettings>

namespace {

// One long-lived preferences object: a fresh QSettings costs a file check per lookup, while
// this one still sees at once what any other QSettings of the process writes. Guarded because
// QSettings objects are not thread-safe.
struct LangPreferences {
    QMutex lock;
    std::unique_ptr<QSettings> store = Preferences::open();
    QSettings &settings = *store;
};

LangPreferences &preferences()
{
    static LangPreferences *const prefs = new LangPreferences;
    return *prefs;
}

std::function<QStringList()> &languagesSource()
{
    static std::function<QStringList()> source;
    return source;
}

QHash<QString, QString> toMap(std::span<const StringEntry> rows)
{
    QHash<QString, QString> map;
    map.reserve(qsizetype(rows.size()));
    for (const StringEntry &row : rows)
        map.insert(QString::fromUtf8(row.key), QString::fromUtf8(row.text));
    return map;
}

} // namespace

QStringList L10n::codes()
{
    return {kEn, kZh, kZhHK};
}

bool L10n::isSupported(const QString &code)
{
    return code == kEn || code == kZh || code == kZhHK;
}

QString L10n::lang()
{
    LangPreferences &prefs = preferences();
    QMutexLocker locker(&prefs.lock);
    const QVariant stored = prefs.settings.value(kStoreKey);
    locker.unlock();
    if (stored.typeId() == QMetaType::QString) {
        const QString code = stored.toString();
        if (isSupported(code))
            return code;
    }
    return systemDefault();
}

void L10n::setLang(const QString &code)
{
    const QString chosen = isSupported(code) ? code : QString(kEn);
    {
        LangPreferences &prefs = preferences();
        QMutexLocker locker(&prefs.lock);
        prefs.settings.setValue(kStoreKey, chosen);
        Preferences::commit(prefs.settings);
    }
    Broadcast::post(kAnnouncement, chosen);
}

QString L10n::systemDefault()
{
    const auto &source = languagesSource();
    return systemDefault(source ? source() : QLocale::system().uiLanguages());
}

QString L10n::systemDefault(const QStringList &preferred)
{
    const QString first = preferred.isEmpty() ? QString(kEn) : preferred.first().toLower();
    if (!first.startsWith(u"zh"))
        return kEn;
    if (first.startsWith(u"zh-hk") || first.startsWith(u"zh-tw") || first.startsWith(u"zh-mo")
        || first.contains(u"hant"))
        return kZhHK;
    return kZh;
}

void L10n::setPreferredLanguagesSource(std::function<QStringList()> source)
{
    languagesSource() = std::move(source);
}

const L10n::Tables &L10n::tables()
{
    static const Tables built{toMap(StringTable::en()), toMap(StringTable::zh()), toMap(StringTable::zhHK())};
    return built;
}

QString L10n::lookup(const Tables &tables, const QString &lang, const QString &key)
{
    // Every chain is a tail of this one: zh-HK, then Simplified, then English.
    const QHash<QString, QString> *const order[] = {&tables.zhHK, &tables.zh, &tables.en};
    const std::size_t from = lang == kZhHK ? 0 : lang == kZh ? 1 : 2;
    for (const auto *map : std::span(order).subspan(from)) {
        if (const auto it = map->constFind(key); it != map->cend())
            return *it;
    }
    return key;
}

QString L10n::t(const QString &key)
{
    return lookup(tables(), lang(), key);
}
