#include "im/Protocol.h"

#include "base/Json.h"

#include <QDateTime>
#include <QJsonDocument>

using Json::str;

namespace Protocol {

namespace {

// contentType as an integer, or none when it is missing, not a number or fractional.
std::optional<qint64> contentType(const QJsonObject &m)
{
    const QJsonValue v = m.value(QLatin1String("contentType"));
    if (!Json::isInteger(v))
        return std::nullopt;
    return Json::integer(m, QLatin1String("contentType"));
}

// The payload object of a custom message, or none.
std::optional<QJsonObject> customPayload(const QJsonObject &m)
{
    if (contentType(m) != kCustomContentType)
        return std::nullopt;
    const QJsonValue elem = m.value(QLatin1String("customElem"));
    if (!elem.isObject())
        return std::nullopt;
    const QJsonValue data = elem.toObject().value(QLatin1String("data"));
    if (!data.isString())
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(data.toString().toUtf8());
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

const QSet<QString> &terminalSignals()
{
    static const QSet<QString> set{QStringLiteral("hangup"), QStringLiteral("cancel"), QStringLiteral("timeout"),
                                   QStringLiteral("reject"), QStringLiteral("busy"), QStringLiteral("ginvite")};
    return set;
}

QString json(const QJsonObject &object)
{
    const QByteArray text = Json::compact(object);
    return text.isEmpty() ? QStringLiteral("{}") : QString::fromUtf8(text);
}

std::optional<Custom> parseCustom(const QJsonObject &message)
{
    const auto payload = customPayload(message);
    if (!payload)
        return std::nullopt;
    const QString kind = str(*payload, QLatin1String("mireloType"));
    if (kind.isEmpty())
        return std::nullopt;
    return Custom{kind, *payload};
}

std::optional<ReactionEvt> parseReaction(const QJsonObject &message)
{
    const auto custom = parseCustom(message);
    if (!custom || custom->kind != QLatin1String("reaction"))
        return std::nullopt;
    const QJsonObject &p = custom->payload;
    ReactionEvt e;
    e.targetClientMsgID = str(p, QLatin1String("targetClientMsgID"));
    e.emoji = str(p, QLatin1String("emoji"));
    if (e.targetClientMsgID.isEmpty() || e.emoji.isEmpty())
        return std::nullopt;
    const QJsonValue op = p.value(QLatin1String("op"));
    e.op = op.isString() ? op.toString() : QStringLiteral("add");
    e.sender = str(message, QLatin1String("sendID"));
    return e;
}

void applyReaction(ReactionMap &map, const ReactionEvt &event)
{
    QHash<QString, QSet<QString>> inner = map.value(event.targetClientMsgID);
    QSet<QString> users = inner.value(event.emoji);
    if (event.op == QLatin1String("remove"))
        users.remove(event.sender);
    else
        users.insert(event.sender);
    if (users.isEmpty())
        inner.remove(event.emoji);
    else
        inner.insert(event.emoji, users);
    map.insert(event.targetClientMsgID, inner);
}

QString buildReaction(const QString &targetClientMsgID, const QString &emoji, const QString &op)
{
    return json(QJsonObject{
        {QStringLiteral("mireloType"), QStringLiteral("reaction")},
        {QStringLiteral("targetClientMsgID"), targetClientMsgID},
        {QStringLiteral("emoji"), emoji},
        {QStringLiteral("op"), op},
        {QStringLiteral("ts"), nowMs()},
    });
}

QString buildEdit(const QString &targetClientMsgID, const QString &newText)
{
    return json(QJsonObject{
        {QStringLiteral("mireloType"), QStringLiteral("edit")},
        {QStringLiteral("targetClientMsgID"), targetClientMsgID},
        {QStringLiteral("newText"), newText},
        {QStringLiteral("ts"), nowMs()},
    });
}

std::optional<CallSignal> visibleCallSignal(const QJsonObject &message)
{
    const auto payload = customPayload(message);
    if (!payload)
        return std::nullopt;
    // Client payloads are never call records.
    if (!str(*payload, QLatin1String("mireloType")).isEmpty())
        return std::nullopt;
    QString signal = str(*payload, QLatin1String("mireloSignal"));
    if (signal.isEmpty())
        signal = str(*payload, QLatin1String("vexoSignal"));
    if (!terminalSignals().contains(signal))
        return std::nullopt;
    return CallSignal{signal, *payload};
}

QString callSignalLabel(const QString &signal)
{
    static const QHash<QString, QString> labels{
        {QStringLiteral("hangup"), QStringLiteral("[通话结束]")},
        {QStringLiteral("cancel"), QStringLiteral("[已取消]")},
        {QStringLiteral("timeout"), QStringLiteral("[未接听]")},
        {QStringLiteral("reject"), QStringLiteral("[已拒绝]")},
        {QStringLiteral("busy"), QStringLiteral("[忙线]")},
        {QStringLiteral("ginvite"), QStringLiteral("[群通话]")},
    };
    return labels.value(signal, QStringLiteral("[通话]"));
}

QString briefOf(const QJsonObject &message)
{
    const auto type = contentType(message);
    if (!type)
        return QStringLiteral("[消息]");
    switch (*type) {
    case 101: return str(Json::obj(message, QLatin1String("textElem")), QLatin1String("content"));
    case 102: return QStringLiteral("[图片]");
    case 103: return QStringLiteral("[语音]");
    case 104: return QStringLiteral("[视频]");
    case 105: return QStringLiteral("[文件]");
    case 110: {
        const auto custom = parseCustom(message);
        return custom && custom->kind == QLatin1String("secret") ? QStringLiteral("[密聊消息]") : QStringLiteral("[消息]");
    }
    case 114: return str(Json::obj(message, QLatin1String("quoteElem")), QLatin1String("text"));
    default: return QStringLiteral("[消息]");
    }
}

} // namespace Protocol
