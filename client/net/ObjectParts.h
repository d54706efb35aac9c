#pragma once

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <optional>

// The pure parts of the IM API's multipart object protocol, shared by the client's upload and
// our IM SDK's (built hidden, like the JSON readers, so each binary keeps its own copy).
namespace ObjectParts {

inline constexpr qint64 kDefaultMinPartSize = 5242880;
inline constexpr qint64 kDefaultMaxParts = 10000;
// Parts signed per auth_sign request.
inline constexpr qint64 kSignBatch = 20;

struct Plan {
    qint64 size = 0;
    qint64 partSize = 1;
    qint64 partCount = 1;
};

// Part arithmetic for `size` bytes under the server's limits; none when the limits are zero,
// negative or their product leaves 64 bits.
std::optional<Plan> plan(qint64 size, qint64 minPartSize, qint64 maxParts);

// The descriptor of part `n` (1-based) among the sign's "parts"; a part number that is not a
// usable integer never matches.
std::optional<QJsonObject> findPart(const QJsonObject &sign, qint64 n);

// Where part data goes: the descriptor's URL (else the sign's) with the query entries of the
// sign and then the descriptor merged in; none for a missing or relative URL.
std::optional<QUrl> partUrl(const QJsonObject &sign, const QJsonObject &descriptor);

// The header entries of the sign and then the descriptor, as (name, first value).
QList<QPair<QString, QString>> partHeaders(const QJsonObject &sign, const QJsonObject &descriptor);

} // namespace ObjectParts
