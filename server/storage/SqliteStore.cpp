#include "storage/SqliteStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace Storage {

namespace {

[[noreturn]] void raise(sqlite3 *db, const char *what)
{
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

} // namespace

// A statement from a connection's cache, reset and unbound when it goes out of scope.
class Stmt {
public:
    Stmt(sqlite3 *db, sqlite3_stmt *stmt) : m_db(db), m_stmt(stmt) {}
    Stmt(const Stmt &) = delete;
    ~Stmt()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

    Stmt &bind(int i, const QString &v)
    {
        const QByteArray utf8 = v.toUtf8();
        check(sqlite3_bind_text(m_stmt, i, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Stmt &bind(int i, qint64 v)
    {
        check(sqlite3_bind_int64(m_stmt, i, v));
        return *this;
    }
    Stmt &bind(int i, const std::optional<QString> &v)
    {
        if (v)
            return bind(i, *v);
        check(sqlite3_bind_null(m_stmt, i));
        return *this;
    }
    Stmt &blob(int i, const QByteArray &v)
    {
        check(sqlite3_bind_blob(m_stmt, i, v.constData(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        if (rc == SQLITE_CONSTRAINT)
            throw Constraint();
        raise(m_db, "sqlite step");
    }
    // Runs a statement that returns no rows; false when a constraint refused it.
    bool exec()
    {
        try {
            while (step()) {
            }
            return true;
        } catch (const Constraint &) {
            return false;
        }
    }
    // The first column of every remaining row.
    QStringList texts()
    {
        QStringList out;
        while (step())
            out << text(0);
        return out;
    }

    QString text(int col) const
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col));
        return p ? QString::fromUtf8(p, sqlite3_column_bytes(m_stmt, col)) : QString();
    }
    qint64 integer(int col) const { return sqlite3_column_int64(m_stmt, col); }

    struct Constraint {};

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            raise(m_db, "sqlite bind");
    }
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt;
};

class Db {
public:
    Db(const QString &path, bool readOnly)
    {
        const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr) != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            sqlite3_close(m_db);
            throw std::runtime_error("cannot open database: " + message);
        }
        sqlite3_busy_timeout(m_db, 5000);
        run("PRAGMA foreign_keys = ON");
    }
    ~Db()
    {
        for (auto &[sql, stmt] : m_cache)
            sqlite3_finalize(stmt);
        sqlite3_close(m_db);
    }

    // The prepared statement for `sql` (a string literal: its address is the cache key).
    Stmt prepare(const char *sql)
    {
        auto it = m_cache.find(sql);
        if (it == m_cache.end()) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
                raise(m_db, "sqlite prepare");
            it = m_cache.emplace(sql, stmt).first;
        }
        return Stmt(m_db, it->second);
    }

    void run(const char *sql)
    {
        char *error = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "unknown";
            sqlite3_free(error);
            throw std::runtime_error("sqlite: " + message);
        }
    }

    qint64 changes() const { return sqlite3_changes64(m_db); }
    sqlite3 *handle() const { return m_db; }

private:
    sqlite3 *m_db = nullptr;
    std::unordered_map<const char *, sqlite3_stmt *> m_cache;
};

// A pooled read connection, returned to the pool when it goes out of scope.
class SqliteStore::Reader {
public:
    Reader(SqliteStore &store, std::unique_ptr<Db> db) : m_store(store), m_db(std::move(db)) {}
    Reader(Reader &&) = default;
    ~Reader()
    {
        if (m_db) {
            std::lock_guard lock(m_store.m_poolMutex);
            m_store.m_pool.push_back(std::move(m_db));
        }
    }
    Db *operator->() { return m_db.get(); }
    Db &operator*() { return *m_db; }

private:
    SqliteStore &m_store;
    std::unique_ptr<Db> m_db;
};

