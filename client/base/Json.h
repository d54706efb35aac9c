#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// Defensive readers for records from the SDK and the server: a missing member or one of the
// wrong type reads as empty (empty text, 0, false, empty object) and never fails.
namespace Json {

QString str(const QJsonObject &o, QLatin1StringView key);
QJsonObject obj(const QJsonObject &o, QLatin1StringView key);
QJsonArray arr(const QJsonObject &o, QLatin1StringView key);
bool boolean(const QJsonObject &o, QLatin1StringView key);
// A number read as an integer, fractions truncated toward zero; anything else is 0.
qint64 integer(const QJsonObject &o, QLatin1StringView key);
// The text form of a member: a string as it is, a number in decimal (integers without a
// fraction), anything else empty.
QString text(const QJsonObject &o, QLatin1StringView key);
QString text(const QJsonValue &v);
// True only for a JSON number without a fractional part.
bool isInteger(const QJsonValue &v);

// Parse helpers: undecodable text or the wrong top-level shape gives the empty value.
QJsonObject parseObject(const QByteArray &text);
// Only an array whose every element is an object counts; anything else is an empty list.
QList<QJsonObject> parseObjectArray(const QByteArray &text);
QList<QJsonObject> objectList(const QJsonValue &v, bool *ok = nullptr);

// Compact serialisation.
QByteArray compact(const QJsonObject &o);
QByteArray compact(const QJsonArray &a);

} // namespace Json
