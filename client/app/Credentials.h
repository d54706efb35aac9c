#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The signed-in user.
struct Credentials {
    QString userID;
    QString imToken;
    QString chatToken;
    QString nickname;

    bool operator==(const Credentials &) const = default;

    QByteArray toJson() const;
    // All four members must be strings; unknown members are ignored.
    static std::optional<Credentials> fromJson(const QByteArray &json);
};
