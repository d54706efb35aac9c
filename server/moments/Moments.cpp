#include "moments/Moments.h"

#include "core/Args.h"
#include "core/Secure.h"

#include <QJsonArray>
#include <QUrl>

#include <limits>

Moments::Moments(Context &ctx) : m_ctx(ctx) {}

QJsonArray Moments::postObjects(const QList<Storage::Post> &posts)
{
    QStringList ids;
    for (const Storage::Post &p : posts) {
        ids << p.userID << p.likes;
        for (const Storage::Comment &c : p.comments)
            ids << c.userID;
    }
    const QHash<QString, Storage::User> users = m_ctx.store.usersByIds(ids);
    auto nick = [&](const QString &id) { return users.value(id).nickname; };

    QJsonArray out;
    for (const Storage::Post &p : posts) {
        QJsonArray likes, comments;
        for (const QString &id : p.likes)
            likes.append(QJsonObject{{QStringLiteral("userID"), id}, {QStringLiteral("nickname"), nick(id)}});
        for (const Storage::Comment &c : p.comments)
            comments.append(QJsonObject{{QStringLiteral("id"), c.id},
                                        {QStringLiteral("userID"), c.userID},
                                        {QStringLiteral("nickname"), nick(c.userID)},
                                        {QStringLiteral("text"), c.text},
                                        {QStringLiteral("createdAt"), c.createdAt}});
        out.append(QJsonObject{{QStringLiteral("_id"), p.id},
                               {QStringLiteral("userID"), p.userID},
                               {QStringLiteral("nickname"), nick(p.userID)},
                               {QStringLiteral("faceURL"), users.value(p.userID).faceURL},
                               {QStringLiteral("content"), p.content},
                               {QStringLiteral("images"), QJsonArray::fromStringList(p.images)},
                               {QStringLiteral("likes"), likes},
                               {QStringLiteral("comments"), comments},
                               {QStringLiteral("createdAt"), p.createdAt}});
    }
    return out;
}

QJsonObject Moments::postObject(const QString &postID)
{
    const std::optional<Storage::Post> post = m_ctx.store.post(postID);
    if (!post)
        Args::refuse(QStringLiteral("post not found"), QStringLiteral("NOT_FOUND"), 404);
    return postObjects({*post}).first().toObject();
}

Storage::Post Moments::visiblePost(const Caller &caller, const QJsonObject &body)
{
    const QString postID = Args(body).text("postID", 64);
    std::optional<Storage::Post> post = m_ctx.store.post(postID);
    // A post the caller may not see answers like a missing one, so ids reveal nothing.
    if (!post || (post->userID != caller.userID && !m_ctx.store.areFriends(caller.userID, post->userID)))
        Args::refuse(QStringLiteral("post not found"), QStringLiteral("NOT_FOUND"), 404);
    return *post;
}

QJsonObject Moments::feed(const Caller &caller, const QJsonObject &body)
{
    const Args args(body);
    const qint64 before = args.integer("before", 1, std::numeric_limits<qint64>::max() / 2, std::numeric_limits<qint64>::max());
    QList<Storage::Post> posts = m_ctx.store.feed(caller.userID, before, kPageSize + 1);
    const bool hasMore = posts.size() > kPageSize;
    if (hasMore)
        posts.removeLast();
    return {{QStringLiteral("posts"), postObjects(posts)}, {QStringLiteral("hasMore"), hasMore}};
}

QJsonObject Moments::create(const Caller &caller, const QJsonObject &body)
{
    const Args args(body);
    const QString content = args.text("content", 10000, false);
    const QStringList images = args.textList("images", kMaxImages, 2048, false);
    for (const QString &image : images) {
        const QUrl url(image, QUrl::StrictMode);
        if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")) || url.host().isEmpty())
            Args::refuse(QStringLiteral("\"images\" must hold http(s) URLs"));
    }
    if (content.trimmed().isEmpty() && images.isEmpty())
        Args::refuse(QStringLiteral("a post needs text or images"), QStringLiteral("EMPTY_POST"));
    Storage::Post post;
    post.id = Secure::randomHex(12);
    post.userID = caller.userID;
    post.content = content;
    post.images = images;
    post.createdAt = m_ctx.now();
    post = m_ctx.store.insertPost(post);
    return {{QStringLiteral("post"), postObjects({post}).first()}};
}

QJsonObject Moments::like(const Caller &caller, const QJsonObject &body)
{
    const Storage::Post post = visiblePost(caller, body);
    const bool liked = m_ctx.store.toggleLike(post.id, caller.userID, m_ctx.now());
    return {{QStringLiteral("post"), postObject(post.id)}, {QStringLiteral("liked"), liked}};
}

QJsonObject Moments::comment(const Caller &caller, const QJsonObject &body)
{
    const Storage::Post post = visiblePost(caller, body);
    const QString text = Args(body).text("text", 2000);
    if (text.trimmed().isEmpty())
        Args::refuse(QStringLiteral("\"text\" is empty"));
    m_ctx.store.insertComment(post.id, {Secure::randomHex(12), caller.userID, text, m_ctx.now()});
    return {{QStringLiteral("post"), postObject(post.id)}};
}

QJsonObject Moments::deleteComment(const Caller &caller, const QJsonObject &body)
{
    const Storage::Post post = visiblePost(caller, body);
    const QString commentID = Args(body).text("commentID", 64);
    const auto it = std::find_if(post.comments.begin(), post.comments.end(), [&](const Storage::Comment &c) { return c.id == commentID; });
    if (it == post.comments.end())
        Args::refuse(QStringLiteral("comment not found"), QStringLiteral("NOT_FOUND"), 404);
    if (it->userID != caller.userID && post.userID != caller.userID)
        Args::refuse(QStringLiteral("only the comment's author or the post's author may delete it"), QStringLiteral("FORBIDDEN"), 403);
    m_ctx.store.deleteComment(post.id, commentID);
    return {{QStringLiteral("post"), postObject(post.id)}};
}

QJsonObject Moments::deletePost(const Caller &caller, const QJsonObject &body)
{
    const Storage::Post post = visiblePost(caller, body);
    if (post.userID != caller.userID)
        Args::refuse(QStringLiteral("only the author may delete a post"), QStringLiteral("FORBIDDEN"), 403);
    if (!m_ctx.store.deletePost(post.id))
        Args::refuse(QStringLiteral("post not found"), QStringLiteral("NOT_FOUND"), 404);
    return {{QStringLiteral("ok"), true}};
}
