#pragma once

#include <QHostAddress>
#include <QString>

// Who is asking: the authenticated user and where the request came in.
struct Caller {
    QString userID;
    QString origin; // "https://host:port" as the client reached us
    QHostAddress peer;
    QString headerToken; // the IM API's "token" header, until it is resolved to userID
};
