#pragma once

#include <QByteArray>
#include <QHash>
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

    // Key directory
    // Adds or replaces one device's key; keeps at most `maxDevices` per user (oldest dropped).
    virtual void putDeviceKey(const QString &userID, const QString &deviceID, const QString &pubKey, qint64 now, int maxDevices) = 0;
    // Newest first per user.
    virtual QHash<QString, QList<DeviceKey>> deviceKeys(const QStringList &userIDs) = 0;

    // Call rooms
    virtual void insertRoom(const Room &room) = 0;
    virtual std::optional<Room> room(const QString &id) = 0;

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
    virtual void insertObject(const Object &object) = 0;
    virtual std::optional<Object> object(const QString &id) = 0;
};

} // namespace Storage
