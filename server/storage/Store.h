#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Everything the service keeps, behind one interface so that a deployment can move from the
// embedded SQLite file to a database server. Implementations are safe to call from any thread.
namespace Storage {

struct User {
    QString id;
    QString email; // lower case; empty for phone-only accounts
    QString areaCode;
    QString phone;
    QString nickname;
    QString faceURL;
    QString passwordHash; // "pbkdf2-sha256$…", never the client's MD5 itself
    qint64 createdAt = 0;
};

enum class CodeCheck { Ok, Missing, Wrong, Expired, TooManyTries };

struct DeviceKey {
    QString deviceID;
    QString pubKey;
    qint64 updatedAt = 0;
};

struct Room {
    QString id;
    QString creatorID;
    QString groupID; // empty for one-to-one rooms
    qint64 createdAt = 0;
};

struct Comment {
    QString id;
    QString userID;
    QString text;
    qint64 createdAt = 0;
};

struct Post {
    QString id;
    QString userID;
    QString content;
    QStringList images;
    QStringList likes; // user ids, oldest like first
    QList<Comment> comments;
    qint64 createdAt = 0; // ms since the epoch, unique across posts
};

struct CrashReport {
    QString userID, platform, version, error, stack, extra, peer;
    qint64 receivedAt = 0;
};

struct Upload {
    QString id;
    QString userID;
    QString name;
    QString contentType;
    QString hash; // MD5 hex of the part hashes joined with ","
    qint64 size = 0;
    qint64 partSize = 0;
    qint64 partCount = 0;
    qint64 createdAt = 0;
    qint64 expiresAt = 0;
};

struct Part {
    qint64 number = 0;
    qint64 size = 0;
    QString md5;
};

// One stored message or notice; `record` is the message record as JSON text with seq and
// globalSeq filled in.
struct Message {
    qint64 globalSeq = 0;
    qint64 seq = 0;
    QString conversationID;
    QString sendID;
    QString clientMsgID;
    bool notice = false;
    QString record;
};

struct NewMessage {
    QString conversationID;
    int type = 1;        // 1 one-to-one, 3 group
    QStringList members; // one-to-one: the two users (their conversation rows are created)
    QString groupID;
    QString sendID;
    QString clientMsgID;
    bool notice = false;
    qint64 sendTime = 0;
    QJsonObject record;  // seq and globalSeq are added by the store
    QString pushInfo;    // offlinePushInfo as JSON text, kept as is
};

// A user's view of one conversation.
struct Conversation {
    QString id;
    int type = 1;
    QString peerID;  // one-to-one
    QString groupID; // group
    QString showName;
    QString faceURL;
    bool pinned = false;
    int recvMsgOpt = 0;
    QString draft;
    qint64 readSeq = 0;
    qint64 hiddenUntil = -1; // hidden until a message newer than this seq arrives
    qint64 maxSeq = 0;
    qint64 latestSeq = 0; // seq of the newest message that is not a notice
    qint64 latestTime = 0;
    qint64 unread = 0;
    QString latestRecord; // newest message the user sees (no notices, not deleted), "" if none
    bool hidden() const { return latestSeq <= hiddenUntil; }
};

struct ConversationChange {
    std::optional<bool> pinned;
    std::optional<int> recvMsgOpt;
    std::optional<QString> draft;
    bool markRead = false;
    bool hide = false;
};

struct Friend {
    QString userID;
    QString nickname;
    QString faceURL;
    qint64 createdAt = 0;
    bool blocked = false; // the owner blocked this friend
};

struct FriendRequest {
    QString fromID, fromNickname, fromFaceURL;
    QString toID, toNickname, toFaceURL;
    QString reqMsg, handleMsg;
    int result = 0; // 0 pending, 1 accepted, -1 refused
    qint64 createdAt = 0;
    qint64 handledAt = 0;
};

struct Group {
    QString id;
    QString name;
    QString ownerID;
    qint64 memberCount = 0;
    qint64 createdAt = 0;
};

struct Object {
    QString id;
    QString userID;
    QString name;
    QString contentType;
    qint64 size = 0;
    qint64 createdAt = 0;
};

class Store {
public:
    virtual ~Store() = default;

    // Users
    virtual std::optional<User> userById(const QString &id) = 0;
    virtual std::optional<User> userByEmail(const QString &email) = 0;
    virtual std::optional<User> userByPhone(const QString &areaCode, const QString &phone) = 0;
    virtual QHash<QString, User> usersByIds(const QStringList &ids) = 0;
    // False when the id, e-mail or phone number is taken.
    virtual bool insertUser(const User &user) = 0;
    virtual bool setPasswordHash(const QString &userID, const QString &hash) = 0;
    // Empty optionals leave the member as it is.
    virtual bool updateProfile(const QString &userID, const std::optional<QString> &nickname, const std::optional<QString> &faceURL) = 0;

    // Sessions: only a hash of each token is kept.
    virtual void insertToken(const QByteArray &tokenHash, const QString &userID, const QString &kind, qint64 expiresAt) = 0;
    struct TokenOwner {
        QString userID;
        qint64 expiresAt = 0;
    };
    virtual std::optional<TokenOwner> tokenUser(const QByteArray &tokenHash, const QString &kind, qint64 now) = 0;
    virtual void revokeTokens(const QString &userID) = 0;

    // Verification codes: one live code per address and purpose.
    virtual std::optional<qint64> lastCodeSentAt(const QString &email) = 0;
    virtual void putCode(const QString &email, const QString &purpose, const QString &code, qint64 sentAt, qint64 expiresAt) = 0;
    // Counts the try; a correct code is consumed.
    virtual CodeCheck checkCode(const QString &email, const QString &purpose, const QString &code, qint64 now, int maxTries) = 0;

