#pragma once

#include <QCache>
#include <QDeadlineTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QUrl>

class QNetworkAccessManager;

// Remote images kept decoded in memory and shared by every view that shows the same URL
// (many rows show the same avatar). Main thread only. Loads run over the shared network
// manager; decoding runs on the global thread pool so a large picture never stalls the screen.
class ImageCache : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kDefaultCapacityBytes = 64ll * 1024 * 1024;
    static constexpr qint64 kMaxDownloadBytes = 16ll * 1024 * 1024;
    static constexpr int kRetryAfterFailureMs = 60 * 1000;
    // One picture takes at most this fraction of the cache; larger ones are scaled down when decoded.
    // (A picture the cache would drop at once would be fetched again by every repaint that shows it.)
    static constexpr int kMaxShareOfCapacity = 4;

    // The process-wide cache on sharedNetworkAccessManager().
    static ImageCache &shared();

    explicit ImageCache(QNetworkAccessManager *network, qint64 capacityBytes = kDefaultCapacityBytes,
                        QObject *parent = nullptr);
    ~ImageCache() override;

    // The decoded image, or a null image while it is unknown, loading or failed.
    QImage image(const QUrl &url) const;

    // The image if it is cached; otherwise starts its load (see request) and answers a null
    // image, so that a view paints its placeholder until `loaded` arrives. An empty URL is null.
    QImage imageOrRequest(const QUrl &url);

    // Starts a load unless the image is cached, already loading, or failed less than a minute
    // ago. Only http and https URLs with a host are fetched; others fail at once.
    void request(const QUrl &url);

    // Puts an image in the cache (for example one this client has just uploaded), scaled down
    // when it is larger than one picture's share.
    void insert(const QUrl &url, const QImage &image);

    // The most one decoded picture may cost in the cache.
    qint64 maxImageBytes() const;

signals:
    // The image as cached (possibly scaled down); image() answers it from now on.
    void loaded(const QUrl &url, const QImage &image);
    void failed(const QUrl &url);

private:
    void onDownloaded(const QUrl &url, const QByteArray &bytes);
    void fail(const QUrl &url);

    QNetworkAccessManager *m_network;
    QCache<QUrl, QImage> m_images;
    QSet<QUrl> m_loading;
    QHash<QUrl, QDeadlineTimer> m_failedUntil;
};
