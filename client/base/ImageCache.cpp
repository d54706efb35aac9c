#include "base/ImageCache.h"

#include "base/Network.h"

#include <QFutureWatcher>
#include <QNetworkReply>
#include <QPromise>
#include <QThreadPool>

#include <memory>

namespace {

qint64 costOf(const QImage &image)
{
    return qMax<qint64>(1, image.sizeInBytes());
}

bool isFetchable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == u"https" || scheme == u"http");
}

} // namespace

ImageCache &ImageCache::shared()
{
    static ImageCache *const cache = new ImageCache(&sharedNetworkAccessManager());
    return *cache;
}

ImageCache::ImageCache(QNetworkAccessManager *network, qint64 capacityBytes, QObject *parent)
    : QObject(parent), m_network(network), m_images(capacityBytes)
{
}

ImageCache::~ImageCache() = default;

QImage ImageCache::image(const QUrl &url) const
{
    const QImage *found = m_images.object(url);
    return found ? *found : QImage();
}

QImage ImageCache::imageOrRequest(const QUrl &url)
{
    if (url.isEmpty())
        return QImage();
    QImage found = image(url);
    if (found.isNull())
        request(url);
    return found;
}

void ImageCache::insert(const QUrl &url, const QImage &image)
{
    if (image.isNull())
        return;
    m_failedUntil.remove(url);
    m_images.insert(url, new QImage(image), costOf(image));
    emit loaded(url, image);
}

void ImageCache::request(const QUrl &url)
{
    if (m_images.contains(url) || m_loading.contains(url))
        return;
    if (const auto until = m_failedUntil.constFind(url); until != m_failedUntil.cend()) {
        if (!until->hasExpired())
            return;
        m_failedUntil.erase(until);
    }
    if (!isFetchable(url) || !m_network) {
        fail(url);
        return;
    }

    m_loading.insert(url);
    QNetworkRequest req(url);
    req.setTransferTimeout(QNetworkRequest::DefaultTransferTimeoutConstant);
    QNetworkReply *reply = m_network->get(req);
    // An oversized answer is cut off instead of being held in memory.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxDownloadBytes || total > kMaxDownloadBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            fail(url);
            return;
        }
        onDownloaded(url, reply->readAll());
    });
}

void ImageCache::onDownloaded(const QUrl &url, const QByteArray &bytes)
{
    auto promise = std::make_shared<QPromise<QImage>>();
    auto *watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, url] {
        watcher->deleteLater();
        m_loading.remove(url);
        const QImage image = watcher->future().resultCount() ? watcher->future().result() : QImage();
        if (image.isNull())
            fail(url);
        else
            insert(url, image);
    });
    watcher->setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, bytes] {
        promise->start();
        promise->addResult(QImage::fromData(bytes));
        promise->finish();
    });
}

void ImageCache::fail(const QUrl &url)
{
    m_loading.remove(url);
    m_failedUntil.insert(url, QDeadlineTimer(kRetryAfterFailureMs));
    emit failed(url);
}
