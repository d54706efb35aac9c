// The client's custom-message protocol: reactions, edits, secret envelopes and call signals
// carried as JSON text inside a message, and the one-line preview of any message.
#include "FuzzSupport.h"
#include "base/Json.h"
#include "im/Protocol.h"

namespace {

void readMessage(const QJsonObject &message, Protocol::ReactionMap &reactions)
{
    (void)Protocol::parseCustom(message);
    if (const std::optional<Protocol::ReactionEvt> reaction = Protocol::parseReaction(message)) {
        Fuzz::check(!reaction->targetClientMsgID.isEmpty() && !reaction->emoji.isEmpty(), "a reaction names its target and emoji");
        Protocol::applyReaction(reactions, *reaction);
    }
    if (const std::optional<Protocol::CallSignal> signal = Protocol::visibleCallSignal(message)) {
        Fuzz::check(Protocol::terminalSignals().contains(signal->signal), "only terminal call signals are shown");
        (void)Protocol::callSignalLabel(signal->signal);
    }
    (void)Protocol::briefOf(message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = Fuzz::bytes(data, size);
    Protocol::ReactionMap reactions;
    // The input as a whole message, and as the payload text of a custom message from a peer.
    readMessage(Json::parseObject(text), reactions);
    const QJsonObject wrapped{{QStringLiteral("contentType"), Protocol::kCustomContentType},
                              {QStringLiteral("sendID"), QStringLiteral("u2")},
                              {QStringLiteral("customElem"), QJsonObject{{QStringLiteral("data"), QString::fromUtf8(text)}}}};
    readMessage(wrapped, reactions);
    for (auto it = reactions.cbegin(); it != reactions.cend(); ++it)
        for (auto emoji = it->cbegin(); emoji != it->cend(); ++emoji)
            Fuzz::check(!emoji->isEmpty(), "an emoji without users is dropped");
    return 0;
}
