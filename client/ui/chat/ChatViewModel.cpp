#include "ui/chat/ChatViewModel.h"

#include "app/AppState.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "base/Json.h"
#include "e2e/E2E.h"
#include "im/IMService.h"
#include "im/Records.h"

#include <QJsonDocument>
#include <QPointer>

#include <algorithm>

using Json::str;

namespace {

QString clientMsgID(const QJsonObject &m)
{
    return str(m, QLatin1String("clientMsgID"));
}

QString customKind(const QJsonObject &m)
{
    const auto custom = Protocol::parseCustom(m);
    return custom ? custom->kind : QString();
}

// Leading and trailing white space and line breaks.
QString trimmed(const QString &s)
{
    return s.trimmed();
}

QString compact(const QJsonObject &o)
{
    return QString::fromUtf8(Json::compact(o));
}

} // namespace

ChatViewModel::ChatViewModel(IMService &im, E2E &e2e, AppState &app, Clock &clock, QString peerID, QString groupID,
                             QString conversationID, QObject *parent)
    : QObject(parent), m_im(im), m_e2e(e2e), m_app(app), m_clock(clock), m_peerID(std::move(peerID)),
      m_groupID(std::move(groupID)),
      m_conversationID(conversationID.isEmpty() ? deriveConversationID(selfID(), m_peerID, m_groupID) : conversationID)
{
    // Emitted on the SDK's threads: these connections queue to this (main) thread, and end with it.
    connect(&m_im, &IMService::newMessages, this, &ChatViewModel::onNewMessage);
    connect(&m_im, &IMService::revoked, this, &ChatViewModel::onRevoked);
    connect(&m_im, &IMService::inputStates, this, &ChatViewModel::onInputState);
}

QString ChatViewModel::deriveConversationID(const QString &selfID, const QString &peerID, const QString &groupID)
{
    if (!groupID.isEmpty())
        return QLatin1String("sg_") + groupID;
    return Records::singleConversationID(selfID, peerID);
}

QString ChatViewModel::selfID() const
{
    return m_app.credentials() ? m_app.credentials()->userID : QString();
}

QString ChatViewModel::imToken() const
{
    return m_app.credentials() ? m_app.credentials()->imToken : QString();
}

// ---- composer and flags ----

void ChatViewModel::setDraft(const QString &draft)
{
    if (m_draft != draft) {
        m_draft = draft;
        emit draftChanged();
    }
}

void ChatViewModel::setSecretMode(bool on)
{
    if (m_secretMode != on) {
        m_secretMode = on;
        emit secretModeChanged();
    }
}

void ChatViewModel::setQuoting(std::optional<QJsonObject> message)
{
    m_quoting = std::move(message);
    emit quotingChanged();
}

void ChatViewModel::setEditing(std::optional<QJsonObject> message)
{
    m_editing = std::move(message);
    emit editingChanged();
}

void ChatViewModel::setToast(const QString &text)
{
    m_toast = text;
    emit toastChanged();
}

void ChatViewModel::clearToast()
{
    if (m_toast) {
        m_toast.reset();
        emit toastChanged();
    }
}

void ChatViewModel::clearSafetyCode()
{
    if (m_safetyCode) {
        m_safetyCode.reset();
        emit safetyCodeChanged();
    }
}

void ChatViewModel::setPeerTyping(bool typing)
{
    if (m_peerTyping != typing) {
        m_peerTyping = typing;
        emit peerTypingChanged();
    }
}

void ChatViewModel::setHasMore(bool hasMore)
{
    if (m_hasMore != hasMore) {
        m_hasMore = hasMore;
        emit hasMoreChanged();
    }
}

void ChatViewModel::setLoadingMore(bool loading)
{
    if (m_loadingMore != loading) {
        m_loadingMore = loading;
        emit loadingMoreChanged();
    }
}

void ChatViewModel::append(const QJsonObject &message)
{
    m_messages.append(message);
    emit messagesChanged();
}

