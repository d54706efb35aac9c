#include "core/MessageFactory.h"

#include "base/Json.h"
#include "core/Codes.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QUuid>

namespace ImSdk {

namespace {

// Members the server sets; a forwarded copy starts without them.
const char *const kServerMembers[] = {"serverMsgID", "conversationID", "recvID", "groupID", "sessionType", "seq",
                                      "globalSeq", "sendTime", "senderNickname", "senderFaceUrl", "isRead", "status"};

QJsonObject picture(const QString &uuid, const QString &type, qint64 size, int width, int height)
{
    return {{QStringLiteral("uuid"), uuid}, {QStringLiteral("type"), type}, {QStringLiteral("size"), size},
            {QStringLiteral("width"), width}, {QStringLiteral("height"), height}, {QStringLiteral("url"), QString()}};
}

} // namespace

QString MessageFactory::newClientMsgID()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

QJsonObject MessageFactory::base(int contentType) const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return {{QStringLiteral("clientMsgID"), newClientMsgID()},
            {QStringLiteral("createTime"), now},
            {QStringLiteral("sendTime"), now},
            {QStringLiteral("sendID"), m_sendID},
            {QStringLiteral("senderPlatformID"), m_platformID},
            {QStringLiteral("contentType"), contentType},
            {QStringLiteral("status"), 1}};
}

QJsonObject MessageFactory::text(const QString &text) const
{
    QJsonObject m = base(ContentType::Text);
    m.insert(QStringLiteral("textElem"), QJsonObject{{QStringLiteral("content"), text}});
    return m;
}

QJsonObject MessageFactory::image(const QString &path) const
{
    const QFileInfo info(path);
    QImageReader reader(path);
    const QSize size = reader.size();
    const QString type = QMimeDatabase().mimeTypeForFile(info).name();
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QJsonObject source = picture(uuid, type, info.size(), size.width() > 0 ? size.width() : 0, size.height() > 0 ? size.height() : 0);
    QJsonObject m = base(ContentType::Picture);
    m.insert(QStringLiteral("pictureElem"), QJsonObject{{QStringLiteral("sourcePath"), path},
                                                        {QStringLiteral("sourcePicture"), source},
                                                        {QStringLiteral("bigPicture"), source},
                                                        {QStringLiteral("snapshotPicture"), source}});
    return m;
}

QJsonObject MessageFactory::file(const QString &path, const QString &fileName) const
{
    const QFileInfo info(path);
    QJsonObject m = base(ContentType::File);
    m.insert(QStringLiteral("fileElem"), QJsonObject{{QStringLiteral("filePath"), path},
                                                     {QStringLiteral("fileName"), fileName.isEmpty() ? info.fileName() : fileName},
                                                     {QStringLiteral("fileSize"), info.size()},
                                                     {QStringLiteral("sourceUrl"), QString()}});
    return m;
}

QJsonObject MessageFactory::sound(const QString &path, qint64 durationSeconds) const
{
    QJsonObject m = base(ContentType::Sound);
    m.insert(QStringLiteral("soundElem"), QJsonObject{{QStringLiteral("soundPath"), path},
                                                      {QStringLiteral("duration"), durationSeconds},
                                                      {QStringLiteral("dataSize"), QFileInfo(path).size()},
                                                      {QStringLiteral("sourceUrl"), QString()}});
    return m;
}

QJsonObject MessageFactory::custom(const QString &data, const QString &extension, const QString &description) const
{
    QJsonObject m = base(ContentType::Custom);
    m.insert(QStringLiteral("customElem"), QJsonObject{{QStringLiteral("data"), data},
                                                       {QStringLiteral("extension"), extension},
                                                       {QStringLiteral("description"), description}});
    return m;
}

std::optional<QJsonObject> MessageFactory::quote(const QString &text, const QByteArray &quotedJSON) const
{
    const QJsonObject quoted = Json::parseObject(quotedJSON);
    if (quoted.isEmpty())
        return std::nullopt;
    QJsonObject m = base(ContentType::Quote);
    m.insert(QStringLiteral("quoteElem"), QJsonObject{{QStringLiteral("text"), text}, {QStringLiteral("quoteMessage"), quoted}});
    return m;
}

std::optional<QJsonObject> MessageFactory::forward(const QByteArray &messageJSON) const
{
    QJsonObject m = Json::parseObject(messageJSON);
    if (m.isEmpty() || !m.value(QLatin1String("contentType")).isDouble())
        return std::nullopt;
    for (const char *member : kServerMembers)
        m.remove(QLatin1String(member));
    const QJsonObject fresh = base(int(Json::integer(m, QLatin1String("contentType"))));
    for (auto it = fresh.begin(); it != fresh.end(); ++it)
        m.insert(it.key(), it.value());
    return m;
}

} // namespace ImSdk
