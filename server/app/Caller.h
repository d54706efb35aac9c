#pragma once

#include <QHostAddress>
#include <QString>

// Who is asking: the authenticated user and where the request came in.
struct Caller {
    // Not an aggregate, for the same g++ 12 co_await reason as Http::Request.
    Caller() = default;
    Caller(QString user, QString from, QHostAddress address, QString token)
        : userID(std::move(user)), origin(std::move(from)), peer(std::move(address)), headerToken(std::move(token)) {}

    QString userID;
    QString origin; // "https://host:port" as the client reached us
    QHostAddress peer;
    QString headerToken; // the IM API's "token" header, until it is resolved to userID
};
