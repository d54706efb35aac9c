#include "ServerFixture.h"

#include "app/CrashReport.h"
#include "cli/Commands.h"
#include "core/Secure.h"
#include "net/BridgeApi.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <sqlite3.h>

namespace {

using BridgeCalls = ServerTest;

// A fresh base64 X9.63 P-256 public key.
QString publicKey()
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    unsigned char buf[65];
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, buf, sizeof buf, &len);
    EVP_PKEY_free(key);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(buf), static_cast<int>(len)).toBase64());
}

TEST_F(BridgeCalls, KeyDirectoryPerDevice)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    const ChatApi::LoginResult bob = registerUser("bob@example.org");
    const QString k1 = publicKey(), k2 = publicKey(), k3 = publicKey(), kb = publicKey();
    auto publish = [&](const ChatApi::LoginResult &who, QJsonObject extra) {
        return await(BridgeApi::feature("/keys/publish", who.imToken, who.userID, extra));
    };
    ASSERT_FALSE(publish(ann, {{"pubKey", k1}, {"deviceID", "aaaaaaaaaaaaaaaaaaaaaaaa"}}).error);
    advance(1000);
    ASSERT_FALSE(publish(ann, {{"pubKey", k2}, {"deviceID", "bbbbbbbbbbbbbbbbbbbbbbbb"}}).error);
    advance(1000);
    ASSERT_FALSE(publish(ann, {{"pubKey", k3}, {"deviceID", "aaaaaaaaaaaaaaaaaaaaaaaa"}}).error); // rotation replaces
    ASSERT_FALSE(publish(bob, {{"pubKey", kb}}).error);                                          // no device id: legacy

    const auto keys = await(BridgeApi::keysDevices(bob.imToken, bob.userID, {ann.userID, bob.userID, "1234567890"}));
    ASSERT_FALSE(keys.error);
    const QList<DeviceKey> annKeys{{"aaaaaaaaaaaaaaaaaaaaaaaa", k3}, {"bbbbbbbbbbbbbbbbbbbbbbbb", k2}};
    EXPECT_EQ(keys.value->value(ann.userID), annKeys);
    EXPECT_EQ(keys.value->value(bob.userID), QList<DeviceKey>({{"legacy", kb}}));
    EXPECT_TRUE(keys.value->contains("1234567890"));
    EXPECT_TRUE(keys.value->value("1234567890").isEmpty());
    const QJsonObject rawAnswer = bridge("/keys/get", as(bob, {{"userIDs", QJsonArray{ann.userID}}}));
    EXPECT_EQ(rawAnswer.value("keys").toObject().value(ann.userID), k3);

    const QString bad[] = {"", "AAAA", QString(QByteArray(65, '\x04').toBase64()), k1.left(40)};
    for (const QString &key : bad) {
        const auto r = publish(ann, {{"pubKey", key}, {"deviceID", "cccccccccccccccccccccccc"}});
        ASSERT_TRUE(r.error) << key.toStdString();
    }
    const auto badDevice = publish(ann, {{"pubKey", k1}, {"deviceID", "../../x"}});
    EXPECT_TRUE(badDevice.error);
}

