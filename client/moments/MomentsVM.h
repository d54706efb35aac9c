#pragma once

#include "app/Credentials.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

struct MLike {
    QString userID;
    QString nickname;
    bool operator==(const MLike &) const = default;
};

struct MComment {
    QString id;
    QString userID;
    QString nickname;
    QString text;
    double createdAt = 0;
    bool operator==(const MComment &) const = default;

    static MComment parse(const QJsonObject &o);
};

struct MPost {
    QString id;
    QString userID;
    QString nickname;
    QString faceURL;
    QString content;
    QStringList images;
    QList<MLike> likes;
    QList<MComment> comments;
    double createdAt = 0;
    bool operator==(const MPost &) const = default;

    // None for anything but an object with a text "_id".
    static std::optional<MPost> parse(const QJsonValue &v);
};

// The Moments feed: pages of posts from the bridge, new posts with their images, likes,
// comments and deletions. Every change comes back as the server's updated post. Main thread.
class MomentsVM : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxImages = 9;
    static constexpr int kInferredPageSize = 20;

    explicit MomentsVM(Credentials credentials, QObject *parent = nullptr);

    const QList<MPost> &posts() const { return m_posts; }
    bool hasMore() const { return m_hasMore; }
    bool loading() const { return m_loading; }
    const std::optional<QString> &toast() const { return m_toast; }
    void clearToast();

    // The bridge request with "token" and "userID" in the body; an "error" string fails.
    QCoro::Task<QJsonObject> api(QJsonObject body, QString path);

    QCoro::Task<void> refresh();
    QCoro::Task<void> loadMore();
    // Uploads the first nine images one after another, then posts; false (with the toast set)
    // when anything fails.
    QCoro::Task<bool> create(QString content, QStringList imagePaths);
    QCoro::Task<void> like(MPost post);
    QCoro::Task<void> comment(MPost post, QString text);
    QCoro::Task<void> deleteComment(MPost post, QString commentID);
    QCoro::Task<void> deletePost(MPost post);

    // "m" + milliseconds + 100..999 + "." + the lower-case extension ("jpg" without one).
    static QString uploadName(const QString &path, qint64 nowMs, int random);

signals:
    void postsChanged();
    void hasMoreChanged();
    void loadingChanged();
    void toastChanged();

private:
    // The new post's answer; none when the view model went away before the post was made.
    QCoro::Task<std::optional<QJsonObject>> publish(QString content, QStringList paths);
    QCoro::Task<void> mutate(QString path, QJsonObject body);
    void setLoading(bool loading);
    void setHasMore(bool hasMore);
    void setPosts(QList<MPost> posts);
    static QList<MPost> parsePosts(const QJsonObject &answer);

    Credentials m_credentials;
    QList<MPost> m_posts;
    bool m_hasMore = true;
    bool m_loading = false;
    std::optional<QString> m_toast;
};
