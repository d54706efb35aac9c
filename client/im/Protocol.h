#pragma once

#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <optional>

// The client's custom-message payloads (reactions, edits, secret envelopes, call signals) and
// the one-line preview of any message. Pure functions; the field names are a wire format.
namespace Protocol {

inline constexpr int kCustomContentType = 110;

struct Custom {
    QString kind;        // mireloType
    QJsonObject payload;
};

struct ReactionEvt {
    QString targetClientMsgID;
    QString emoji;
    QString op;
    QString sender;
};

struct CallSignal {
    QString signal;
    QJsonObject payload;
};

// target clientMsgID -> emoji -> user IDs
using ReactionMap = QHash<QString, QHash<QString, QSet<QString>>>;

const QSet<QString> &terminalSignals();

// Compact JSON text; "{}" if it cannot be serialised.
QString json(const QJsonObject &object);

std::optional<Custom> parseCustom(const QJsonObject &message);
std::optional<ReactionEvt> parseReaction(const QJsonObject &message);
void applyReaction(ReactionMap &map, const ReactionEvt &event);

// Payload texts, stamped with the current time; pass them to createCustom with
// "mirelo-reaction" / "mirelo-edit".
QString buildReaction(const QString &targetClientMsgID, const QString &emoji, const QString &op);
QString buildEdit(const QString &targetClientMsgID, const QString &newText);

std::optional<CallSignal> visibleCallSignal(const QJsonObject &message);
QString callSignalLabel(const QString &signal);
QString briefOf(const QJsonObject &message);

} // namespace Protocol