void ChatViewModel::removeCarrier(const QString &id)
{
    if (m_messages.removeIf([&](const QJsonObject &m) { return clientMsgID(m) == id; }) > 0)
        emit messagesChanged();
}

// ---- streams ----

void ChatViewModel::onNewMessage(const QJsonObject &message)
{
    const QString sendID = str(message, QLatin1String("sendID"));
    const QString recvID = str(message, QLatin1String("recvID"));
    const QString group = str(message, QLatin1String("groupID"));
    // A group message is never part of a one-to-one chat, even when its sender is the peer.
    const bool belongs = isGroup() ? group == m_groupID
                                   : group.isEmpty()
            && (sendID == m_peerID || (sendID == selfID() && !sendID.isEmpty() && recvID == m_peerID));
    if (!belongs)
        return;
    // ingest runs as a task of its own, after the message is in the list: a secret edit or
    // reaction then always finds its carrier to remove.
    QMetaObject::invokeMethod(this, [this, message] { ingest(message); }, Qt::QueuedConnection);
    const QString kind = customKind(message);
    if (kind == QLatin1String("reaction") || kind == QLatin1String("edit"))
        return;
    const bool custom = Json::isInteger(message.value(QLatin1String("contentType")))
        && Json::integer(message, QLatin1String("contentType")) == Protocol::kCustomContentType;
    if (custom && kind.isEmpty() && !Protocol::visibleCallSignal(message))
        return;
    append(message);
    m_im.markRead(m_conversationID);
}

void ChatViewModel::onRevoked(const QJsonObject &notice)
{
    // An ID alone does not name a message: a recall counts only for the message of the recalling
    // sender in this conversation.
    const QString id = str(notice, QLatin1String("clientMsgID"));
    const QString revokerID = str(notice, QLatin1String("revokerID"));
    if (id.isEmpty() || revokerID.isEmpty() || str(notice, QLatin1String("conversationID")) != m_conversationID
        || m_revokedIDs.contains(id))
        return;
    const bool shown = std::any_of(m_messages.cbegin(), m_messages.cend(), [&](const QJsonObject &m) {
        return clientMsgID(m) == id && str(m, QLatin1String("sendID")) == revokerID;
    });
    if (shown) {
        m_revokedIDs.insert(id);
        emit revokedIDsChanged();
    }
}

void ChatViewModel::onInputState(const InputStateEvent &event)
{
    if (event.conversationID != m_conversationID)
        return;
    setPeerTyping(event.typing);
    if (event.typing)
        resetTypingLater(++m_typingGeneration);
}

QCoro::Task<void> ChatViewModel::resetTypingLater(quint64 generation)
{
    QPointer<ChatViewModel> self(this);
    co_await m_clock.sleep(kTypingReset);
    if (self && m_typingGeneration == generation)
        setPeerTyping(false);
}

// ---- side tables ----