    // Friends and groups
    virtual bool addFriends(const QString &a, const QString &b, qint64 now) = 0;
    virtual bool areFriends(const QString &a, const QString &b) = 0;
    virtual bool insertGroup(const QString &id, const QString &name, const QString &ownerID, const QStringList &members, qint64 now) = 0;
    virtual bool isGroupMember(const QString &groupID, const QString &userID) = 0;
    virtual std::optional<Group> group(const QString &id) = 0;
    virtual QStringList groupMembers(const QString &groupID) = 0;
    virtual QList<Group> groupsOf(const QString &userID) = 0;
    virtual QList<Friend> friendsOf(const QString &userID) = 0;
    // False when they were not friends.
    virtual bool deleteFriends(const QString &a, const QString &b) = 0;

    // Friend requests: one per ordered pair, replaced by a new request.
    virtual void putFriendRequest(const QString &fromID, const QString &toID, const QString &reqMsg, qint64 now) = 0;
    virtual std::optional<FriendRequest> friendRequest(const QString &fromID, const QString &toID) = 0;
    // Settles a pending request (result 1 or -1); accepting also makes the two friends. False
    // when no request from `fromID` to `toID` was pending.
    virtual bool settleFriendRequest(const QString &fromID, const QString &toID, int result, const QString &handleMsg, qint64 now) = 0;
    // Requests sent to the user, newest first.
    virtual QList<FriendRequest> friendRequestsTo(const QString &userID, int offset, int count) = 0;

    // Blocks: `userID` refuses messages from `blockedID`.
    virtual void addBlock(const QString &userID, const QString &blockedID, const QString &ex, qint64 now) = 0;
    virtual QStringList blockedBy(const QString &userID) = 0;

    // Messages. Sequences: globalSeq over the whole store, seq within a conversation, both from 1.
    // Stores the message in one transaction (creating one-to-one conversation rows on first
    // use); a (sendID, clientMsgID) seen before in the same conversation returns the stored
    // message with `*duplicate` set. None when the clientMsgID already names a message of another
    // sender or of another conversation: an ID identifies one message everywhere.
    virtual std::optional<Message> insertMessage(NewMessage message, bool *duplicate) = 0;
    // Replaces a message's record with its recalled form and stores the notice, atomically;
    // nothing when the message was recalled already.
    virtual std::optional<Message> recallMessage(qint64 globalSeq, const QString &recalledRecord, NewMessage notice) = 0;
    virtual std::optional<Message> messageByClientID(const QString &conversationID, const QString &clientMsgID) = 0;
    virtual qint64 latestGlobalSeq() = 0;
    // Up to `count` non-notice messages the user did not delete with seq below `beforeSeq`
    // (0 = newest), newest first.
    virtual QList<Message> history(const QString &userID, const QString &conversationID, qint64 beforeSeq, int count) = 0;
    // Messages and notices of the user's conversations above `after`, ascending.
    virtual QList<Message> messagesAfter(const QString &userID, qint64 after, int limit) = 0;
    virtual void deleteMessageFor(const QString &userID, qint64 globalSeq) = 0;

    // Conversations as the user sees them; hidden ones included (Conversation::hidden()).
    virtual QList<Conversation> conversationsOf(const QString &userID) = 0;
    virtual std::optional<Conversation> conversationOf(const QString &userID, const QString &conversationID) = 0;
    virtual bool conversationExists(const QString &conversationID) = 0;
    // False when the user has no such conversation.
    virtual bool changeConversation(const QString &userID, const QString &conversationID, const ConversationChange &change) = 0;

    // Key directory
    // Adds or replaces one device's key; keeps at most `maxDevices` per user (oldest dropped).
    virtual void putDeviceKey(const QString &userID, const QString &deviceID, const QString &pubKey, qint64 now, int maxDevices) = 0;
    // Newest first per user.
    virtual QHash<QString, QList<DeviceKey>> deviceKeys(const QStringList &userIDs) = 0;

    // Call rooms
    virtual void insertRoom(const Room &room) = 0;
    virtual std::optional<Room> room(const QString &id) = 0;

    // Deletes tokens and verification codes that expired by `now`, and rooms created before
    // `roomsCreatedBefore`.
    virtual void purgeExpired(qint64 now, qint64 roomsCreatedBefore) = 0;

    // Moments
    // Stores the post; its createdAt is raised when needed so that no two posts share one.
    virtual Post insertPost(Post post) = 0;
    virtual std::optional<Post> post(const QString &id) = 0;
    // Posts by the viewer and the viewer's friends older than `before`, newest first.
    virtual QList<Post> feed(const QString &viewerID, qint64 before, int limit) = 0;
    // True when the user likes the post afterwards.
    virtual bool toggleLike(const QString &postID, const QString &userID, qint64 now) = 0;
    virtual void insertComment(const QString &postID, const Comment &comment) = 0;
    virtual bool deleteComment(const QString &postID, const QString &commentID) = 0;
    virtual bool deletePost(const QString &postID) = 0;

    virtual void insertCrashReport(const CrashReport &report) = 0;

    // Object storage metadata (the bytes live in files beside the database).
    virtual void insertUpload(const Upload &upload) = 0;
    virtual std::optional<Upload> upload(const QString &id) = 0;
    virtual void putPart(const QString &uploadID, const Part &part) = 0;
    virtual QList<Part> parts(const QString &uploadID) = 0;
    virtual void deleteUpload(const QString &id) = 0;
    virtual QStringList expiredUploads(qint64 now) = 0;
    // Uploads of the user begun and neither completed nor expired by `now`.
    virtual int openUploads(const QString &userID, qint64 now) = 0;
    virtual void insertObject(const Object &object) = 0;
    virtual std::optional<Object> object(const QString &id) = 0;
};

} // namespace Storage