namespace {

constexpr int kSchemaVersion = 3;

const char *const kSchema = R"(
CREATE TABLE users (
  id TEXT PRIMARY KEY,
  email TEXT UNIQUE,
  area_code TEXT,
  phone TEXT,
  nickname TEXT NOT NULL,
  face_url TEXT NOT NULL DEFAULT '',
  password_hash TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  UNIQUE (area_code, phone)
);
CREATE TABLE tokens (
  token_hash BLOB PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  kind TEXT NOT NULL,
  expires_at INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX tokens_user ON tokens(user_id);
CREATE TABLE codes (
  email TEXT NOT NULL,
  purpose TEXT NOT NULL,
  code TEXT NOT NULL,
  sent_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  tries INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (email, purpose)
) WITHOUT ROWID;
CREATE TABLE friends (
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  friend_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  created_at INTEGER NOT NULL,
  PRIMARY KEY (user_id, friend_id)
) WITHOUT ROWID;
CREATE TABLE groups_ (
  id TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  owner_id TEXT NOT NULL REFERENCES users(id),
  created_at INTEGER NOT NULL
);
CREATE TABLE group_members (
  group_id TEXT NOT NULL REFERENCES groups_(id) ON DELETE CASCADE,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  role TEXT NOT NULL,
  joined_at INTEGER NOT NULL,
  PRIMARY KEY (group_id, user_id)
) WITHOUT ROWID;
CREATE TABLE device_keys (
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  device_id TEXT NOT NULL,
  pub_key TEXT NOT NULL,
  updated_at INTEGER NOT NULL,
  PRIMARY KEY (user_id, device_id)
) WITHOUT ROWID;
CREATE TABLE rooms (
  id TEXT PRIMARY KEY,
  creator_id TEXT NOT NULL,
  group_id TEXT NOT NULL DEFAULT '',
  created_at INTEGER NOT NULL
);
CREATE TABLE posts (
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  content TEXT NOT NULL,
  images TEXT NOT NULL,
  created_at INTEGER NOT NULL UNIQUE
);
CREATE INDEX posts_user_time ON posts(user_id, created_at);
CREATE TABLE likes (
  post_id TEXT NOT NULL REFERENCES posts(id) ON DELETE CASCADE,
  user_id TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  seq INTEGER NOT NULL,
  PRIMARY KEY (post_id, user_id)
) WITHOUT ROWID;
CREATE TABLE comments (
  id TEXT PRIMARY KEY,
  post_id TEXT NOT NULL REFERENCES posts(id) ON DELETE CASCADE,
  user_id TEXT NOT NULL,
  text TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  seq INTEGER NOT NULL
);
CREATE INDEX comments_post ON comments(post_id, seq);
CREATE TABLE crash_reports (
  id INTEGER PRIMARY KEY,
  user_id TEXT NOT NULL,
  platform TEXT NOT NULL,
  version TEXT NOT NULL,
  error TEXT NOT NULL,
  stack TEXT NOT NULL,
  extra TEXT NOT NULL,
  peer TEXT NOT NULL,
  received_at INTEGER NOT NULL
);
CREATE TABLE uploads (
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL,
  name TEXT NOT NULL,
  content_type TEXT NOT NULL,
  hash TEXT NOT NULL,
  size INTEGER NOT NULL,
  part_size INTEGER NOT NULL,
  part_count INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL
);
CREATE TABLE upload_parts (
  upload_id TEXT NOT NULL REFERENCES uploads(id) ON DELETE CASCADE,
  number INTEGER NOT NULL,
  size INTEGER NOT NULL,
  md5 TEXT NOT NULL,
  PRIMARY KEY (upload_id, number)
) WITHOUT ROWID;
CREATE TABLE objects (
  id TEXT PRIMARY KEY,
  user_id TEXT NOT NULL,
  name TEXT NOT NULL,
  content_type TEXT NOT NULL,
  size INTEGER NOT NULL,
  created_at INTEGER NOT NULL
);
)";

// Messages, conversations and the social graph. A message costs one row however many members
// its conversation has: unread counts come from sequences, not from rows per recipient.
const char *const kSchemaMessages = R"(
CREATE TABLE conversations (
  id TEXT PRIMARY KEY,
  type INTEGER NOT NULL,
  group_id TEXT NOT NULL DEFAULT '',
  max_seq INTEGER NOT NULL DEFAULT 0,
  latest_seq INTEGER NOT NULL DEFAULT 0,
  latest_time INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
CREATE TABLE conversation_members (
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  conversation_id TEXT NOT NULL REFERENCES conversations(id) ON DELETE CASCADE,
  peer_id TEXT NOT NULL DEFAULT '',
  pinned INTEGER NOT NULL DEFAULT 0,
  recv_msg_opt INTEGER NOT NULL DEFAULT 0,
  draft TEXT NOT NULL DEFAULT '',
  read_seq INTEGER NOT NULL DEFAULT 0,
  hidden_until INTEGER NOT NULL DEFAULT -1,
  PRIMARY KEY (user_id, conversation_id)
) WITHOUT ROWID;
CREATE TABLE messages (
  global_seq INTEGER PRIMARY KEY,
  conversation_id TEXT NOT NULL REFERENCES conversations(id),
  seq INTEGER NOT NULL,
  send_id TEXT NOT NULL,
  client_msg_id TEXT NOT NULL,
  notice INTEGER NOT NULL,
  send_time INTEGER NOT NULL,
  record TEXT NOT NULL,
  push_info TEXT NOT NULL DEFAULT '',
  UNIQUE (send_id, client_msg_id),
  UNIQUE (conversation_id, seq)
);
CREATE INDEX messages_client ON messages(conversation_id, client_msg_id);
CREATE TABLE deleted_messages (
  user_id TEXT NOT NULL,
  global_seq INTEGER NOT NULL REFERENCES messages(global_seq),
  PRIMARY KEY (user_id, global_seq)
) WITHOUT ROWID;
CREATE TABLE friend_requests (
  from_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  to_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  req_msg TEXT NOT NULL,
  handle_msg TEXT NOT NULL DEFAULT '',
  result INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL,
  handled_at INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (from_id, to_id)
) WITHOUT ROWID;
CREATE INDEX friend_requests_to ON friend_requests(to_id, created_at);
CREATE TABLE blocks (
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  blocked_id TEXT NOT NULL,
  ex TEXT NOT NULL DEFAULT '',
  created_at INTEGER NOT NULL,
  PRIMARY KEY (user_id, blocked_id)
) WITHOUT ROWID;
INSERT INTO conversations (id, type, group_id) SELECT 'sg_' || id, 3, id FROM groups_;
INSERT INTO conversation_members (user_id, conversation_id) SELECT user_id, 'sg_' || group_id FROM group_members;
)";

// A clientMsgID names one message: every send looks it up whoever sent it.
const char *const kSchemaClientIds = R"(
CREATE INDEX messages_by_client_id ON messages(client_msg_id);
)";

User readUser(const Stmt &s)
{
    return {s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.text(6), s.integer(7)};
}

#define USER_COLUMNS "id, COALESCE(email, ''), COALESCE(area_code, ''), COALESCE(phone, ''), nickname, face_url, password_hash, created_at"

QString joinImages(const QStringList &images)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(images)).toJson(QJsonDocument::Compact));
}

QStringList splitImages(const QString &text)
{
    QStringList out;
    for (const QJsonValue &v : QJsonDocument::fromJson(text.toUtf8()).array())
        out << v.toString();
    return out;
}

} // namespace

SqliteStore::SqliteStore(const QString &path) : m_path(path)
{
    m_writer = std::make_unique<Db>(path, false);
    m_writer->run("PRAGMA journal_mode = WAL");
    m_writer->run("PRAGMA synchronous = NORMAL");
    m_writer->run("PRAGMA wal_autocheckpoint = 0");
    Stmt version = m_writer->prepare("PRAGMA user_version");
    const qint64 current = version.step() ? version.integer(0) : 0;
    if (current > kSchemaVersion)
        throw std::runtime_error("the database was written by a newer sarvo-server");
    if (current < kSchemaVersion) {
        // Each step moves one version up; all of them in one transaction, so a failed upgrade
        // leaves the file as it was.
        m_writer->run("BEGIN IMMEDIATE");
        try {
            if (current < 1)
                m_writer->run(kSchema);
            if (current < 2)
                m_writer->run(kSchemaMessages);
            if (current < 3)
                m_writer->run(kSchemaClientIds);
            m_writer->run("PRAGMA user_version = 3");
            m_writer->run("COMMIT");
        } catch (...) {
            m_writer->run("ROLLBACK");
            throw;
        }
    }
    m_checkpointer = std::thread([this] { checkpointLoop(); });
}