QCoro::Task<void> ChatViewModel::ingest(QJsonObject message)
{
    const auto custom = Protocol::parseCustom(message);
    if (!custom)
        co_return;
    if (custom->kind == QLatin1String("reaction")) {
        if (const auto event = Protocol::parseReaction(message)) {
            Protocol::applyReaction(m_reactions, *event);
            emit reactionsChanged();
        }
        co_return;
    }
    if (custom->kind == QLatin1String("edit")) {
        const QJsonValue target = custom->payload.value(QLatin1String("targetClientMsgID"));
        const QJsonValue text = custom->payload.value(QLatin1String("newText"));
        if (target.isString() && text.isString()) {
            m_edits.insert(target.toString(), text.toString());
            emit editsChanged();
        }
        co_return;
    }
    if (custom->kind != QLatin1String("secret"))
        co_return;

    const QString id = clientMsgID(message);
    if (m_secretTexts.contains(id) || m_decrypting.contains(id))
        co_return;
    m_decrypting.insert(id);
    QPointer<ChatViewModel> self(this);
    const QString data = str(Json::obj(message, QLatin1String("customElem")), QLatin1String("data"));
    const QString sender = str(message, QLatin1String("sendID"));
    const QString token = imToken(), me = selfID();
    const std::optional<QString> plaintext = co_await m_e2e.decrypt(token, me, m_peerID, data, sender, id);
    if (!self)
        co_return;
    m_decrypting.remove(id);
    if (!plaintext) {
        m_secretTexts.insert(id, QString::fromUtf8(kUndecryptable));
        emit secretTextsChanged();
        co_return;
    }
    QJsonObject payload = Json::parseObject(plaintext->toUtf8());
    if (!payload.value(QLatin1String("kind")).isString())
        payload = QJsonObject{{QStringLiteral("kind"), QStringLiteral("text")}, {QStringLiteral("text"), *plaintext}};
    m_secretTexts.insert(id, compact(payload));
    emit secretTextsChanged();

    const QString kind = str(payload, QLatin1String("kind"));
    const QJsonValue target = payload.value(QLatin1String("targetClientMsgID"));
    if (kind == QLatin1String("edit") && target.isString()) {
        m_edits.insert(target.toString(), str(payload, QLatin1String("text")));
        emit editsChanged();
        removeCarrier(id);
    } else if (kind == QLatin1String("reaction") && target.isString() && payload.value(QLatin1String("emoji")).isString()) {
        const QJsonValue op = payload.value(QLatin1String("op"));
        Protocol::applyReaction(m_reactions, {target.toString(), str(payload, QLatin1String("emoji")),
                                              op.isString() ? op.toString() : QStringLiteral("add"), sender});
        emit reactionsChanged();
        removeCarrier(id);
    }
}

QString ChatViewModel::displayText(const QJsonObject &message) const
{
    const QString id = clientMsgID(message);
    if (const auto it = m_edits.constFind(id); it != m_edits.constEnd())
        return *it;
    if (const auto it = m_secretTexts.constFind(id); it != m_secretTexts.constEnd()) {
        const QJsonDocument doc = QJsonDocument::fromJson(it->toUtf8());
        if (!doc.isObject())
            return Protocol::briefOf(message);
        const QJsonValue kind = doc.object().value(QLatin1String("kind"));
        if (!kind.isString())
            return Protocol::briefOf(message);
        if (kind.toString() == QLatin1String("text") || kind.toString() == QLatin1String("quote"))
            return str(doc.object(), QLatin1String("text"));
        return {};
    }
    return Protocol::briefOf(message);
}

// ---- history ----

QCoro::Task<void> ChatViewModel::loadInitial()
{
    QPointer<ChatViewModel> self(this);
    const QString conversation = m_conversationID;
    const QString start;
    QList<QJsonObject> page = co_await m_im.history(conversation, kPageSize, start);
    if (!self)
        co_return;
    m_messages = page;
    emit messagesChanged();
    setHasMore(page.size() >= kPageSize);
    for (const QJsonObject &m : std::as_const(page)) {
        co_await ingest(m);
        if (!self)
            co_return;
    }
    m_im.markRead(m_conversationID);
}

QCoro::Task<void> ChatViewModel::loadMore()
{
    if (!m_hasMore || m_loadingMore || m_messages.isEmpty() || !m_messages.first().value(QLatin1String("clientMsgID")).isString())
        co_return;
    QPointer<ChatViewModel> self(this);
    setLoadingMore(true);
    const QString conversation = m_conversationID;
    const QString start = clientMsgID(m_messages.first());
    QList<QJsonObject> page = co_await m_im.history(conversation, kPageSize, start);
    if (!self)
        co_return;
    if (page.isEmpty()) {
        setHasMore(false);
        setLoadingMore(false);
        co_return;
    }
    prependedKeepScroll = true;
    m_messages = page + m_messages;
    emit messagesChanged();
    for (const QJsonObject &m : std::as_const(page)) {
        co_await ingest(m);
        if (!self)
            co_return;
    }
    if (page.size() < kPageSize)
        setHasMore(false);
    setLoadingMore(false);
}

