#include "core/Cache.h"

#include "base/Json.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace ImSdk {

namespace {

// Version 1: a message is keyed by its conversation and clientMsgID (version 0 keyed it by the
// ID alone, so one message could overwrite another of a different conversation).
constexpr int kSchemaVersion = 1;

const char *kSchema = R"(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS conversations (
  id TEXT PRIMARY KEY, hidden INTEGER NOT NULL DEFAULT 0, pinned INTEGER NOT NULL DEFAULT 0,
  latest INTEGER NOT NULL DEFAULT 0, json TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS messages (
  conversationID TEXT NOT NULL, clientMsgID TEXT NOT NULL, seq INTEGER NOT NULL,
  sendTime INTEGER NOT NULL, json TEXT NOT NULL, PRIMARY KEY (conversationID, clientMsgID));
CREATE INDEX IF NOT EXISTS messages_by_conversation ON messages (conversationID, seq, sendTime);
)";

// Version 0 to 1: the old rows move over unchanged.
const char *kMigrateTo1 = R"(
ALTER TABLE messages RENAME TO messages_v0;
DROP INDEX IF EXISTS messages_by_conversation;
)";
const char *kMigrateTo1Copy = R"(
INSERT OR IGNORE INTO messages (conversationID, clientMsgID, seq, sendTime, json)
  SELECT conversationID, clientMsgID, seq, sendTime, json FROM messages_v0;
DROP TABLE messages_v0;
)";

// A prepared statement that finalises itself.
class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql)
    {
        if (db && sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    explicit operator bool() const { return m_stmt != nullptr; }

    Stmt &bind(int i, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int i, qint64 value)
    {
        sqlite3_bind_int64(m_stmt, i, value);
        return *this;
    }
    bool step() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool run() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_DONE; }
    qint64 integer(int col) { return sqlite3_column_int64(m_stmt, col); }
    QString text(int col)
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col)), sqlite3_column_bytes(m_stmt, col));
    }
    QJsonObject object(int col)
    {
        return Json::parseObject(QByteArray(reinterpret_cast<const char *>(sqlite3_column_blob(m_stmt, col)), sqlite3_column_bytes(m_stmt, col)));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

} // namespace

Cache::~Cache()
{
    close();
}

bool Cache::open(const QString &path)
{
    close();
    m_setAside.clear();
    // Message history: readable by its owner only, whatever the umask.
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (openFile(path))
        return true;
    // Unreadable or damaged: keep the old file for inspection and start over.
    close();
    m_setAside = path + QStringLiteral(".corrupt-") + QString::number(QDateTime::currentMSecsSinceEpoch());
    QFile::rename(path, m_setAside);
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
    if (openFile(path))
        return true;
    close();
    return false;
}