SqliteStore::~SqliteStore()
{
    {
        std::lock_guard lock(m_checkpointMutex);
        m_stopping = true;
    }
    m_checkpointWake.notify_all();
    if (m_checkpointer.joinable())
        m_checkpointer.join();
}

void SqliteStore::checkpointLoop()
{
    try {
        Db db(m_path, false);
        std::unique_lock lock(m_checkpointMutex);
        while (!m_checkpointWake.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_stopping; })) {
            lock.unlock();
            // PASSIVE never waits for readers or the writer; whatever it could not copy is
            // copied next time.
            sqlite3_wal_checkpoint_v2(db.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            lock.lock();
        }
    } catch (const std::exception &e) {
        qWarning("database checkpoints stopped: %s", e.what());
    }
}

SqliteStore::Reader SqliteStore::reader()
{
    {
        std::lock_guard lock(m_poolMutex);
        if (!m_pool.empty()) {
            std::unique_ptr<Db> db = std::move(m_pool.back());
            m_pool.pop_back();
            return Reader(*this, std::move(db));
        }
    }
    auto db = std::make_unique<Db>(m_path, true);
    return Reader(*this, std::move(db));
}

template <typename F>
auto SqliteStore::write(F &&work)
{
    std::lock_guard lock(m_writeMutex);
    Db &db = *m_writer;
    db.run("BEGIN IMMEDIATE");
    try {
        if constexpr (std::is_void_v<decltype(work(db))>) {
            work(db);
            db.run("COMMIT");
        } else {
            auto result = work(db);
            db.run("COMMIT");
            return result;
        }
    } catch (...) {
        db.run("ROLLBACK");
        throw;
    }
}

// ---- users

std::optional<User> SqliteStore::userById(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT " USER_COLUMNS " FROM users WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return readUser(s);
}

std::optional<User> SqliteStore::userByEmail(const QString &email)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT " USER_COLUMNS " FROM users WHERE email = ?1");
    s.bind(1, email);
    if (!s.step())
        return std::nullopt;
    return readUser(s);
}

std::optional<User> SqliteStore::userByPhone(const QString &areaCode, const QString &phone)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT " USER_COLUMNS " FROM users WHERE area_code = ?1 AND phone = ?2");
    s.bind(1, areaCode).bind(2, phone);
    if (!s.step())
        return std::nullopt;
    return readUser(s);
}

QHash<QString, User> SqliteStore::usersByIds(const QStringList &ids)
{
    QHash<QString, User> out;
    Reader db = reader();
    for (const QString &id : QSet<QString>(ids.begin(), ids.end())) {
        Stmt s = db->prepare("SELECT " USER_COLUMNS " FROM users WHERE id = ?1");
        s.bind(1, id);
        if (s.step())
            out.insert(id, readUser(s));
    }
    return out;
}

bool SqliteStore::insertUser(const User &u)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO users (id, email, area_code, phone, nickname, face_url, password_hash, created_at) "
                            "VALUES (?1, NULLIF(?2, ''), NULLIF(?3, ''), NULLIF(?4, ''), ?5, ?6, ?7, ?8)");
        s.bind(1, u.id).bind(2, u.email).bind(3, u.areaCode).bind(4, u.phone).bind(5, u.nickname).bind(6, u.faceURL);
        s.bind(7, u.passwordHash).bind(8, u.createdAt);
        return s.exec();
    });
}

bool SqliteStore::setPasswordHash(const QString &userID, const QString &hash)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("UPDATE users SET password_hash = ?2 WHERE id = ?1");
        s.bind(1, userID).bind(2, hash);
        s.exec();
        return db.changes() == 1;
    });
}

bool SqliteStore::updateProfile(const QString &userID, const std::optional<QString> &nickname, const std::optional<QString> &faceURL)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("UPDATE users SET nickname = COALESCE(?2, nickname), face_url = COALESCE(?3, face_url) WHERE id = ?1");
        s.bind(1, userID).bind(2, nickname).bind(3, faceURL);
        s.exec();
        return db.changes() == 1;
    });
}

// ---- sessions

void SqliteStore::insertToken(const QByteArray &tokenHash, const QString &userID, const QString &kind, qint64 expiresAt)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO tokens (token_hash, user_id, kind, expires_at) VALUES (?1, ?2, ?3, ?4)");
        s.blob(1, tokenHash).bind(2, userID).bind(3, kind).bind(4, expiresAt);
        if (!s.exec())
            throw std::runtime_error("token collision");
    });
}

std::optional<Store::TokenOwner> SqliteStore::tokenUser(const QByteArray &tokenHash, const QString &kind, qint64 now)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT user_id, expires_at FROM tokens WHERE token_hash = ?1 AND kind = ?2 AND expires_at > ?3");
    s.blob(1, tokenHash).bind(2, kind).bind(3, now);
    if (!s.step())
        return std::nullopt;
    return TokenOwner{s.text(0), s.integer(1)};
}

void SqliteStore::revokeTokens(const QString &userID)
{
    write([&](Db &db) {
        Stmt s = db.prepare("DELETE FROM tokens WHERE user_id = ?1");
        s.bind(1, userID).exec();
    });
}

// ---- verification codes

std::optional<qint64> SqliteStore::lastCodeSentAt(const QString &email)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT MAX(sent_at) FROM codes WHERE email = ?1");
    s.bind(1, email);
    if (!s.step() || s.text(0).isEmpty())
        return std::nullopt;
    return s.integer(0);
}

void SqliteStore::putCode(const QString &email, const QString &purpose, const QString &code, qint64 sentAt, qint64 expiresAt)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT OR REPLACE INTO codes (email, purpose, code, sent_at, expires_at, tries) VALUES (?1, ?2, ?3, ?4, ?5, 0)");
        s.bind(1, email).bind(2, purpose).bind(3, code).bind(4, sentAt).bind(5, expiresAt).exec();
    });
}

