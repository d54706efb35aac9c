#include "app/SessionStore.h"
#include "base/KeychainBackend.h"
#include "base/Preferences.h"
#include "base/Profile.h"
#include "base/SecretBackend.h"
#include "base/Vault.h"
#include "e2e/PrefsStore.h"
#include "support/FakeSecretBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const Credentials kAnn{"u1", "im-token-7f3a", "chat-token-91c2", "Ann"};
const QString kPriv = QStringLiteral("cHJpdmF0ZS1rZXktYnl0ZXMtZm9yLXRoZS10ZXN0");
const QByteArray kSession = R"({"rk":"cm9vdC1rZXktbWF0ZXJpYWw="})";
const QByteArray kPlaintexts = R"({"order":["m1"],"map":{"m1":"meet at noon"}})";

// What an earlier version left in the preferences: every secret in clear text.
void storeLegacySecrets()
{
    auto s = Preferences::open();
    s->setValue(QStringLiteral("mirelo_session"), kAnn.toJson());
    s->setValue(QStringLiteral("mirelo_e2e_priv"), kPriv);
    s->setValue(QStringLiteral("mirelo_e2e_pub"), QStringLiteral("public-key"));
    s->setValue(QStringLiteral("mirelo_e2e_pin:u2"), QStringLiteral(R"({"dev":"pinned-key"})"));
    s->setValue(QStringLiteral("mirelo_e2e2_sess:u2#dev"), kSession);
    s->setValue(QStringLiteral("mirelo_e2e2_pt"), kPlaintexts);
    s->setValue(QStringLiteral("mirelo_lang"), QStringLiteral("en"));
    Preferences::commit(*s);
}

QByteArray preferencesFile()
{
    QFile file(Preferences::open()->fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every secret of storeLegacySecrets() as it could appear in the file.
QList<QByteArray> secretTexts()
{
    return {"im-token-7f3a", "chat-token-91c2", kPriv.toLatin1(), "cm9vdC1rZXktbWF0ZXJpYWw", "meet at noon"};
}

unsigned modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class VaultTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }
    void TearDown() override { fresh(); }

    void fresh()
    {
        Vault::shared().reset();
        auto s = Preferences::open();
        s->clear();
        Preferences::commit(*s);
    }

    Vault::State open() { return QCoro::waitFor(Vault::shared().open(keyring, file)); }

    // A later start of the client: the same preferences and key holders.
    Vault::State restart()
    {
        Vault::shared().reset();
        return open();
    }

    FakeSecretBackend keyring;
    QTemporaryDir dataDir;
    FileSecretBackend file{dataDir.filePath("profile")};
};

TEST_F(VaultTest, MovesStoredSecretsUnderAKeyInTheKeyringOrTheOwnerOnlyFile)
{
    struct Case {
        const char *name;
        bool keyringFails;
        Vault::Holder holder;
    };
    for (const Case &c : {Case{"keyring", false, Vault::Holder::Keyring}, Case{"no keyring", true, Vault::Holder::File}}) {
        SCOPED_TRACE(c.name);
        fresh();
        keyring.items.clear();
        keyring.failing = c.keyringFails;
        QFile::remove(file.filePath(Vault::itemName()));
        storeLegacySecrets();

        ASSERT_EQ(open(), Vault::State::Open);
        EXPECT_EQ(Vault::shared().holder(), c.holder);
        EXPECT_EQ(keyring.items.contains(Vault::itemName()), !c.keyringFails);
        EXPECT_EQ(QFile::exists(file.filePath(Vault::itemName())), c.keyringFails);

        const QByteArray stored = preferencesFile();
        for (const QByteArray &secret : secretTexts())
            EXPECT_FALSE(stored.contains(secret)) << "still in the preferences: " << secret.constData();
        EXPECT_TRUE(stored.contains("pinned-key")) << "what is not secret stays as it was";

        // The same values come back through the stores that use them, now and after a restart.
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(SessionStore::load(), kAnn);
            SettingsStore e2eStore;
            EXPECT_EQ(e2eStore.text(QStringLiteral("mirelo_e2e_priv")), kPriv);
            EXPECT_EQ(e2eStore.text(QStringLiteral("mirelo_e2e_pub")), QStringLiteral("public-key"));
            EXPECT_EQ(e2eStore.bytes(QStringLiteral("mirelo_e2e2_sess:u2#dev")), kSession);
            EXPECT_EQ(e2eStore.bytes(QStringLiteral("mirelo_e2e2_pt")), kPlaintexts);
            EXPECT_EQ(e2eStore.text(QStringLiteral("mirelo_lang")), QStringLiteral("en"));
            ASSERT_EQ(restart(), Vault::State::Open);
            EXPECT_EQ(Vault::shared().holder(), c.holder);
        }
    }
}

