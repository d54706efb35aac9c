#pragma once

#include "net/BridgeApi.h"

#include <QDateTime>
#include <QString>
#include <optional>

enum class CallDir { incoming, outgoing };
enum class CallStatus { calling, ringing, active };

// One call, copied and republished whole on every change.
struct CallState {
    CallDir dir = CallDir::outgoing;
    QString peerID;
    QString peerNick;
    QString peerFace;
    std::optional<QString> roomID;
    QString callType;
    CallStatus status = CallStatus::calling;
    std::optional<QString> lkToken;
    std::optional<QString> wsUrl;
    QList<BridgeApi::IceServerDef> iceServers;
    bool isGroup = false;
    QString groupID;
    std::optional<qint64> activeAt; // ms since 1970
    bool peerE2EE = false;
    std::optional<QString> e2eeKey;
};
