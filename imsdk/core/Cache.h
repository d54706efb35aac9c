#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

struct sqlite3;

namespace ImSdk {

// The signed-in user's local copy: conversations, messages by conversation and sequence, and
// the sync cursor. One SQLite file per user; used only on the instance's SDK thread. A file that
// cannot be opened, fails its integrity check or has a newer layout is set aside and a fresh one
// is started; an older layout is upgraded in place, keeping its data.
class Cache {
public:
    Cache() = default;
    ~Cache();
    Cache(const Cache &) = delete;
    Cache &operator=(const Cache &) = delete;

    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    // The path a corrupt file was moved to by the last open, empty when none was.
    QString setAside() const { return m_setAside; }

    // The global sequence synced up to; none for a cache that never synced.
    std::optional<qint64> cursor();
    void setCursor(qint64 seq);

    // Stores or replaces a message by its conversation and clientMsgID (an ID is only unique
    // within one conversation here); true when it was not stored before.
    bool putMessage(const QJsonObject &message);
    std::optional<QJsonObject> message(const QString &conversationID, const QString &clientMsgID);
    void removeMessage(const QString &conversationID, const QString &clientMsgID);
    // Up to `count` messages of the conversation older than the start message ("" = newest),
    // oldest first; `isEnd` when nothing older is left.
    QList<QJsonObject> history(const QString &conversationID, const QString &startClientMsgID, int count, bool *isEnd);

    void putConversation(const QJsonObject &conversation, bool hidden = false);
    std::optional<QJsonObject> conversation(const QString &conversationID);
    void setHidden(const QString &conversationID, bool hidden);
    // Visible conversations, pinned first, then by latest message time, newest first.
    QList<QJsonObject> conversations();
    // Every stored conversation ID, hidden ones included.
    QStringList conversationIDs();

    // Groups writes (a sync page) into one transaction.
    void begin();
    void commit();

private:
    bool openFile(const QString &path);
    bool exec(const char *sql);

    sqlite3 *m_db = nullptr;
    QString m_setAside;
};

} // namespace ImSdk