CodeCheck SqliteStore::checkCode(const QString &email, const QString &purpose, const QString &code, qint64 now, int maxTries)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("SELECT code, expires_at, tries FROM codes WHERE email = ?1 AND purpose = ?2");
        s.bind(1, email).bind(2, purpose);
        if (!s.step())
            return CodeCheck::Missing;
        const QByteArray stored = s.text(0).toUtf8();
        const qint64 expiresAt = s.integer(1);
        const qint64 tries = s.integer(2);
        if (tries >= maxTries)
            return CodeCheck::TooManyTries;
        if (now >= expiresAt)
            return CodeCheck::Expired;
        const QByteArray given = code.toUtf8();
        // Constant time, so the code cannot be learned digit by digit from answer times.
        const bool match = given.size() == stored.size() && CRYPTO_memcmp(given.constData(), stored.constData(), static_cast<size_t>(given.size())) == 0;
        if (match) {
            Stmt del = db.prepare("DELETE FROM codes WHERE email = ?1 AND purpose = ?2");
            del.bind(1, email).bind(2, purpose).exec();
            return CodeCheck::Ok;
        }
        Stmt inc = db.prepare("UPDATE codes SET tries = tries + 1 WHERE email = ?1 AND purpose = ?2");
        inc.bind(1, email).bind(2, purpose).exec();
        return CodeCheck::Wrong;
    });
}

// ---- friends and groups

bool SqliteStore::addFriends(const QString &a, const QString &b, qint64 now)
{
    if (a == b)
        return false;
    try {
        return write([&](Db &db) {
        for (const auto &[x, y] : {std::pair(a, b), std::pair(b, a)}) {
            Stmt s = db.prepare("INSERT OR IGNORE INTO friends (user_id, friend_id, created_at) VALUES (?1, ?2, ?3)");
            s.bind(1, x).bind(2, y).bind(3, now);
            if (!s.exec())
                throw Stmt::Constraint();
        }
        return true;
        });
    } catch (const Stmt::Constraint &) {
        return false;
    }
}

bool SqliteStore::areFriends(const QString &a, const QString &b)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT 1 FROM friends WHERE user_id = ?1 AND friend_id = ?2");
    s.bind(1, a).bind(2, b);
    return s.step();
}

bool SqliteStore::insertGroup(const QString &id, const QString &name, const QString &ownerID, const QStringList &members, qint64 now)
{
    try {
        return write([&](Db &db) {
            Stmt g = db.prepare("INSERT INTO groups_ (id, name, owner_id, created_at) VALUES (?1, ?2, ?3, ?4)");
            g.bind(1, id).bind(2, name).bind(3, ownerID).bind(4, now);
            if (!g.exec())
                throw Stmt::Constraint();
            QStringList all{ownerID};
            for (const QString &m : members)
                if (!all.contains(m))
                    all << m;
            // Members have the group's conversation from the start.
            Stmt c = db.prepare("INSERT INTO conversations (id, type, group_id) VALUES ('sg_' || ?1, 3, ?1)");
            if (!c.bind(1, id).exec())
                throw Stmt::Constraint();
            for (const QString &m : all) {
                Stmt s = db.prepare("INSERT INTO group_members (group_id, user_id, role, joined_at) VALUES (?1, ?2, ?3, ?4)");
                s.bind(1, id).bind(2, m).bind(3, m == ownerID ? QStringLiteral("owner") : QStringLiteral("member")).bind(4, now);
                if (!s.exec())
                    throw Stmt::Constraint();
                Stmt cm = db.prepare("INSERT INTO conversation_members (user_id, conversation_id) VALUES (?1, 'sg_' || ?2)");
                if (!cm.bind(1, m).bind(2, id).exec())
                    throw Stmt::Constraint();
            }
            return true;
        });
    } catch (const Stmt::Constraint &) {
        return false;
    }
}

bool SqliteStore::isGroupMember(const QString &groupID, const QString &userID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT 1 FROM group_members WHERE group_id = ?1 AND user_id = ?2");
    s.bind(1, groupID).bind(2, userID);
    return s.step();
}

std::optional<Group> SqliteStore::group(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, name, owner_id, (SELECT COUNT(*) FROM group_members WHERE group_id = ?1), created_at FROM groups_ WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return Group{s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4)};
}

QStringList SqliteStore::groupMembers(const QString &groupID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT user_id FROM group_members WHERE group_id = ?1 ORDER BY joined_at, user_id");
    s.bind(1, groupID);
    return s.texts();
}

QList<Group> SqliteStore::groupsOf(const QString &userID)
{
    QList<Group> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT g.id, g.name, g.owner_id, (SELECT COUNT(*) FROM group_members c WHERE c.group_id = g.id), g.created_at "
                         "FROM group_members m JOIN groups_ g ON g.id = m.group_id WHERE m.user_id = ?1 ORDER BY g.created_at, g.id");
    s.bind(1, userID);
    while (s.step())
        out.append(Group{s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4)});
    return out;
}

QList<Friend> SqliteStore::friendsOf(const QString &userID)
{
    QList<Friend> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT f.friend_id, u.nickname, u.face_url, f.created_at, "
                         "EXISTS (SELECT 1 FROM blocks b WHERE b.user_id = ?1 AND b.blocked_id = f.friend_id) "
                         "FROM friends f JOIN users u ON u.id = f.friend_id WHERE f.user_id = ?1 ORDER BY f.created_at, f.friend_id");
    s.bind(1, userID);
    while (s.step())
        out.append(Friend{s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4) != 0});
    return out;
}

bool SqliteStore::deleteFriends(const QString &a, const QString &b)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("DELETE FROM friends WHERE (user_id = ?1 AND friend_id = ?2) OR (user_id = ?2 AND friend_id = ?1)");
        s.bind(1, a).bind(2, b).exec();
        return db.changes() > 0;
    });
}

// ---- friend requests and blocks

