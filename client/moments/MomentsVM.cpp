#include "moments/MomentsVM.h"

#include "base/Json.h"
#include "base/MediaUrl.h"
#include "base/ServiceConfig.h"
#include "net/APIError.h"
#include "net/Net.h"
#include "net/ObjectUpload.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QPointer>
#include <QRandomGenerator>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

using Json::str;

MComment MComment::parse(const QJsonObject &o)
{
    MComment c;
    const QJsonValue id = o.value(QLatin1String("id"));
    c.id = id.isString() ? id.toString() : str(o, QLatin1String("_id"));
    c.userID = str(o, QLatin1String("userID"));
    c.nickname = str(o, QLatin1String("nickname"));
    c.text = str(o, QLatin1String("text"));
    const QJsonValue at = o.value(QLatin1String("createdAt"));
    c.createdAt = at.isDouble() ? at.toDouble() : 0;
    return c;
}

std::optional<MPost> MPost::parse(const QJsonValue &v)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    const QJsonValue id = o.value(QLatin1String("_id"));
    if (!id.isString())
        return std::nullopt;
    MPost p;
    p.id = id.toString();
    p.userID = str(o, QLatin1String("userID"));
    p.nickname = str(o, QLatin1String("nickname"));
    p.faceURL = str(o, QLatin1String("faceURL"));
    p.content = str(o, QLatin1String("content"));
    for (const QJsonValue &image : Json::arr(o, QLatin1String("images")))
        if (image.isString())
            p.images << image.toString();
    for (const QJsonValue &like : Json::arr(o, QLatin1String("likes")))
        if (like.isObject())
            p.likes << MLike{str(like.toObject(), QLatin1String("userID")), str(like.toObject(), QLatin1String("nickname"))};
    for (const QJsonValue &comment : Json::arr(o, QLatin1String("comments")))
        if (comment.isObject())
            p.comments << MComment::parse(comment.toObject());
    const QJsonValue at = o.value(QLatin1String("createdAt"));
    p.createdAt = at.isDouble() ? at.toDouble() : 0;
    return p;
}

MomentsVM::MomentsVM(Credentials credentials, QObject *parent) : QObject(parent), m_credentials(std::move(credentials)) {}

void MomentsVM::clearToast()
{
    if (m_toast) {
        m_toast.reset();
        emit toastChanged();
    }
}

void MomentsVM::setLoading(bool loading)
{
    if (m_loading != loading) {
        m_loading = loading;
        emit loadingChanged();
    }
}

void MomentsVM::setHasMore(bool hasMore)
{
    if (m_hasMore != hasMore) {
        m_hasMore = hasMore;
        emit hasMoreChanged();
    }
}

void MomentsVM::setPosts(QList<MPost> posts)
{
    m_posts = std::move(posts);
    emit postsChanged();
}

QList<MPost> MomentsVM::parsePosts(const QJsonObject &answer)
{
    QList<MPost> out;
    for (const QJsonValue &v : Json::arr(answer, QLatin1String("posts")))
        if (auto post = MPost::parse(v))
            out << *post;
    return out;
}

QCoro::Task<QJsonObject> MomentsVM::api(QJsonObject body, QString path)
{
    QJsonObject request{{QStringLiteral("token"), m_credentials.imToken}, {QStringLiteral("userID"), m_credentials.userID}};
    for (auto it = body.begin(); it != body.end(); ++it)
        request.insert(it.key(), it.value());
    const QString url = ServiceConfig::current().bridgeBase() + path;
    QJsonObject answer = co_await Net::postJSON(url, request);
    const QJsonValue error = answer.value(QLatin1String("error"));
    if (error.isString())
        throw APIError(error.toString());
    co_return answer;
}

QCoro::Task<void> MomentsVM::refresh()
{
    QPointer<MomentsVM> self(this);
    setLoading(true);
    std::optional<QJsonObject> answer;
    try {
        answer = co_await api(QJsonObject(), QStringLiteral("/moments/feed"));
    } catch (const Error &) {
    }
    if (!self)
        co_return;
    if (answer) {
        QList<MPost> posts = parsePosts(*answer);
        const QJsonValue more = answer->value(QLatin1String("hasMore"));
        const bool hasMore = more.isBool() ? more.toBool() : posts.size() >= kInferredPageSize;
        setPosts(std::move(posts));
        setHasMore(hasMore);
    }
    setLoading(false);
}

QCoro::Task<void> MomentsVM::loadMore()
{
    if (!m_hasMore || m_loading || m_posts.isEmpty())
        co_return;
    QPointer<MomentsVM> self(this);
    setLoading(true);
    const QJsonObject body{{QStringLiteral("before"), m_posts.last().createdAt}};
    std::optional<QJsonObject> answer;
    try {
        answer = co_await api(body, QStringLiteral("/moments/feed"));
    } catch (const Error &) {
    }
    if (!self)
        co_return;
    if (answer) {
        QList<MPost> posts = m_posts;
        posts << parsePosts(*answer);
        const QJsonValue more = answer->value(QLatin1String("hasMore"));
        setPosts(std::move(posts));
        setHasMore(more.isBool() && more.toBool());
    }
    setLoading(false);
}

