#pragma once

#include "storage/Store.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Storage {

class Db;

// The embedded store: one SQLite file in WAL mode. All writes go through one connection under
// one lock (SQLite has one writer anyway); reads take a connection from a pool so they run in
// parallel with each other and with the writer. Every statement is prepared once per
// connection and bound, never built from input.
class SqliteStore : public Store {
public:
    // Opens (and creates or migrates) the database file; throws std::runtime_error on failure.
    explicit SqliteStore(const QString &path);
    ~SqliteStore() override;

    std::optional<User> userById(const QString &id) override;
    std::optional<User> userByEmail(const QString &email) override;
    std::optional<User> userByPhone(const QString &areaCode, const QString &phone) override;
    QHash<QString, User> usersByIds(const QStringList &ids) override;
    bool insertUser(const User &user) override;
    bool setPasswordHash(const QString &userID, const QString &hash) override;
    bool updateProfile(const QString &userID, const std::optional<QString> &nickname, const std::optional<QString> &faceURL) override;

    void insertToken(const QByteArray &tokenHash, const QString &userID, const QString &kind, qint64 expiresAt) override;
    std::optional<TokenOwner> tokenUser(const QByteArray &tokenHash, const QString &kind, qint64 now) override;
    void revokeTokens(const QString &userID) override;

    std::optional<qint64> lastCodeSentAt(const QString &email) override;
    void putCode(const QString &email, const QString &purpose, const QString &code, qint64 sentAt, qint64 expiresAt) override;
    CodeCheck checkCode(const QString &email, const QString &purpose, const QString &code, qint64 now, int maxTries) override;

    bool addFriends(const QString &a, const QString &b, qint64 now) override;
    bool areFriends(const QString &a, const QString &b) override;
    bool insertGroup(const QString &id, const QString &name, const QString &ownerID, const QStringList &members, qint64 now) override;
    bool isGroupMember(const QString &groupID, const QString &userID) override;
    std::optional<Group> group(const QString &id) override;
    QStringList groupMembers(const QString &groupID) override;
    QList<Group> groupsOf(const QString &userID) override;
    QList<Friend> friendsOf(const QString &userID) override;
    bool deleteFriends(const QString &a, const QString &b) override;

    void putFriendRequest(const QString &fromID, const QString &toID, const QString &reqMsg, qint64 now) override;
    std::optional<FriendRequest> friendRequest(const QString &fromID, const QString &toID) override;
    bool settleFriendRequest(const QString &fromID, const QString &toID, int result, const QString &handleMsg, qint64 now) override;
    QList<FriendRequest> friendRequestsTo(const QString &userID, int offset, int count) override;

    void addBlock(const QString &userID, const QString &blockedID, const QString &ex, qint64 now) override;
    QStringList blockedBy(const QString &userID) override;

    std::optional<Message> insertMessage(NewMessage message, bool *duplicate) override;
    std::optional<Message> recallMessage(qint64 globalSeq, const QString &recalledRecord, NewMessage notice) override;
    std::optional<Message> messageByClientID(const QString &conversationID, const QString &clientMsgID) override;
    qint64 latestGlobalSeq() override;
    QList<Message> history(const QString &userID, const QString &conversationID, qint64 beforeSeq, int count) override;
    QList<Message> messagesAfter(const QString &userID, qint64 after, int limit) override;
    void deleteMessageFor(const QString &userID, qint64 globalSeq) override;

    QList<Conversation> conversationsOf(const QString &userID) override;
    std::optional<Conversation> conversationOf(const QString &userID, const QString &conversationID) override;
    bool conversationExists(const QString &conversationID) override;
    bool changeConversation(const QString &userID, const QString &conversationID, const ConversationChange &change) override;

    void putDeviceKey(const QString &userID, const QString &deviceID, const QString &pubKey, qint64 now, int maxDevices) override;
    QHash<QString, QList<DeviceKey>> deviceKeys(const QStringList &userIDs) override;

    void insertRoom(const Room &room) override;
    std::optional<Room> room(const QString &id) override;
    void purgeExpired(qint64 now, qint64 roomsCreatedBefore) override;

    Post insertPost(Post post) override;
    std::optional<Post> post(const QString &id) override;
    QList<Post> feed(const QString &viewerID, qint64 before, int limit) override;
    bool toggleLike(const QString &postID, const QString &userID, qint64 now) override;
    void insertComment(const QString &postID, const Comment &comment) override;
    bool deleteComment(const QString &postID, const QString &commentID) override;
    bool deletePost(const QString &postID) override;

    void insertCrashReport(const CrashReport &report) override;

    void insertUpload(const Upload &upload) override;
    std::optional<Upload> upload(const QString &id) override;
    void putPart(const QString &uploadID, const Part &part) override;
    QList<Part> parts(const QString &uploadID) override;
    void deleteUpload(const QString &id) override;
    QStringList expiredUploads(qint64 now) override;
    int openUploads(const QString &userID, qint64 now) override;
    void insertObject(const Object &object) override;
    std::optional<Object> object(const QString &id) override;

private:
    class Reader;
    Reader reader();
    template <typename F>
    auto write(F &&work);
    void completePost(Db &db, Post &post);
    Message storeMessage(Db &db, NewMessage &message);

    QString m_path;
    std::mutex m_writeMutex;
    std::unique_ptr<Db> m_writer;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<Db>> m_pool;

    // WAL checkpoints run here, on their own connection, instead of inside whichever commit
    // crosses the threshold: that commit would otherwise wait for the database file's sync.
    void checkpointLoop();
    std::mutex m_checkpointMutex;
    std::condition_variable m_checkpointWake;
    bool m_stopping = false;
    std::thread m_checkpointer;
};

} // namespace Storage