namespace {

#define REQUEST_COLUMNS                                                                                                          \
    "r.from_id, COALESCE(f.nickname, ''), COALESCE(f.face_url, ''), r.to_id, COALESCE(t.nickname, ''), COALESCE(t.face_url, ''), " \
    "r.req_msg, r.handle_msg, r.result, r.created_at, r.handled_at "                                                             \
    "FROM friend_requests r LEFT JOIN users f ON f.id = r.from_id LEFT JOIN users t ON t.id = r.to_id "

FriendRequest readRequest(const Stmt &s)
{
    return FriendRequest{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.text(6), s.text(7),
                         static_cast<int>(s.integer(8)), s.integer(9), s.integer(10)};
}

} // namespace

void SqliteStore::putFriendRequest(const QString &fromID, const QString &toID, const QString &reqMsg, qint64 now)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO friend_requests (from_id, to_id, req_msg, created_at) VALUES (?1, ?2, ?3, ?4) "
                            "ON CONFLICT (from_id, to_id) DO UPDATE SET req_msg = excluded.req_msg, handle_msg = '', result = 0, "
                            "created_at = excluded.created_at, handled_at = 0");
        if (!s.bind(1, fromID).bind(2, toID).bind(3, reqMsg).bind(4, now).exec())
            throw std::runtime_error("friend request refused");
    });
}

std::optional<FriendRequest> SqliteStore::friendRequest(const QString &fromID, const QString &toID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT " REQUEST_COLUMNS "WHERE r.from_id = ?1 AND r.to_id = ?2");
    s.bind(1, fromID).bind(2, toID);
    if (!s.step())
        return std::nullopt;
    return readRequest(s);
}

bool SqliteStore::settleFriendRequest(const QString &fromID, const QString &toID, int result, const QString &handleMsg, qint64 now)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("UPDATE friend_requests SET result = ?3, handle_msg = ?4, handled_at = ?5 WHERE from_id = ?1 AND to_id = ?2 AND result = 0");
        s.bind(1, fromID).bind(2, toID).bind(3, qint64(result)).bind(4, handleMsg).bind(5, now).exec();
        if (db.changes() != 1)
            return false;
        if (result == 1) {
            for (const auto &[x, y] : {std::pair(fromID, toID), std::pair(toID, fromID)}) {
                Stmt f = db.prepare("INSERT OR IGNORE INTO friends (user_id, friend_id, created_at) VALUES (?1, ?2, ?3)");
                if (!f.bind(1, x).bind(2, y).bind(3, now).exec())
                    throw std::runtime_error("friendship refused");
            }
        }
        return true;
    });
}

QList<FriendRequest> SqliteStore::friendRequestsTo(const QString &userID, int offset, int count)
{
    QList<FriendRequest> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT " REQUEST_COLUMNS "WHERE r.to_id = ?1 ORDER BY r.created_at DESC, r.from_id LIMIT ?3 OFFSET ?2");
    s.bind(1, userID).bind(2, qint64(offset)).bind(3, qint64(count));
    while (s.step())
        out.append(readRequest(s));
    return out;
}

void SqliteStore::addBlock(const QString &userID, const QString &blockedID, const QString &ex, qint64 now)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO blocks (user_id, blocked_id, ex, created_at) VALUES (?1, ?2, ?3, ?4) "
                            "ON CONFLICT (user_id, blocked_id) DO UPDATE SET ex = excluded.ex");
        if (!s.bind(1, userID).bind(2, blockedID).bind(3, ex).bind(4, now).exec())
            throw std::runtime_error("block refused");
    });
}

QStringList SqliteStore::blockedBy(const QString &userID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT blocked_id FROM blocks WHERE user_id = ?1");
    s.bind(1, userID);
    return s.texts();
}

// ---- messages

namespace {

#define MESSAGE_COLUMNS "m.global_seq, m.seq, m.conversation_id, m.send_id, m.client_msg_id, m.notice, m.record "
#define NOT_DELETED "NOT EXISTS (SELECT 1 FROM deleted_messages d WHERE d.user_id = ?1 AND d.global_seq = m.global_seq) "

Message readMessage(const Stmt &s)
{
    return Message{s.integer(0), s.integer(1), s.text(2), s.text(3), s.text(4), s.integer(5) != 0, s.text(6)};
}

} // namespace

