#pragma once

#include "app/Caller.h"
#include "app/Context.h"

#include <QJsonObject>

// The moments feed: the caller's own posts and their friends', newest first. Only people who
// can see a post may like or comment on it; only its author deletes it; a comment is deleted by
// its author or the post's author. Failures are thrown as Failure.
class Moments {
public:
    static constexpr int kPageSize = 20;
    static constexpr int kMaxImages = 9;

    explicit Moments(Context &ctx);

    QJsonObject feed(const Caller &caller, const QJsonObject &body);
    QJsonObject create(const Caller &caller, const QJsonObject &body);
    QJsonObject like(const Caller &caller, const QJsonObject &body);
    QJsonObject comment(const Caller &caller, const QJsonObject &body);
    QJsonObject deleteComment(const Caller &caller, const QJsonObject &body);
    QJsonObject deletePost(const Caller &caller, const QJsonObject &body);

private:
    Storage::Post visiblePost(const Caller &caller, const QJsonObject &body);
    QJsonObject postObject(const QString &postID);
    QJsonArray postObjects(const QList<Storage::Post> &posts);

    Context &m_ctx;
};