// ---- sending ----

QCoro::Task<std::optional<QJsonObject>> ChatViewModel::sendWithRule(QString messageJSON)
{
    const QString recv = isGroup() ? QString() : m_peerID;
    const QString group = isGroup() ? m_groupID : QString();
    try {
        co_return co_await m_im.send(messageJSON, recv, group);
    } catch (const Error &) {
        co_return std::nullopt;
    }
}

QCoro::Task<bool> ChatViewModel::trySendSecretSilently(QJsonObject payload)
{
    if (isGroup() || !m_secretMode)
        co_return false;
    QPointer<ChatViewModel> self(this);
    const QString token = imToken(), me = selfID(), peer = m_peerID;
    std::optional<QString> envelope;
    try {
        envelope = co_await m_e2e.buildSecretEnvelope(token, me, peer, payload);
    } catch (const Error &) {
    }
    // A chat closed while the envelope was built sends nothing.
    if (!self || !envelope)
        co_return false;
    const QString message = m_im.createCustom(*envelope, QStringLiteral("mirelo-secret"));
    const QString none;
    try {
        co_await m_im.send(message, peer, none);
    } catch (const Error &) {
        co_return false;
    }
    co_return true;
}

QCoro::Task<void> ChatViewModel::sendText()
{
    const QString text = trimmed(m_draft);
    if (text.isEmpty())
        co_return;
    setDraft(QString());
    QPointer<ChatViewModel> self(this);

    if (m_editing) {
        const QJsonObject edited = *m_editing;
        const QString target = clientMsgID(edited);
        bool done = false;
        if (customKind(edited) == QLatin1String("secret") && !isGroup() && m_secretMode) {
            const QJsonObject payload{{QStringLiteral("kind"), QStringLiteral("edit")},
                                      {QStringLiteral("targetClientMsgID"), target},
                                      {QStringLiteral("text"), text}};
            done = co_await trySendSecretSilently(payload);
            if (!self)
                co_return;
        }
        if (!done) {
            const QString carrier = m_im.createCustom(Protocol::buildEdit(target, text), QStringLiteral("mirelo-edit"));
            done = (co_await sendWithRule(carrier)).has_value();
            if (!self)
                co_return;
        }
        if (done) {
            m_edits.insert(target, text);
            emit editsChanged();
            setEditing(std::nullopt);
        }
        co_return;
    }

    if (m_secretMode && !isGroup()) {
        QJsonObject payload{{QStringLiteral("kind"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
        if (m_quoting) {
            const QJsonObject quoted{{QStringLiteral("text"), Protocol::briefOf(*m_quoting)},
                                     {QStringLiteral("senderNickname"), str(*m_quoting, QLatin1String("senderNickname"))}};
            payload = QJsonObject{{QStringLiteral("kind"), QStringLiteral("quote")},
                                  {QStringLiteral("text"), text},
                                  {QStringLiteral("quoted"), quoted}};
        }
        const QString token = imToken(), me = selfID(), peer = m_peerID;
        std::optional<QString> envelope;
        try {
            envelope = co_await m_e2e.buildSecretEnvelope(token, me, peer, payload);
        } catch (const Error &) {
            co_return; // a key that does not decode: the send fails silently
        }
        if (!self)
            co_return;
        if (!envelope) {
            setToast(QString::fromUtf8(kNoSecretChat));
            co_return;
        }
        const QString message = m_im.createCustom(*envelope, QStringLiteral("mirelo-secret"));
        const QString none;
        QJsonObject sent;
        try {
            sent = co_await m_im.send(message, peer, none);
        } catch (const Error &) {
            co_return;
        }
        if (!self)
            co_return;
        const QString id = clientMsgID(sent);
        m_secretTexts.insert(id, compact(payload));
        emit secretTextsChanged();
        m_e2e.ptPut(id, compact(payload));
        append(sent);
        setQuoting(std::nullopt);
        co_return;
    }

    QString message;
    if (m_quoting) {
        const QString quotedJSON = compact(*m_quoting);
        setQuoting(std::nullopt);
        message = m_im.createQuote(text, quotedJSON);
    } else {
        message = m_im.createText(text);
    }
    const std::optional<QJsonObject> sent = co_await sendWithRule(message);
    if (self && sent)
        append(*sent);
}

QCoro::Task<void> ChatViewModel::sendMedia(QString messageJSON)
{
    QPointer<ChatViewModel> self(this);
    const std::optional<QJsonObject> sent = co_await sendWithRule(messageJSON);
    if (self && sent)
        append(*sent);
}

QCoro::Task<void> ChatViewModel::sendImage(QString path)
{
    co_await sendMedia(m_im.createImage(path));
}

QCoro::Task<void> ChatViewModel::sendFile(QString path, QString name)
{
    co_await sendMedia(m_im.createFile(path, name));
}

QCoro::Task<void> ChatViewModel::sendSound(QString path, qint64 durationSeconds)
{
    co_await sendMedia(m_im.createSound(path, durationSeconds));
}

// ---- message actions ----

QCoro::Task<void> ChatViewModel::sendReaction(QString targetClientMsgID, QString emoji)
{
    const QString me = selfID();
    const bool had = m_reactions.value(targetClientMsgID).value(emoji).contains(me);
    const QString op = had ? QStringLiteral("remove") : QStringLiteral("add");
    // The local update comes first and is never rolled back.
    Protocol::applyReaction(m_reactions, {targetClientMsgID, emoji, op, me});
    emit reactionsChanged();

    QPointer<ChatViewModel> self(this);
    const QJsonObject payload{{QStringLiteral("kind"), QStringLiteral("reaction")},
                              {QStringLiteral("targetClientMsgID"), targetClientMsgID},
                              {QStringLiteral("emoji"), emoji},
                              {QStringLiteral("op"), op}};
    if (co_await trySendSecretSilently(payload))
        co_return;
    if (!self)
        co_return;
    const QString carrier = m_im.createCustom(Protocol::buildReaction(targetClientMsgID, emoji, op), QStringLiteral("mirelo-reaction"));
    co_await sendWithRule(carrier);
}

QCoro::Task<void> ChatViewModel::revoke(QJsonObject message)
{
    QPointer<ChatViewModel> self(this);
    const QString conversation = m_conversationID;
    const QString id = clientMsgID(message);
    try {
        co_await m_im.revoke(conversation, id);
    } catch (const Error &) {
        co_return;
    }
    if (self && !m_revokedIDs.contains(id)) {
        m_revokedIDs.insert(id);
        emit revokedIDsChanged();
    }
}

QCoro::Task<void> ChatViewModel::deleteLocal(QJsonObject message)
{
    QPointer<ChatViewModel> self(this);
    const QString conversation = m_conversationID;
    const QString id = clientMsgID(message);
    try {
        co_await m_im.deleteMessage(conversation, id);
    } catch (const Error &) {
        co_return;
    }
    if (self)
        removeCarrier(id);
}

QCoro::Task<void> ChatViewModel::showSafetyCode()
{
    QPointer<ChatViewModel> self(this);
    const QString token = imToken(), me = selfID(), peer = m_peerID;
    const std::optional<QString> code = co_await m_e2e.safetyCode(token, me, peer);
    if (!self)
        co_return;
    if (!code) {
        setToast(QString::fromUtf8(kNoSecretChat));
        co_return;
    }
    m_safetyCode = *code;
    emit safetyCodeChanged();
}

QCoro::Task<bool> ChatViewModel::forward(QJsonObject message, QJsonObject conversation)
{
    const QString json = compact(message);
    const QString forwardJSON = m_im.createForward(json);
    const QString recv = str(conversation, QLatin1String("userID"));
    const QString group = str(conversation, QLatin1String("groupID"));
    try {
        co_await m_im.send(forwardJSON, recv, group);
    } catch (const Error &) {
        co_return false;
    }
    co_return true;
}
