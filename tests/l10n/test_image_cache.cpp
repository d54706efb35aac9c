#include "base/ImageCache.h"
#include "support/EventLoop.h"

#include <QBuffer>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QNetworkAccessManager>
#include <gtest/gtest.h>

namespace {

QByteArray pngOf(QColor color, QSize size = {8, 4})
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Counts the fetches the cache starts; a fetch starts inside request(), so the count is exact
// the moment request() returns.
class CountingNetwork : public QNetworkAccessManager {
public:
    QHash<QUrl, int> fetches;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *data) override
    {
        ++fetches[request.url()];
        return QNetworkAccessManager::createRequest(op, request, data);
    }
};

class ImageCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.route("/face.png", [] { return QHttpServerResponse("image/png", pngOf(Qt::green)); });
        server.route("/large.png", [] { return QHttpServerResponse("image/png", pngOf(Qt::red, {400, 300})); });
        server.route("/garbage.png", [] { return QHttpServerResponse("image/png", QByteArray("not an image")); });
        port = server.listen(QHostAddress::LocalHost, 0);
        ASSERT_NE(port, 0);
    }
    QUrl url(const char *path) const { return QUrl(QString("http://127.0.0.1:%1%2").arg(port).arg(path)); }

    QHttpServer server;
    quint16 port = 0;
    CountingNetwork network;
};

} // namespace

TEST_F(ImageCacheTest, ConcurrentRequestsShareOneDownload)
{
    ImageCache cache{&network};
    int loaded = 0;
    QObject::connect(&cache, &ImageCache::loaded, [&] { ++loaded; });
    cache.request(url("/face.png"));
    cache.request(url("/face.png"));
    EXPECT_EQ(network.fetches.value(url("/face.png")), 1) << "a second request while loading shares the first";
    EXPECT_TRUE(cache.image(url("/face.png")).isNull());

    ASSERT_TRUE(spinUntil([&] { return loaded > 0; }));
    const QImage image = cache.image(url("/face.png"));
    ASSERT_EQ(image.size(), QSize(8, 4));
    EXPECT_EQ(image.pixelColor(3, 2), QColor(Qt::green));

    cache.request(url("/face.png"));
    EXPECT_EQ(cache.imageOrRequest(url("/face.png")), image);
    EXPECT_EQ(network.fetches.value(url("/face.png")), 1) << "a cached image is not fetched again";
    EXPECT_EQ(loaded, 1);
}

TEST_F(ImageCacheTest, UnloadableUrlsFailOnceAndAreNotRetriedAtOnce)
{
    ImageCache cache{&network};
    QList<QUrl> failed;
    QObject::connect(&cache, &ImageCache::failed, [&](const QUrl &u) { failed << u; });
    const QList<QUrl> fetched{url("/missing.png"), url("/garbage.png")};
    const QList<QUrl> refused{QUrl("file:///etc/hostname"), QUrl("ftp://127.0.0.1/a.png"), QUrl("https:///no-host.png")};
    for (const QUrl &u : fetched + refused)
        cache.request(u);
    ASSERT_TRUE(spinUntil([&] { return failed.size() == fetched.size() + refused.size(); }));
    for (const QUrl &u : fetched + refused) {
        EXPECT_TRUE(cache.image(u).isNull()) << u.toString().toStdString();
        EXPECT_EQ(network.fetches.value(u), fetched.contains(u) ? 1 : 0) << u.toString().toStdString();
    }

    // A failure is not retried on every repaint of the views that show it.
    for (const QUrl &u : fetched + refused)
        EXPECT_TRUE(cache.imageOrRequest(u).isNull());
    for (const QUrl &u : fetched)
        EXPECT_EQ(network.fetches.value(u), 1) << u.toString().toStdString();
    EXPECT_EQ(failed.size(), fetched.size() + refused.size());
}

// A visible row asks for its image again whenever `loaded` arrives; a picture the cache could not
// keep would be fetched again by every such repaint.
TEST_F(ImageCacheTest, PicturesLargerThanTheCacheAreScaledAndFetchedOnce)
{
    struct Case {
        const char *path;
        qint64 capacity;
        QColor color;
        QSize expected; // the cached size, when it is kept as it is
    };
    const Case cases[] = {
        {"/face.png", 1024, Qt::green, {8, 4}},   // 128 bytes: within a quarter of the cache
        {"/large.png", 64 * 1024, Qt::red, {}},   // 480 000 bytes: over the whole cache
        {"/large.png", 1024 * 1024, Qt::red, {}}, // over a quarter of the cache
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.capacity);
        network.fetches.clear();
        ImageCache cache{&network, tc.capacity};
        const QUrl u = url(tc.path);
        int loaded = 0;
        QImage shown;
        QObject::connect(&cache, &ImageCache::loaded, [&](const QUrl &which) {
            ++loaded;
            shown = cache.imageOrRequest(which);
        });
        cache.request(u);
        ASSERT_TRUE(spinUntil([&] { return loaded > 0; }));
        EXPECT_EQ(network.fetches.value(u), 1);
        ASSERT_FALSE(shown.isNull()) << "the row finds the image it was told about";
        EXPECT_LE(shown.sizeInBytes(), cache.maxImageBytes());
        if (tc.expected.isValid()) {
            EXPECT_EQ(shown.size(), tc.expected);
        } else {
            EXPECT_NEAR(double(shown.width()) / shown.height(), 400.0 / 300.0, 0.05) << "the shape is kept";
            EXPECT_GT(shown.sizeInBytes(), cache.maxImageBytes() / 2) << "scaled no further than needed";
        }
        EXPECT_EQ(shown.pixelColor(shown.width() / 2, shown.height() / 2), tc.color);
        EXPECT_EQ(loaded, 1);

        // An image put in by hand is held to the same share.
        const QUrl uploaded("https://cdn.example/mine.png");
        cache.insert(uploaded, QImage(500, 500, QImage::Format_ARGB32));
        EXPECT_FALSE(cache.imageOrRequest(uploaded).isNull());
        EXPECT_LE(cache.image(uploaded).sizeInBytes(), cache.maxImageBytes());
        EXPECT_EQ(network.fetches.value(uploaded), 0);
    }
}