bool Cache::openFile(const QString &path)
{
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(m_db, 2000);
    {
        Stmt check(m_db, "PRAGMA quick_check");
        if (!check.step() || check.text(0) != QLatin1String("ok"))
            return false;
    }
    if (!exec("PRAGMA journal_mode=WAL"))
        return false;
    qint64 version = 0;
    {
        Stmt v(m_db, "PRAGMA user_version");
        if (!v.step())
            return false;
        version = v.integer(0);
    }
    if (version > kSchemaVersion)
        return false; // written by a newer SDK: its layout is unknown here
    if (version == kSchemaVersion)
        return exec(kSchema);
    // One transaction: an interrupted upgrade leaves the old file as it was.
    bool hadMessages = false;
    {
        Stmt t(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'messages'");
        hadMessages = t.step();
    }
    const bool upgraded = exec("BEGIN IMMEDIATE") && (!hadMessages || exec(kMigrateTo1)) && exec(kSchema)
        && (!hadMessages || exec(kMigrateTo1Copy)) && exec("PRAGMA user_version = 1") && exec("COMMIT");
    if (!upgraded)
        exec("ROLLBACK");
    return upgraded;
}

void Cache::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool Cache::exec(const char *sql)
{
    return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Cache::begin()
{
    exec("BEGIN");
}

void Cache::commit()
{
    exec("COMMIT");
}

std::optional<qint64> Cache::cursor()
{
    Stmt s(m_db, "SELECT value FROM meta WHERE key = 'cursor'");
    if (!s.step())
        return std::nullopt;
    return s.integer(0);
}

void Cache::setCursor(qint64 seq)
{
    Stmt s(m_db, "INSERT INTO meta (key, value) VALUES ('cursor', ?1) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    s.bind(1, seq).run();
}

bool Cache::putMessage(const QJsonObject &message)
{
    const QString id = Json::str(message, QLatin1String("clientMsgID"));
    const QString conversationID = Json::str(message, QLatin1String("conversationID"));
    if (id.isEmpty() || conversationID.isEmpty())
        return false;
    const bool fresh = !this->message(conversationID, id).has_value();
    Stmt s(m_db, "INSERT OR REPLACE INTO messages (clientMsgID, conversationID, seq, sendTime, json) VALUES (?1, ?2, ?3, ?4, ?5)");
    s.bind(1, id).bind(2, conversationID).bind(3, Json::integer(message, QLatin1String("seq")))
        .bind(4, Json::integer(message, QLatin1String("sendTime"))).bind(5, QString::fromUtf8(Json::compact(message)));
    return s.run() && fresh;
}

std::optional<QJsonObject> Cache::message(const QString &conversationID, const QString &clientMsgID)
{
    Stmt s(m_db, "SELECT json FROM messages WHERE conversationID = ?1 AND clientMsgID = ?2");
    s.bind(1, conversationID).bind(2, clientMsgID);
    if (!s.step())
        return std::nullopt;
    return s.object(0);
}

void Cache::removeMessage(const QString &conversationID, const QString &clientMsgID)
{
    Stmt s(m_db, "DELETE FROM messages WHERE conversationID = ?1 AND clientMsgID = ?2");
    s.bind(1, conversationID).bind(2, clientMsgID).run();
}

QList<QJsonObject> Cache::history(const QString &conversationID, const QString &startClientMsgID, int count, bool *isEnd)
{
    qint64 before = std::numeric_limits<qint64>::max();
    if (!startClientMsgID.isEmpty()) {
        Stmt start(m_db, "SELECT seq FROM messages WHERE clientMsgID = ?1 AND conversationID = ?2");
        start.bind(1, startClientMsgID).bind(2, conversationID);
        before = start.step() ? start.integer(0) : 0;
    }
    // One more than asked tells whether anything older is left.
    Stmt s(m_db, "SELECT json FROM messages WHERE conversationID = ?1 AND seq < ?2 ORDER BY seq DESC, sendTime DESC LIMIT ?3");
    s.bind(1, conversationID).bind(2, before).bind(3, qint64(count) + 1);
    QList<QJsonObject> out;
    while (s.step())
        out.append(s.object(0));
    *isEnd = out.size() <= count;
    if (out.size() > count)
        out.removeLast();
    std::reverse(out.begin(), out.end());
    return out;
}

void Cache::putConversation(const QJsonObject &conversation, bool hidden)
{
    const QString id = Json::str(conversation, QLatin1String("conversationID"));
    if (id.isEmpty())
        return;
    Stmt s(m_db, "INSERT OR REPLACE INTO conversations (id, hidden, pinned, latest, json) VALUES (?1, ?2, ?3, ?4, ?5)");
    s.bind(1, id).bind(2, qint64(hidden)).bind(3, qint64(Json::boolean(conversation, QLatin1String("isPinned"))))
        .bind(4, Json::integer(conversation, QLatin1String("latestMsgSendTime"))).bind(5, QString::fromUtf8(Json::compact(conversation)));
    s.run();
}

std::optional<QJsonObject> Cache::conversation(const QString &conversationID)
{
    Stmt s(m_db, "SELECT json FROM conversations WHERE id = ?1");
    s.bind(1, conversationID);
    if (!s.step())
        return std::nullopt;
    return s.object(0);
}

void Cache::setHidden(const QString &conversationID, bool hidden)
{
    Stmt s(m_db, "UPDATE conversations SET hidden = ?2 WHERE id = ?1");
    s.bind(1, conversationID).bind(2, qint64(hidden)).run();
}

QList<QJsonObject> Cache::conversations()
{
    Stmt s(m_db, "SELECT json FROM conversations WHERE hidden = 0 ORDER BY pinned DESC, latest DESC, id");
    QList<QJsonObject> out;
    while (s.step())
        out.append(s.object(0));
    return out;
}

QStringList Cache::conversationIDs()
{
    Stmt s(m_db, "SELECT id FROM conversations");
    QStringList out;
    while (s.step())
        out.append(s.text(0));
    return out;
}

} // namespace ImSdk