TEST_F(VaultTest, FallbackFileAndItsDirectoryAreTheOwnersAlone)
{
    keyring.failing = true;
    const mode_t old = ::umask(0);
    const Vault::State state = open();
    ::umask(old);
    ASSERT_EQ(state, Vault::State::Open);
    EXPECT_EQ(modeOf(file.filePath(Vault::itemName())), 0600u);
    EXPECT_EQ(modeOf(dataDir.filePath("profile")), 0700u);
}

TEST_F(VaultTest, NewSecretsAreSealedWhenWritten)
{
    ASSERT_EQ(open(), Vault::State::Open);
    SessionStore::save(kAnn);
    SettingsStore e2eStore;
    e2eStore.setText(QStringLiteral("mirelo_e2e_priv"), kPriv);
    e2eStore.setBytes(QStringLiteral("mirelo_e2e2_sess:u2#dev"), kSession);

    const QByteArray stored = preferencesFile();
    for (const QByteArray &secret : secretTexts().mid(0, 4))
        EXPECT_FALSE(stored.contains(secret)) << secret.constData();
    EXPECT_EQ(SessionStore::load(), kAnn);
    EXPECT_EQ(e2eStore.bytes(QStringLiteral("mirelo_e2e2_sess:u2#dev")), kSession);
}

TEST_F(VaultTest, NothingIsLostWhenNoKeyCanBeStored)
{
    keyring.failing = true;
    FileSecretBackend unwritable(QStringLiteral("/proc/sarvo-no-such-dir"));
    storeLegacySecrets();

    EXPECT_EQ(QCoro::waitFor(Vault::shared().open(keyring, unwritable)), Vault::State::Unavailable);
    EXPECT_EQ(SessionStore::load(), kAnn);
    EXPECT_EQ(SettingsStore().text(QStringLiteral("mirelo_e2e_priv")), kPriv);
    EXPECT_TRUE(preferencesFile().contains("im-token-7f3a")) << "left as it was rather than dropped";

    // A later start with a keyring seals them then.
    keyring.failing = false;
    ASSERT_EQ(restart(), Vault::State::Open);
    EXPECT_FALSE(preferencesFile().contains("im-token-7f3a"));
    EXPECT_EQ(SessionStore::load(), kAnn);
}

TEST_F(VaultTest, AnUnreachableKeyLeavesSealedSecretsUntouchedForALaterStart)
{
    storeLegacySecrets();
    ASSERT_EQ(open(), Vault::State::Open);
    const QVariant sealedSession = Preferences::open()->value(QStringLiteral("mirelo_session"));

    for (bool keyringDown : {true, false}) {
        SCOPED_TRACE(keyringDown ? "keyring not answering" : "keyring item gone");
        const QHash<QString, QByteArray> saved = keyring.items;
        keyring.failing = keyringDown;
        if (!keyringDown)
            keyring.items.clear();

        ASSERT_EQ(restart(), Vault::State::Locked);
        EXPECT_FALSE(SessionStore::load());
        SessionStore::save({"u9", "other", "other", "Eve"});
        SettingsStore e2eStore;
        EXPECT_FALSE(e2eStore.text(QStringLiteral("mirelo_e2e_priv")));
        EXPECT_FALSE(e2eStore.text(QStringLiteral("mirelo_e2e_pub"))) << "the pair reads as absent together";
        e2eStore.setText(QStringLiteral("mirelo_e2e_priv"), QStringLiteral("new-private"));
        e2eStore.setText(QStringLiteral("mirelo_e2e_pub"), QStringLiteral("new-public"));
        EXPECT_EQ(Preferences::open()->value(QStringLiteral("mirelo_session")), sealedSession);
        EXPECT_FALSE(preferencesFile().contains("new-public")) << "no new public key next to the old private one";
        EXPECT_FALSE(QFile::exists(file.filePath(Vault::itemName()))) << "no second key next to the first";

        keyring.failing = false;
        keyring.items = saved;
        ASSERT_EQ(restart(), Vault::State::Open);
        EXPECT_EQ(SessionStore::load(), kAnn);
        EXPECT_EQ(SettingsStore().text(QStringLiteral("mirelo_e2e_pub")), QStringLiteral("public-key"));
    }
}