TEST_F(BridgeCalls, CallRooms)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    const ChatApi::LoginResult bob = registerUser("bob@example.org");
    const ChatApi::LoginResult eve = registerUser("eve@example.org");

    const auto invite = await(BridgeApi::invite(ann.imToken, ann.userID));
    ASSERT_FALSE(invite.error);
    EXPECT_FALSE(invite.value->roomID.isEmpty());
    EXPECT_EQ(invite.value->lkToken.count('.'), 2);
    EXPECT_EQ(invite.value->wsUrl, QStringLiteral("wss://127.0.0.1:%1/rtc").arg(local->port()));
    EXPECT_TRUE(invite.value->iceServers.isEmpty());

    const auto accept = await(BridgeApi::accept(bob.imToken, bob.userID, invite.value->roomID));
    ASSERT_FALSE(accept.error);
    EXPECT_EQ(accept.value->roomID, invite.value->roomID);
    EXPECT_NE(accept.value->lkToken, invite.value->lkToken);
    EXPECT_TRUE(await(BridgeApi::accept(bob.imToken, bob.userID, "r-unknown")).error);

    // Groups: only members open or join a group room.
    QString groupOut, errText;
    QTextStream out(&groupOut), err(&errText);
    // Administration works beside the running service.
    ASSERT_EQ(Cli::run({"add-group", "--data", dir.filePath("data"), "--name", "Team", "--owner", ann.userID, "--members",
                        ann.userID + "," + bob.userID},
                       out, err),
              0)
        << errText.toStdString();
    const QString groupID = groupOut.trimmed().split('\n').last();
    const auto group = await(BridgeApi::groupInvite(bob.imToken, bob.userID, groupID));
    ASSERT_FALSE(group.error) << group.error->message().toStdString();
    EXPECT_FALSE(await(BridgeApi::accept(ann.imToken, ann.userID, group.value->roomID)).error);
    const auto outsider = await(BridgeApi::accept(eve.imToken, eve.userID, group.value->roomID));
    ASSERT_TRUE(outsider.error);
    EXPECT_EQ(outsider.error->message(), "not a member of this group");
    EXPECT_TRUE(await(BridgeApi::groupInvite(eve.imToken, eve.userID, groupID)).error);

    advance(3601 * 1000);
    EXPECT_TRUE(await(BridgeApi::accept(bob.imToken, bob.userID, invite.value->roomID)).error);
}

TEST_F(BridgeCalls, CrashReportsAreStored)
{
    const QJsonObject body = CrashReport::body("42", "SIGSEGV", "bad access", {"frame 0", "frame 1"});
    EXPECT_EQ(bridge("/crash/report", body), QJsonObject({{"ok", true}}));
    EXPECT_EQ(bridge("/crash/report", QJsonObject{{"error", QString(100000, 'x')}}), QJsonObject({{"ok", true}}));
    EXPECT_EQ(bridge("/crash/report", QJsonObject{{"stack", 5}}).value("code"), "BAD_REQUEST");

    local.reset();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(dir.filePath("data/sarvo.db").toUtf8(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT user_id, error, stack, length(error) FROM crash_reports ORDER BY id", -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "42");
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1)), "SIGSEGV: bad access");
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 2)), "frame 0\nframe 1");
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 3), 4096); // cut, not refused
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(BridgeCalls, ExpiredTokensCodesAndRoomsAreDeleted)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    ASSERT_FALSE(await(ChatApi::sendEmailCode("ann@example.org", "reset")).error);
    const auto oldRoom = await(BridgeApi::invite(ann.imToken, ann.userID));
    ASSERT_FALSE(oldRoom.error);
    const QByteArray oldToken = Secure::sha256(ann.imToken.toLatin1());

    advance(91LL * 24 * 3600 * 1000);
    const auto fresh = await(ChatApi::loginAccount("ann@example.org", "pw"));
    ASSERT_FALSE(fresh.error);
    const auto newRoom = await(BridgeApi::invite(fresh.value->imToken, ann.userID));
    ASSERT_FALSE(newRoom.error);
    // Still stored, only refused by age.
    ASSERT_TRUE(store().room(oldRoom.value->roomID));
    ASSERT_TRUE(store().tokenUser(oldToken, "im", 0));
    ASSERT_TRUE(store().lastCodeSentAt("ann@example.org"));

    local->service().purgeExpired();
    EXPECT_FALSE(store().room(oldRoom.value->roomID));
    EXPECT_FALSE(store().tokenUser(oldToken, "im", 0));
    EXPECT_FALSE(store().lastCodeSentAt("ann@example.org"));
    // What is still live stays.
    EXPECT_TRUE(store().room(newRoom.value->roomID));
    EXPECT_FALSE(await(BridgeApi::keysDevices(fresh.value->imToken, ann.userID, {ann.userID})).error);
}

} // namespace