QString MomentsVM::uploadName(const QString &path, qint64 nowMs, int random)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return QStringLiteral("m%1%2.%3").arg(nowMs).arg(random).arg(suffix.isEmpty() ? QStringLiteral("jpg") : suffix);
}

static QString unreadable(const QString &path)
{
    return QStringLiteral("%1: cannot be read").arg(QFileInfo(path).fileName());
}

// Uploads the images and posts; throws on the first failure. Stops, posting nothing, when the
// view model is gone (the tab closed) by the time a file is read or an image uploaded.
QCoro::Task<std::optional<QJsonObject>> MomentsVM::publish(QString content, QStringList paths)
{
    QPointer<MomentsVM> self(this);
    const Credentials credentials = m_credentials;
    QJsonArray urls;
    for (const QString &path : paths) {
        // Photos can be large: read them off the main thread.
        auto read = [path]() -> std::optional<QByteArray> {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return std::nullopt;
            return file.readAll();
        };
        const std::optional<QByteArray> bytes = co_await QtConcurrent::run(read);
        if (!self)
            co_return std::nullopt;
        if (!bytes)
            throw APIError(unreadable(path));
        const QString name = uploadName(path, QDateTime::currentMSecsSinceEpoch(), QRandomGenerator::global()->bounded(100, 1000));
        const QString url = co_await Net::uploadBytes(*bytes, name, credentials.imToken, credentials.userID);
        if (!self)
            co_return std::nullopt;
        urls.append(MediaUrl::httpsUpgraded(url));
    }
    QJsonObject body;
    body.insert(QLatin1String("content"), content);
    body.insert(QLatin1String("images"), urls);
    co_return co_await api(body, QString::fromLatin1("/moments/create"));
}

QCoro::Task<bool> MomentsVM::create(QString content, QStringList imagePaths)
{
    QPointer<MomentsVM> self(this);
    std::optional<QJsonObject> answer;
    try {
        answer = co_await publish(content, imagePaths.mid(0, kMaxImages));
    } catch (const Error &e) {
        if (self) {
            m_toast = e.message();
            emit toastChanged();
        }
        co_return false;
    }
    if (!answer)
        co_return false;
    if (!self)
        co_return true;
    if (auto post = MPost::parse(answer->value(QLatin1String("post")))) {
        QList<MPost> posts = m_posts;
        posts.prepend(*post);
        setPosts(std::move(posts));
    }
    co_return true;
}

QCoro::Task<void> MomentsVM::mutate(QString path, QJsonObject body)
{
    QPointer<MomentsVM> self(this);
    QJsonObject answer;
    try {
        answer = co_await api(body, path);
    } catch (const Error &) {
        co_return;
    }
    if (!self)
        co_return;
    const auto post = MPost::parse(answer.value(QLatin1String("post")));
    if (!post)
        co_return;
    for (qsizetype i = 0; i < m_posts.size(); ++i) {
        if (m_posts[i].id == post->id) {
            QList<MPost> posts = m_posts;
            posts[i] = *post;
            setPosts(std::move(posts));
            break;
        }
    }
}

QCoro::Task<void> MomentsVM::like(MPost post)
{
    const QJsonObject body{{QStringLiteral("postID"), post.id}};
    co_await mutate(QStringLiteral("/moments/like"), body);
}

QCoro::Task<void> MomentsVM::comment(MPost post, QString text)
{
    const QJsonObject body{{QStringLiteral("postID"), post.id}, {QStringLiteral("text"), text}};
    co_await mutate(QStringLiteral("/moments/comment"), body);
}

QCoro::Task<void> MomentsVM::deleteComment(MPost post, QString commentID)
{
    const QJsonObject body{{QStringLiteral("postID"), post.id}, {QStringLiteral("commentID"), commentID}};
    co_await mutate(QStringLiteral("/moments/comment/delete"), body);
}

QCoro::Task<void> MomentsVM::deletePost(MPost post)
{
    QPointer<MomentsVM> self(this);
    try {
        const QJsonObject body{{QStringLiteral("postID"), post.id}};
        co_await api(body, QStringLiteral("/moments/delete"));
    } catch (const Error &) {
        co_return;
    }
    if (!self)
        co_return;
    QList<MPost> posts = m_posts;
    posts.removeIf([&](const MPost &p) { return p.id == post.id; });
    if (posts.size() != m_posts.size())
        setPosts(std::move(posts));
}