TEST_F(VaultTest, SealedValuesOnlyOpenUnderTheirOwnName)
{
    storeLegacySecrets();
    ASSERT_EQ(open(), Vault::State::Open);
    auto s = Preferences::open();
    const QVariant sealed = s->value(QStringLiteral("mirelo_e2e2_sess:u2#dev"));
    ASSERT_TRUE(Vault::isSealed(sealed));

    const QString tampered = sealed.toString().left(sealed.toString().size() - 4) + QStringLiteral("AAAA");
    s->setValue(QStringLiteral("mirelo_e2e2_sess:u3#dev"), sealed);
    s->setValue(QStringLiteral("mirelo_e2e2_sess:u4#dev"), tampered);
    s->setValue(QStringLiteral("mirelo_e2e2_sess:u5#dev"), QStringLiteral("sealed1:%%%"));
    Preferences::commit(*s);

    SettingsStore e2eStore;
    for (const char *key : {"mirelo_e2e2_sess:u3#dev", "mirelo_e2e2_sess:u4#dev", "mirelo_e2e2_sess:u5#dev"})
        EXPECT_FALSE(e2eStore.bytes(QString::fromLatin1(key))) << key;
    EXPECT_EQ(e2eStore.bytes(QStringLiteral("mirelo_e2e2_sess:u2#dev")), kSession);
}

TEST_F(VaultTest, EachProfileHasItsOwnKey)
{
    storeLegacySecrets();
    ASSERT_EQ(open(), Vault::State::Open);
    Profile::setCurrent(QStringLiteral("bob"));
    storeLegacySecrets();
    ASSERT_EQ(restart(), Vault::State::Open);
    fresh();
    Profile::setCurrent(QString());

    EXPECT_EQ(keyring.items.size(), 2);
    EXPECT_TRUE(keyring.items.contains(QStringLiteral("storage-key-default")));
    EXPECT_TRUE(keyring.items.contains(QStringLiteral("storage-key-bob")));
    EXPECT_NE(keyring.items.value(QStringLiteral("storage-key-default")), keyring.items.value(QStringLiteral("storage-key-bob")));
}

TEST(KeychainBackend, FailsCleanlyWithoutASessionBus)
{
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/sarvo-test-bus");
    KeychainBackend keyring(QStringLiteral("SarvoTest"), std::chrono::seconds(20));
    EXPECT_EQ(QCoro::waitFor(keyring.read(QStringLiteral("storage-key-default"))).status, SecretBackend::Status::Failed);
    EXPECT_FALSE(QCoro::waitFor(keyring.write(QStringLiteral("storage-key-default"), "x")));
    qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
}

// Run by with_secret_service.sh, which starts a keyring of its own; skipped anywhere else.
TEST_F(VaultTest, SecretServiceKeepsTheKey)
{
    if (qEnvironmentVariableIsEmpty("SARVO_TEST_SECRET_SERVICE"))
        GTEST_SKIP() << "no Secret Service started for this run";
    KeychainBackend real(QStringLiteral("SarvoTest"));
    const QString item = QStringLiteral("probe-%1").arg(QCoreApplication::applicationPid());
    ASSERT_TRUE(QCoro::waitFor(real.write(item, QByteArray("one\0two", 7))));
    const SecretBackend::Read back = QCoro::waitFor(real.read(item));
    EXPECT_EQ(back.status, SecretBackend::Status::Found);
    EXPECT_EQ(back.value, QByteArray("one\0two", 7));
    EXPECT_EQ(QCoro::waitFor(real.read(item + "-never-written")).status, SecretBackend::Status::Missing);

    storeLegacySecrets();
    for (int run = 0; run < 2; ++run) {
        Vault::shared().reset();
        ASSERT_EQ(QCoro::waitFor(Vault::shared().open(real, file)), Vault::State::Open);
        EXPECT_EQ(Vault::shared().holder(), Vault::Holder::Keyring);
        EXPECT_EQ(SessionStore::load(), kAnn);
    }
    EXPECT_FALSE(QFile::exists(file.filePath(Vault::itemName())));
    EXPECT_FALSE(preferencesFile().contains("im-token-7f3a"));
}

} // namespace
