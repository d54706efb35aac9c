#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

// The interface language and the keyed string table.
namespace L10n {

inline constexpr QLatin1StringView kEn{"en"};
inline constexpr QLatin1StringView kZh{"zh"};      // Simplified Chinese
inline constexpr QLatin1StringView kZhHK{"zh-HK"}; // Traditional Chinese (Hong Kong)

// Preferences key of the stored choice, and the broadcast that announces a new choice.
inline constexpr QLatin1StringView kStoreKey{"mirelo_lang"};
inline constexpr QLatin1StringView kAnnouncement{"mirelo-lang"};

// The supported codes, in display order: "en", "zh", "zh-HK".
QStringList codes();
bool isSupported(const QString &code);

// The stored code when it is one of the three (exact spelling), otherwise systemDefault().
QString lang();
// Stores `code` (anything unsupported becomes "en") and then announces it.
void setLang(const QString &code);

// The text for `key` in the current language; falls back towards English and finally to the
// key itself. The stored choice is read on every call, so a change applies at once.
QString t(const QString &key);

// The language that fits the platform's preferred UI languages.
QString systemDefault();
// The rule itself: only the first preferred language counts.
QString systemDefault(const QStringList &preferred);

// Replaces where systemDefault() reads the platform's preferred languages (tests); an empty
// function restores QLocale::system().uiLanguages().
void setPreferredLanguagesSource(std::function<QStringList()> source);

// The table as maps, one per language, built once.
struct Tables {
    QHash<QString, QString> en;
    QHash<QString, QString> zh;
    QHash<QString, QString> zhHK;
};
const Tables &tables();
// The lookup chain of one language over the given maps.
QString lookup(const Tables &tables, const QString &lang, const QString &key);

} // namespace L10n