Message SqliteStore::storeMessage(Db &db, NewMessage &m)
{
    if (m.type == 1) {
        Stmt c = db.prepare("INSERT OR IGNORE INTO conversations (id, type) VALUES (?1, 1)");
        c.bind(1, m.conversationID).exec();
        for (const QString &user : m.members) {
            const QString peer = m.members.size() == 2 && m.members[0] == user ? m.members[1] : m.members.value(0);
            Stmt cm = db.prepare("INSERT OR IGNORE INTO conversation_members (user_id, conversation_id, peer_id) VALUES (?1, ?2, ?3)");
            if (!cm.bind(1, user).bind(2, m.conversationID).bind(3, peer).exec())
                throw std::runtime_error("conversation member refused");
        }
    }
    Stmt next = db.prepare("UPDATE conversations SET max_seq = max_seq + 1, "
                           "latest_seq = CASE WHEN ?2 THEN latest_seq ELSE max_seq + 1 END, "
                           "latest_time = CASE WHEN ?2 THEN latest_time ELSE ?3 END WHERE id = ?1 RETURNING max_seq");
    next.bind(1, m.conversationID).bind(2, qint64(m.notice)).bind(3, m.sendTime);
    if (!next.step())
        throw std::runtime_error("no such conversation");
    const qint64 seq = next.integer(0);
    while (next.step()) {
    }
    Stmt last = db.prepare("SELECT COALESCE(MAX(global_seq), 0) + 1 FROM messages");
    last.step();
    const qint64 globalSeq = last.integer(0);
    m.record.insert(QStringLiteral("seq"), seq);
    m.record.insert(QStringLiteral("globalSeq"), globalSeq);
    const QString record = QString::fromUtf8(QJsonDocument(m.record).toJson(QJsonDocument::Compact));
    Stmt s = db.prepare("INSERT INTO messages (global_seq, conversation_id, seq, send_id, client_msg_id, notice, send_time, record, push_info) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    s.bind(1, globalSeq).bind(2, m.conversationID).bind(3, seq).bind(4, m.sendID).bind(5, m.clientMsgID).bind(6, qint64(m.notice));
    s.bind(7, m.sendTime).bind(8, record).bind(9, m.pushInfo);
    if (!s.exec())
        throw std::runtime_error("message refused");
    return Message{globalSeq, seq, m.conversationID, m.sendID, m.clientMsgID, m.notice, record};
}

std::optional<Message> SqliteStore::insertMessage(NewMessage message, bool *duplicate)
{
    return write([&](Db &db) -> std::optional<Message> {
        *duplicate = false;
        // The sender's own message in the same conversation first: that is a retry.
        Stmt seen = db.prepare("SELECT " MESSAGE_COLUMNS "FROM messages m WHERE m.client_msg_id = ?1 "
                               "ORDER BY (m.send_id = ?2 AND m.conversation_id = ?3) DESC LIMIT 1");
        seen.bind(1, message.clientMsgID).bind(2, message.sendID).bind(3, message.conversationID);
        if (seen.step()) {
            Message stored = readMessage(seen);
            if (stored.sendID != message.sendID || stored.conversationID != message.conversationID)
                return std::nullopt;
            *duplicate = true;
            return stored;
        }
        return storeMessage(db, message);
    });
}

std::optional<Message> SqliteStore::recallMessage(qint64 globalSeq, const QString &recalledRecord, NewMessage notice)
{
    return write([&](Db &db) -> std::optional<Message> {
        Stmt s = db.prepare("UPDATE messages SET record = ?2 WHERE global_seq = ?1 AND notice = 0 "
                            "AND json_extract(record, '$.contentType') IS NOT 2101");
        s.bind(1, globalSeq).bind(2, recalledRecord).exec();
        if (db.changes() != 1)
            return std::nullopt;
        return storeMessage(db, notice);
    });
}

std::optional<Message> SqliteStore::messageByClientID(const QString &conversationID, const QString &clientMsgID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT " MESSAGE_COLUMNS "FROM messages m WHERE m.conversation_id = ?1 AND m.client_msg_id = ?2 ORDER BY m.global_seq LIMIT 1");
    s.bind(1, conversationID).bind(2, clientMsgID);
    if (!s.step())
        return std::nullopt;
    return readMessage(s);
}

qint64 SqliteStore::latestGlobalSeq()
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT COALESCE(MAX(global_seq), 0) FROM messages");
    return s.step() ? s.integer(0) : 0;
}

QList<Message> SqliteStore::history(const QString &userID, const QString &conversationID, qint64 beforeSeq, int count)
{
    QList<Message> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT " MESSAGE_COLUMNS "FROM messages m WHERE m.conversation_id = ?2 AND m.seq < ?3 AND m.notice = 0 AND " NOT_DELETED
                         "ORDER BY m.seq DESC LIMIT ?4");
    s.bind(1, userID).bind(2, conversationID).bind(3, beforeSeq > 0 ? beforeSeq : std::numeric_limits<qint64>::max()).bind(4, qint64(count));
    while (s.step())
        out.append(readMessage(s));
    return out;
}

QList<Message> SqliteStore::messagesAfter(const QString &userID, qint64 after, int limit)
{
    QList<Message> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT " MESSAGE_COLUMNS "FROM messages m WHERE m.global_seq > ?2 "
                         "AND m.conversation_id IN (SELECT conversation_id FROM conversation_members WHERE user_id = ?1) AND " NOT_DELETED
                         "ORDER BY m.global_seq LIMIT ?3");
    s.bind(1, userID).bind(2, after).bind(3, qint64(limit));
    while (s.step())
        out.append(readMessage(s));
    return out;
}

void SqliteStore::deleteMessageFor(const QString &userID, qint64 globalSeq)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT OR IGNORE INTO deleted_messages (user_id, global_seq) VALUES (?1, ?2)");
        if (!s.bind(1, userID).bind(2, globalSeq).exec())
            throw std::runtime_error("delete refused");
    });
}

// ---- conversations

namespace {

#define CONVERSATION_SELECT                                                                                                      \
    "SELECT c.id, c.type, cm.peer_id, c.group_id, COALESCE(u.nickname, g.name, ''), COALESCE(u.face_url, ''), cm.pinned, "      \
    "cm.recv_msg_opt, cm.draft, cm.read_seq, cm.hidden_until, c.max_seq, c.latest_seq, c.latest_time, "                         \
    "(SELECT COUNT(*) FROM messages m WHERE m.conversation_id = c.id AND m.seq > cm.read_seq AND m.notice = 0 "                 \
    "AND m.send_id <> ?1 AND " NOT_DELETED "), "                                                                                 \
    "COALESCE((SELECT m.record FROM messages m WHERE m.conversation_id = c.id AND m.notice = 0 AND " NOT_DELETED                \
    "ORDER BY m.seq DESC LIMIT 1), '') "                                                                                         \
    "FROM conversation_members cm JOIN conversations c ON c.id = cm.conversation_id "                                            \
    "LEFT JOIN users u ON u.id = NULLIF(cm.peer_id, '') LEFT JOIN groups_ g ON g.id = NULLIF(c.group_id, '') "                  \
    "WHERE cm.user_id = ?1 "

Conversation readConversation(const Stmt &s)
{
    Conversation c;
    c.id = s.text(0);
    c.type = static_cast<int>(s.integer(1));
    c.peerID = s.text(2);
    c.groupID = s.text(3);
    c.showName = s.text(4);
    c.faceURL = s.text(5);
    c.pinned = s.integer(6) != 0;
    c.recvMsgOpt = static_cast<int>(s.integer(7));
    c.draft = s.text(8);
    c.readSeq = s.integer(9);
    c.hiddenUntil = s.integer(10);
    c.maxSeq = s.integer(11);
    c.latestSeq = s.integer(12);
    c.latestTime = s.integer(13);
    c.unread = s.integer(14);
    c.latestRecord = s.text(15);
    return c;
}

} // namespace

