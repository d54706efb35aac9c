// The client's readers of records from the SDK and the server: the defensive JSON helpers and
// the conversation, friend and user readers built on them.
#include "FuzzSupport.h"
#include "base/Json.h"
#include "im/Records.h"

#include <cmath>

namespace {

void readEveryMember(const QJsonObject &o)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString key = it.key();
        const QByteArray latin = key.toLatin1();
        // The readers take Latin-1 names; a key outside it cannot be asked for by name.
        if (QString::fromLatin1(latin) != key)
            continue;
        const QLatin1StringView name(latin);
        (void)Json::str(o, name);
        (void)Json::obj(o, name);
        (void)Json::arr(o, name);
        (void)Json::boolean(o, name);
        (void)Json::integer(o, name);
        const QString text = Json::text(o, name);
        const double d = it.value().toDouble();
        if (Json::isInteger(it.value()) && std::abs(d) < 9007199254740992.0)
            Fuzz::check(text == QString::number(qint64(d)), "an integer reads in decimal without a fraction");
        bool ok = false;
        (void)Json::objectList(it.value(), &ok);
    }
}

void readRecord(const QJsonObject &o)
{
    readEveryMember(o);
    const QString key = Records::convKey(o);
    (void)Records::showName(o);
    (void)Records::unread(o);
    readEveryMember(Records::latestMsgDict(o));
    (void)Records::fUserID(o);
    (void)Records::fFace(o);
    (void)Records::fName(o);
    (void)Records::singleConversationID(key, Records::fUserID(o));
    Fuzz::check(Json::parseObject(Json::compact(o)) == o, "a record survives its own serialisation");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = Fuzz::bytes(data, size);
    readRecord(Json::parseObject(text));
    for (const QJsonObject &o : Json::parseObjectArray(text))
        readRecord(o);
    return 0;
}
