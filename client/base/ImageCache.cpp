#include "base/ImageCache.h"

#include "base/Network.h"

#include <QBuffer>
#include <QFutureWatcher>
#include <QImageReader>
#include <QNetworkReply>
#include <QPromise>
#include <QThreadPool>

#include <cmath>
#include <memory>

namespace {

qint64 costOf(const QImage &image)
{
    return qMax<qint64>(1, image.sizeInBytes());
}

// The largest size with the same shape whose pixels fit in maxBytes.
QSize fitted(const QSize &size, qint64 maxBytes, int bytesPerPixel)
{
    const double scale = std::sqrt(double(maxBytes) / (double(bytesPerPixel) * size.width() * size.height()));
    return QSize(qMax(1, int(size.width() * scale)), qMax(1, int(size.height() * scale)));
}

// An image that would cost more than maxBytes is scaled down to fit, so that it can stay in the cache.
QImage shrunkToFit(QImage image, qint64 maxBytes)
{
    // Row padding can leave a scaled picture a little over; another round settles it.
    for (int i = 0; i < 4 && !image.isNull() && costOf(image) > maxBytes; ++i) {
        const double scale = std::sqrt(double(maxBytes) / double(costOf(image))) * 0.95;
        image = image.scaled(qMax(1, int(image.width() * scale)), qMax(1, int(image.height() * scale)),
                             Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return costOf(image) > maxBytes ? QImage() : image;
}

// Decodes a picture; one too large for its share of the cache is decoded at a smaller size
// where the format allows, instead of being decoded in full and then dropped.
QImage decode(const QByteArray &bytes, qint64 maxBytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.isValid() && !size.isEmpty() && 4.0 * size.width() * size.height() > double(maxBytes))
        reader.setScaledSize(fitted(size, maxBytes, 4));
    return shrunkToFit(reader.read(), maxBytes);
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

qint64 ImageCache::maxImageBytes() const
{
    return qMax<qint64>(1, m_images.maxCost() / kMaxShareOfCapacity);
}

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
    const QImage fitting = shrunkToFit(image, maxImageBytes());
    if (fitting.isNull())
        return;
    m_failedUntil.remove(url);
    m_images.insert(url, new QImage(fitting), costOf(fitting));
    emit loaded(url, fitting);
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
    QThreadPool::globalInstance()->start([promise, bytes, maxBytes = maxImageBytes()] {
        promise->start();
        promise->addResult(decode(bytes, maxBytes));
        promise->finish();
    });
}

void ImageCache::fail(const QUrl &url)
{
    m_loading.remove(url);
    m_failedUntil.insert(url, QDeadlineTimer(kRetryAfterFailureMs));
    emit failed(url);
}