QList<Conversation> SqliteStore::conversationsOf(const QString &userID)
{
    QList<Conversation> out;
    Reader db = reader();
    Stmt s = db->prepare(CONVERSATION_SELECT);
    s.bind(1, userID);
    while (s.step())
        out.append(readConversation(s));
    return out;
}

std::optional<Conversation> SqliteStore::conversationOf(const QString &userID, const QString &conversationID)
{
    Reader db = reader();
    Stmt s = db->prepare(CONVERSATION_SELECT "AND cm.conversation_id = ?2");
    s.bind(1, userID).bind(2, conversationID);
    if (!s.step())
        return std::nullopt;
    return readConversation(s);
}

bool SqliteStore::conversationExists(const QString &conversationID)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT 1 FROM conversations WHERE id = ?1");
    s.bind(1, conversationID);
    return s.step();
}

bool SqliteStore::changeConversation(const QString &userID, const QString &conversationID, const ConversationChange &change)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("UPDATE conversation_members SET pinned = COALESCE(?3, pinned), recv_msg_opt = COALESCE(?4, recv_msg_opt), "
                            "draft = COALESCE(?5, draft), "
                            "read_seq = CASE WHEN ?6 THEN (SELECT max_seq FROM conversations WHERE id = ?2) ELSE read_seq END, "
                            "hidden_until = CASE WHEN ?7 THEN (SELECT latest_seq FROM conversations WHERE id = ?2) ELSE hidden_until END "
                            "WHERE user_id = ?1 AND conversation_id = ?2");
        s.bind(1, userID).bind(2, conversationID);
        std::optional<QString> none;
        if (change.pinned)
            s.bind(3, qint64(*change.pinned));
        else
            s.bind(3, none);
        if (change.recvMsgOpt)
            s.bind(4, qint64(*change.recvMsgOpt));
        else
            s.bind(4, none);
        s.bind(5, change.draft).bind(6, qint64(change.markRead)).bind(7, qint64(change.hide));
        s.exec();
        return db.changes() == 1;
    });
}

// ---- key directory

void SqliteStore::putDeviceKey(const QString &userID, const QString &deviceID, const QString &pubKey, qint64 now, int maxDevices)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO device_keys (user_id, device_id, pub_key, updated_at) VALUES (?1, ?2, ?3, ?4) "
                            "ON CONFLICT (user_id, device_id) DO UPDATE SET pub_key = excluded.pub_key, updated_at = excluded.updated_at");
        s.bind(1, userID).bind(2, deviceID).bind(3, pubKey).bind(4, now).exec();
        Stmt trim = db.prepare("DELETE FROM device_keys WHERE user_id = ?1 AND device_id NOT IN "
                               "(SELECT device_id FROM device_keys WHERE user_id = ?1 ORDER BY updated_at DESC, device_id LIMIT ?2)");
        trim.bind(1, userID).bind(2, maxDevices).exec();
    });
}

QHash<QString, QList<DeviceKey>> SqliteStore::deviceKeys(const QStringList &userIDs)
{
    QHash<QString, QList<DeviceKey>> out;
    for (const QString &id : userIDs)
        out.insert(id, {});
    // One statement for every id: each statement outside a transaction costs its own locks.
    Reader db = reader();
    Stmt s = db->prepare("SELECT user_id, device_id, pub_key, updated_at FROM device_keys "
                         "WHERE user_id IN (SELECT value FROM json_each(?1)) ORDER BY user_id, updated_at DESC, device_id");
    s.bind(1, QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(userIDs)).toJson(QJsonDocument::Compact)));
    while (s.step())
        out[s.text(0)].append({s.text(1), s.text(2), s.integer(3)});
    return out;
}

// ---- rooms

void SqliteStore::insertRoom(const Room &room)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO rooms (id, creator_id, group_id, created_at) VALUES (?1, ?2, ?3, ?4)");
        s.bind(1, room.id).bind(2, room.creatorID).bind(3, room.groupID).bind(4, room.createdAt);
        if (!s.exec())
            throw std::runtime_error("room id collision");
    });
}

std::optional<Room> SqliteStore::room(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, creator_id, group_id, created_at FROM rooms WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return Room{s.text(0), s.text(1), s.text(2), s.integer(3)};
}

void SqliteStore::purgeExpired(qint64 now, qint64 roomsCreatedBefore)
{
    write([&](Db &db) {
        Stmt tokens = db.prepare("DELETE FROM tokens WHERE expires_at <= ?1");
        tokens.bind(1, now).exec();
        Stmt codes = db.prepare("DELETE FROM codes WHERE expires_at <= ?1");
        codes.bind(1, now).exec();
        Stmt rooms = db.prepare("DELETE FROM rooms WHERE created_at < ?1");
        rooms.bind(1, roomsCreatedBefore).exec();
    });
}

// ---- moments

void SqliteStore::completePost(Db &db, Post &post)
{
    Stmt likes = db.prepare("SELECT user_id FROM likes WHERE post_id = ?1 ORDER BY seq");
    likes.bind(1, post.id);
    while (likes.step())
        post.likes << likes.text(0);
    Stmt comments = db.prepare("SELECT id, user_id, text, created_at FROM comments WHERE post_id = ?1 ORDER BY seq");
    comments.bind(1, post.id);
    while (comments.step())
        post.comments.append({comments.text(0), comments.text(1), comments.text(2), comments.integer(3)});
}

Post SqliteStore::insertPost(Post post)
{
    return write([&](Db &db) {
        // Pages are cut by createdAt, so two posts must never share one.
        Stmt last = db.prepare("SELECT COALESCE(MAX(created_at), 0) FROM posts");
        if (last.step())
            post.createdAt = std::max(post.createdAt, last.integer(0) + 1);
        Stmt s = db.prepare("INSERT INTO posts (id, user_id, content, images, created_at) VALUES (?1, ?2, ?3, ?4, ?5)");
        s.bind(1, post.id).bind(2, post.userID).bind(3, post.content).bind(4, joinImages(post.images)).bind(5, post.createdAt);
        if (!s.exec())
            throw std::runtime_error("post id collision");
        return post;
    });
}

