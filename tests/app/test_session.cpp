#include "app/CrashReport.h"
#include "app/SessionStore.h"
#include "base/Preferences.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

void storeRaw(const QByteArray &bytes)
{
    auto s = Preferences::open();
    s->setValue(SessionStore::kKey, bytes);
    Preferences::commit(*s);
}

QVariant raw()
{
    return Preferences::open()->value(SessionStore::kKey);
}

TEST(SessionStore, RoundTripsAndReplaces)
{
    SessionStore::save({"u1", "im1", "chat1", "Ann"});
    SessionStore::save({"u2", "", "", ""});
    EXPECT_EQ(SessionStore::load(), (Credentials{"u2", "", "", ""}));
    EXPECT_EQ(raw().typeId(), QMetaType::QByteArray) << "stored as a binary value";

    auto s = Preferences::open();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(s->fileName()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    SessionStore::remove();
    EXPECT_FALSE(SessionStore::load());
}

TEST(SessionStore, IncompleteRecordsLoadAsNoneAndStay)
{
    for (const QByteArray &bad : {QByteArray(R"({"userID":"u","imToken":"i","nickname":"n"})"),
                                 QByteArray(R"({"userID":"u","imToken":"i","chatToken":1,"nickname":"n"})"),
                                 QByteArray("not json"), QByteArray("[]")}) {
        storeRaw(bad);
        EXPECT_FALSE(SessionStore::load()) << bad.constData();
        EXPECT_EQ(raw().toByteArray(), bad) << "a failed load leaves the value in place";
    }
    storeRaw(R"({"userID":"u","imToken":"i","chatToken":"c","nickname":"n","extra":1})");
    EXPECT_EQ(SessionStore::load(), (Credentials{"u", "i", "c", "n"}));
    SessionStore::remove();
}

TEST(CrashReportBody, Members)
{
    EXPECT_EQ(CrashReport::body("u1", "std::runtime_error", "", {"#0 a", "#1 b"}),
              (QJsonObject{{"platform", "linux"}, {"version", "1.0.0"}, {"userID", "u1"}, {"error", "std::runtime_error: "},
                           {"stack", "#0 a\n#1 b"}, {"extra", ""}}));
}

} // namespace
