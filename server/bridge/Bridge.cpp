#include "bridge/Bridge.h"

#include "core/Args.h"
#include "core/Secure.h"
#include "core/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

Bridge::Bridge(Context &ctx) : m_ctx(ctx), m_crashLimit(60, 3600 * 1000) {}

QString Bridge::roomToken(const QString &userID, const QString &roomID) const
{
    const qint64 now = m_ctx.now() / 1000;
    const QByteArray header = Secure::base64Url(R"({"alg":"HS256","typ":"JWT"})");
    const QJsonObject claims{{QStringLiteral("iss"), QStringLiteral("sarvo")},
                             {QStringLiteral("sub"), userID},
                             {QStringLiteral("room"), roomID},
                             {QStringLiteral("iat"), now},
                             {QStringLiteral("exp"), now + kRoomLifetimeMs / 1000}};
    const QByteArray payload = Secure::base64Url(QJsonDocument(claims).toJson(QJsonDocument::Compact));
    const QByteArray signingInput = header + '.' + payload;
    const QByteArray key = Secure::hmacSha256(m_ctx.secret, "room-token");
    return QString::fromLatin1(signingInput + '.' + Secure::base64Url(Secure::hmacSha256(key, signingInput)));
}

QJsonObject Bridge::callAnswer(const Caller &caller, const QString &roomID) const
{
    QUrl ws(caller.origin);
    ws.setScheme(QStringLiteral("wss"));
    ws.setPath(QStringLiteral("/rtc"));
    return {{QStringLiteral("roomID"), roomID},
            {QStringLiteral("lkToken"), roomToken(caller.userID, roomID)},
            {QStringLiteral("wsUrl"), ws.toString()},
            {QStringLiteral("iceServers"), QJsonArray()}};
}

QJsonObject Bridge::invite(const Caller &caller, const QJsonObject &)
{
    const Storage::Room room{QStringLiteral("r") + Secure::randomHex(16), caller.userID, {}, m_ctx.now()};
    m_ctx.store.insertRoom(room);
    return callAnswer(caller, room.id);
}

QJsonObject Bridge::accept(const Caller &caller, const QJsonObject &body)
{
    const QString roomID = Args(body).text("roomID", 64);
    const std::optional<Storage::Room> room = m_ctx.store.room(roomID);
    if (!room || m_ctx.now() - room->createdAt > kRoomLifetimeMs)
        Args::refuse(QStringLiteral("room not found or expired"), QStringLiteral("ROOM_NOT_FOUND"), 404);
    if (!room->groupID.isEmpty() && !m_ctx.store.isGroupMember(room->groupID, caller.userID))
        Args::refuse(QStringLiteral("not a member of this group"), QStringLiteral("FORBIDDEN"), 403);
    return callAnswer(caller, room->id);
}

QJsonObject Bridge::groupInvite(const Caller &caller, const QJsonObject &body)
{
    const QString groupID = Args(body).text("groupID", 64);
    if (!m_ctx.store.isGroupMember(groupID, caller.userID))
        Args::refuse(QStringLiteral("not a member of this group"), QStringLiteral("FORBIDDEN"), 403);
    const Storage::Room room{QStringLiteral("r") + Secure::randomHex(16), caller.userID, groupID, m_ctx.now()};
    m_ctx.store.insertRoom(room);
    return callAnswer(caller, room.id);
}

bool Bridge::validPublicKey(const QString &base64)
{
    // A 65-byte uncompressed P-256 point that lies on the curve.
    const auto result = QByteArray::fromBase64Encoding(base64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray *decoded = &result.decoded;
    if (!result || decoded->size() != 65 || decoded->at(0) != 0x04)
        return false;
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, decoded->constData(), static_cast<size_t>(decoded->size()));
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY *pkey = nullptr;
    bool ok = ctx && params && EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_PKEY_CTX *check = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
        ok = check && EVP_PKEY_public_check(check) == 1;
        EVP_PKEY_CTX_free(check);
    }
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}

QJsonObject Bridge::publishKey(const Caller &caller, const QJsonObject &body)
{
    const Args args(body);
    const QString pubKey = args.text("pubKey", 128);
    const QString deviceID = args.text("deviceID", 64, false, QStringLiteral("legacy"));
    static const QRegularExpression idPattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    if (!idPattern.match(deviceID).hasMatch())
        Args::refuse(QStringLiteral("\"deviceID\" must be 1 to 64 letters, digits, '-' or '_'"));
    if (!validPublicKey(pubKey))
        Args::refuse(QStringLiteral("\"pubKey\" must be a base64 uncompressed P-256 public key"), QStringLiteral("INVALID_KEY"));
    m_ctx.store.putDeviceKey(caller.userID, deviceID, pubKey, m_ctx.now(), kMaxDevices);
    return {{QStringLiteral("ok"), true}};
}

QJsonObject Bridge::getKeys(const Caller &, const QJsonObject &body)
{
    const QStringList ids = Args(body).textList("userIDs", 256, 64);
    const QHash<QString, QList<Storage::DeviceKey>> found = m_ctx.store.deviceKeys(ids);
    QJsonObject devices, keys;
    for (const QString &id : ids) {
        QJsonArray list;
        for (const Storage::DeviceKey &k : found.value(id))
            list.append(QJsonObject{{QStringLiteral("deviceID"), k.deviceID}, {QStringLiteral("pubKey"), k.pubKey}});
        devices.insert(id, list);
        // Older clients read one key per user: the most recently published one.
        if (!found.value(id).isEmpty())
            keys.insert(id, found.value(id).first().pubKey);
    }
    return {{QStringLiteral("devices"), devices}, {QStringLiteral("keys"), keys}};
}

QJsonObject Bridge::crashReport(const QJsonObject &body, const QHostAddress &peer)
{
    if (!m_crashLimit.hit(peer.toString(), m_ctx.now()))
        Args::refuse(QStringLiteral("too many crash reports"), QStringLiteral("RATE_LIMIT_IP"), 429);
    // Every field is optional text; overlong ones are cut rather than losing the report.
    auto field = [&](const char *key, qsizetype max) {
        const QJsonValue v = body.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isNull() && !v.isString())
            Args::refuse(QStringLiteral("\"%1\" must be text").arg(QLatin1String(key)));
        return v.toString().left(max);
    };
    Storage::CrashReport r;
    r.platform = field("platform", 32);
    r.version = field("version", 32);
    r.userID = field("userID", 64);
    r.error = field("error", 4096);
    r.stack = field("stack", 65536);
    r.extra = field("extra", 8192);
    r.peer = peer.toString();
    r.receivedAt = m_ctx.now();
    m_ctx.store.insertCrashReport(r);
    Log::warn("crash_report", {{"platform", r.platform}, {"version", r.version}, {"user", r.userID}, {"error", r.error.left(200)}});
    return {{QStringLiteral("ok"), true}};
}
