#include "im/Records.h"

#include "base/Json.h"

using Json::str;

namespace Records {

QString singleConversationID(const QString &a, const QString &b)
{
    return QLatin1String("si_") + (a < b ? a + QLatin1Char('_') + b : b + QLatin1Char('_') + a);
}

QString convKey(const QJsonObject &c)
{
    const QString id = str(c, QLatin1String("conversationID"));
    if (!id.isEmpty())
        return id;
    const QString group = str(c, QLatin1String("groupID"));
    if (!group.isEmpty())
        return QLatin1String("sg_") + group;
    return str(c, QLatin1String("userID"));
}

QString showName(const QJsonObject &c)
{
    for (const char *key : {"showName", "userID", "groupID"}) {
        const QString v = str(c, QLatin1String(key));
        if (!v.isEmpty())
            return v;
    }
    return {};
}

qint64 unread(const QJsonObject &c)
{
    return Json::integer(c, QLatin1String("unreadCount"));
}

QJsonObject latestMsgDict(const QJsonObject &c)
{
    return Json::parseObject(str(c, QLatin1String("latestMsg")).toUtf8());
}

static QString friendMember(const QJsonObject &f, QLatin1StringView key)
{
    const QString top = str(f, key);
    return !top.isEmpty() ? top : str(Json::obj(f, QLatin1String("friendInfo")), key);
}

QString fUserID(const QJsonObject &f)
{
    return friendMember(f, QLatin1String("userID"));
}

QString fFace(const QJsonObject &f)
{
    return friendMember(f, QLatin1String("faceURL"));
}

QString fName(const QJsonObject &f)
{
    const QString top = str(f, QLatin1String("nickname"));
    if (!top.isEmpty())
        return top;
    const QString nested = str(Json::obj(f, QLatin1String("friendInfo")), QLatin1String("nickname"));
    if (!nested.isEmpty())
        return nested;
    return fUserID(f);
}

} // namespace Records
