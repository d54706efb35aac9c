#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>

// Compact JSON text of a record or a list, as the scripted IM SDK's answers and events carry it.
inline std::string json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

inline std::string json(const QJsonArray &a)
{
    return QJsonDocument(a).toJson(QJsonDocument::Compact).toStdString();
}