std::optional<Post> SqliteStore::post(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, user_id, content, images, created_at FROM posts WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    Post p{s.text(0), s.text(1), s.text(2), splitImages(s.text(3)), {}, {}, s.integer(4)};
    completePost(*db, p);
    return p;
}

QList<Post> SqliteStore::feed(const QString &viewerID, qint64 before, int limit)
{
    QList<Post> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, user_id, content, images, created_at FROM posts "
                         "WHERE created_at < ?2 AND (user_id = ?1 OR user_id IN (SELECT friend_id FROM friends WHERE user_id = ?1)) "
                         "ORDER BY created_at DESC LIMIT ?3");
    s.bind(1, viewerID).bind(2, before).bind(3, limit);
    while (s.step())
        out.append(Post{s.text(0), s.text(1), s.text(2), splitImages(s.text(3)), {}, {}, s.integer(4)});
    for (Post &p : out)
        completePost(*db, p);
    return out;
}

bool SqliteStore::toggleLike(const QString &postID, const QString &userID, qint64 now)
{
    return write([&](Db &db) {
        Stmt del = db.prepare("DELETE FROM likes WHERE post_id = ?1 AND user_id = ?2");
        del.bind(1, postID).bind(2, userID).exec();
        if (db.changes() > 0)
            return false;
        Stmt add = db.prepare("INSERT INTO likes (post_id, user_id, created_at, seq) "
                              "VALUES (?1, ?2, ?3, (SELECT COALESCE(MAX(seq), 0) + 1 FROM likes WHERE post_id = ?1))");
        add.bind(1, postID).bind(2, userID).bind(3, now);
        if (!add.exec())
            throw std::runtime_error("like refused");
        return true;
    });
}

void SqliteStore::insertComment(const QString &postID, const Comment &c)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO comments (id, post_id, user_id, text, created_at, seq) "
                            "VALUES (?1, ?2, ?3, ?4, ?5, (SELECT COALESCE(MAX(seq), 0) + 1 FROM comments WHERE post_id = ?2))");
        s.bind(1, c.id).bind(2, postID).bind(3, c.userID).bind(4, c.text).bind(5, c.createdAt);
        if (!s.exec())
            throw std::runtime_error("comment refused");
    });
}

bool SqliteStore::deleteComment(const QString &postID, const QString &commentID)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("DELETE FROM comments WHERE post_id = ?1 AND id = ?2");
        s.bind(1, postID).bind(2, commentID).exec();
        return db.changes() > 0;
    });
}

bool SqliteStore::deletePost(const QString &postID)
{
    return write([&](Db &db) {
        Stmt s = db.prepare("DELETE FROM posts WHERE id = ?1");
        s.bind(1, postID).exec();
        return db.changes() > 0;
    });
}

void SqliteStore::insertCrashReport(const CrashReport &r)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO crash_reports (user_id, platform, version, error, stack, extra, peer, received_at) "
                            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        s.bind(1, r.userID).bind(2, r.platform).bind(3, r.version).bind(4, r.error).bind(5, r.stack).bind(6, r.extra);
        s.bind(7, r.peer).bind(8, r.receivedAt).exec();
    });
}

// ---- objects

void SqliteStore::insertUpload(const Upload &u)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO uploads (id, user_id, name, content_type, hash, size, part_size, part_count, created_at, expires_at) "
                            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        s.bind(1, u.id).bind(2, u.userID).bind(3, u.name).bind(4, u.contentType).bind(5, u.hash).bind(6, u.size);
        s.bind(7, u.partSize).bind(8, u.partCount).bind(9, u.createdAt).bind(10, u.expiresAt);
        if (!s.exec())
            throw std::runtime_error("upload id collision");
    });
}

std::optional<Upload> SqliteStore::upload(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, user_id, name, content_type, hash, size, part_size, part_count, created_at, expires_at FROM uploads WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return Upload{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.integer(5), s.integer(6), s.integer(7), s.integer(8), s.integer(9)};
}

void SqliteStore::putPart(const QString &uploadID, const Part &part)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT OR REPLACE INTO upload_parts (upload_id, number, size, md5) VALUES (?1, ?2, ?3, ?4)");
        s.bind(1, uploadID).bind(2, part.number).bind(3, part.size).bind(4, part.md5);
        if (!s.exec())
            throw std::runtime_error("part refused");
    });
}

QList<Part> SqliteStore::parts(const QString &uploadID)
{
    QList<Part> out;
    Reader db = reader();
    Stmt s = db->prepare("SELECT number, size, md5 FROM upload_parts WHERE upload_id = ?1 ORDER BY number");
    s.bind(1, uploadID);
    while (s.step())
        out.append({s.integer(0), s.integer(1), s.text(2)});
    return out;
}

void SqliteStore::deleteUpload(const QString &id)
{
    write([&](Db &db) {
        Stmt s = db.prepare("DELETE FROM uploads WHERE id = ?1");
        s.bind(1, id).exec();
    });
}

QStringList SqliteStore::expiredUploads(qint64 now)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id FROM uploads WHERE expires_at <= ?1");
    s.bind(1, now);
    return s.texts();
}

int SqliteStore::openUploads(const QString &userID, qint64 now)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT COUNT(*) FROM uploads WHERE user_id = ?1 AND expires_at > ?2");
    s.bind(1, userID).bind(2, now);
    return s.step() ? int(s.integer(0)) : 0;
}

void SqliteStore::insertObject(const Object &o)
{
    write([&](Db &db) {
        Stmt s = db.prepare("INSERT INTO objects (id, user_id, name, content_type, size, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        s.bind(1, o.id).bind(2, o.userID).bind(3, o.name).bind(4, o.contentType).bind(5, o.size).bind(6, o.createdAt);
        if (!s.exec())
            throw std::runtime_error("object id collision");
    });
}

std::optional<Object> SqliteStore::object(const QString &id)
{
    Reader db = reader();
    Stmt s = db->prepare("SELECT id, user_id, name, content_type, size, created_at FROM objects WHERE id = ?1");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    return Object{s.text(0), s.text(1), s.text(2), s.text(3), s.integer(4), s.integer(5)};
}

} // namespace Storage
