#include "base/Broadcast.h"
#include "l10n/L10n.h"
#include "l10n/LangStore.h"
#include "l10n/StringTable.h"
#include "support/EventLoop.h"
#include "support/TestSettings.h"

#include <QSet>
#include <gtest/gtest.h>

namespace {

class L10nTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings().clear();
        platform({"en-US"});
    }
    void TearDown() override { L10n::setPreferredLanguagesSource({}); }

    static TestSettings &settings()
    {
        static TestSettings instance;
        return instance;
    }
    static void platform(const QStringList &languages)
    {
        L10n::setPreferredLanguagesSource([languages] { return languages; });
    }
    static void store(const QString &code)
    {
        auto settings = Preferences::open();
        settings->setValue(L10n::kStoreKey, code);
        Preferences::commit(*settings);
    }
};

} // namespace

TEST(L10nRules, SystemDefaultFromPreferredLanguages)
{
    const struct {
        QStringList preferred;
        const char *expected;
    } cases[] = {
        {{"zh-Hant-TW"}, "zh-HK"}, {{"zh-Hans-CN"}, "zh"}, {{"zh-HK"}, "zh-HK"},   {{"fr-FR"}, "en"},
        {{}, "en"},                {{"ZH-TW"}, "zh-HK"},   {{"zh-MO"}, "zh-HK"},   {{"zh_Hant"}, "zh-HK"},
        {{"zh"}, "zh"},            {{"zh-SG"}, "zh"},      {{"en-GB", "zh-HK"}, "en"}, {{"C"}, "en"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(L10n::systemDefault(c.preferred), c.expected) << c.preferred.join(',').toStdString();
}

TEST(L10nRules, LookupChainsFallBackTowardsEnglishThenTheKey)
{
    const L10n::Tables tables{
        {{"all", "A-en"}, {"zhAndEn", "B-en"}, {"enOnly", "C-en"}},
        {{"all", "A-zh"}, {"zhAndEn", "B-zh"}},
        {{"all", "A-hk"}},
    };
    const struct {
        const char *lang, *key, *expected;
    } cases[] = {
        {"zh-HK", "all", "A-hk"}, {"zh-HK", "zhAndEn", "B-zh"}, {"zh-HK", "enOnly", "C-en"}, {"zh-HK", "nope", "nope"},
        {"zh", "all", "A-zh"},    {"zh", "zhAndEn", "B-zh"},    {"zh", "enOnly", "C-en"},    {"zh", "nope", "nope"},
        {"en", "all", "A-en"},    {"en", "zhAndEn", "B-en"},    {"en", "enOnly", "C-en"},    {"en", "nope", "nope"},
        {"de", "all", "A-en"},    {"ZH", "zhAndEn", "B-en"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(L10n::lookup(tables, c.lang, c.key), c.expected) << c.lang << " " << c.key;
}

TEST(L10nTable, EveryLanguageHasTheSameKeysOnceWithText)
{
    const auto keysOf = [](std::span<const StringEntry> rows, const char *lang) {
        QSet<QString> keys;
        for (const StringEntry &row : rows) {
            const QString key = QString::fromUtf8(row.key);
            EXPECT_FALSE(key.isEmpty()) << lang;
            EXPECT_FALSE(QString::fromUtf8(row.text).trimmed().isEmpty()) << lang << " " << row.key;
            EXPECT_FALSE(keys.contains(key)) << lang << " has " << row.key << " twice";
            keys.insert(key);
        }
        return keys;
    };
    const QSet<QString> en = keysOf(StringTable::en(), "en");
    EXPECT_EQ(en.size(), 407);
    EXPECT_EQ(keysOf(StringTable::zh(), "zh"), en);
    EXPECT_EQ(keysOf(StringTable::zhHK(), "zh-HK"), en);
}

TEST_F(L10nTest, TextsFollowTheStoredLanguage)
{
    const struct {
        const char *lang, *key, *expected;
    } cases[] = {
        {"zh", "login", "登录"},
        {"zh-HK", "login", "登入"},
        {"en", "login", "Log in"},
        {"en", "recalledAMessage", " recalled a message"},
        {"zh-HK", "previewVideo", "[影片]"},
        {"zh", "langZhHK", "繁體中文（香港）"},
        {"zh", "noSuchKey", "noSuchKey"},
        {"zh-HK", "noSuchKey", "noSuchKey"},
        {"en", "noSuchKey", "noSuchKey"},
    };
    for (const auto &c : cases) {
        store(c.lang);
        EXPECT_EQ(L10n::t(c.key), QString::fromUtf8(c.expected)) << c.lang << " " << c.key;
    }
}

TEST_F(L10nTest, NothingOrSomethingUnsupportedStoredMeansThePlatformLanguage)
{
    const struct {
        const char *stored; // nullptr: nothing stored
        QStringList platform;
        const char *expected;
    } cases[] = {
        {nullptr, {"zh-Hant-TW"}, "zh-HK"},
        {nullptr, {"zh-Hans-CN"}, "zh"},
        {nullptr, {"fr-FR"}, "en"},
        {"ZH", {"fr-FR"}, "en"},
        {"zh-hk", {"zh-Hans-CN"}, "zh"},
        {"", {"zh-HK"}, "zh-HK"},
        {"zh-HK", {"fr-FR"}, "zh-HK"},
    };
    for (const auto &c : cases) {
        settings().clear();
        if (c.stored)
            store(c.stored);
        platform(c.platform);
        EXPECT_EQ(L10n::lang(), c.expected) << (c.stored ? c.stored : "(none)");
    }
}

TEST_F(L10nTest, WritingStoresThenAnnouncesASupportedCode)
{
    QStringList announced;
    QObject receiver;
    QObject::connect(&Broadcast::center(), &Broadcast::posted, &receiver,
                     [&](const QString &name, const QVariant &object) {
                         if (name == "mirelo-lang") {
                             // The announcement comes after the code is stored.
                             EXPECT_EQ(Preferences::open()->value("mirelo_lang").toString(), object.toString());
                             announced << object.toString();
                         }
                     });
    for (const char *code : {"zh-HK", "de", "zh", "", "ZH"})
        L10n::setLang(code);
    EXPECT_EQ(announced, QStringList({"zh-HK", "en", "zh", "en", "en"}));
    EXPECT_EQ(L10n::lang(), "en");
}

TEST_F(L10nTest, LangStoreFollowsTextAnnouncementsOnly)
{
    store("zh");
    LangStore langStore;
    EXPECT_EQ(langStore.lang(), "zh");
    QStringList seen;
    QObject::connect(&langStore, &LangStore::langChanged, [&](const QString &code) { seen << code; });

    Broadcast::post("mirelo-lang", 42);
    Broadcast::post("other", QStringLiteral("en"));
    Broadcast::post("mirelo-lang", QVariant());
    Broadcast::post("mirelo-lang", QStringLiteral("zh-HK"));
    EXPECT_EQ(langStore.lang(), "zh") << "delivered later, on the event loop";
    ASSERT_TRUE(spinUntil([&] { return langStore.lang() == "zh-HK"; }));
    EXPECT_EQ(seen, QStringList({"zh-HK"}));

    langStore.setLang("de");
    EXPECT_EQ(langStore.lang(), "en");
    EXPECT_EQ(Preferences::open()->value("mirelo_lang").toString(), "en");
}
