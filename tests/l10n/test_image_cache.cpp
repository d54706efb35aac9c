#include "base/ImageCache.h"
#include "base/Network.h"
#include "support/EventLoop.h"

#include <QBuffer>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <gtest/gtest.h>

namespace {

QByteArray pngOf(QColor color)
{
    QImage image(8, 4, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

class ImageCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.route("/face.png", [this] {
            ++hits;
            return QHttpServerResponse("image/png", pngOf(Qt::green));
        });
        server.route("/garbage.png", [] { return QHttpServerResponse("image/png", QByteArray("not an image")); });
        port = server.listen(QHostAddress::LocalHost, 0);
        ASSERT_NE(port, 0);
    }
    QUrl url(const char *path) const { return QUrl(QString("http://127.0.0.1:%1%2").arg(port).arg(path)); }

    QHttpServer server;
    quint16 port = 0;
    int hits = 0;
    ImageCache cache{&sharedNetworkAccessManager()};
};

} // namespace

TEST_F(ImageCacheTest, ConcurrentRequestsShareOneDownload)
{
    int loaded = 0;
    QObject::connect(&cache, &ImageCache::loaded, [&] { ++loaded; });
    cache.request(url("/face.png"));
    cache.request(url("/face.png"));
    EXPECT_TRUE(cache.image(url("/face.png")).isNull());

    ASSERT_TRUE(spinUntil([&] { return loaded > 0; }));
    const QImage image = cache.image(url("/face.png"));
    ASSERT_EQ(image.size(), QSize(8, 4));
    EXPECT_EQ(image.pixelColor(3, 2), QColor(Qt::green));

    cache.request(url("/face.png"));
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(loaded, 1);
}

TEST_F(ImageCacheTest, UnloadableUrlsFailAndStayEmpty)
{
    int failed = 0;
    QObject::connect(&cache, &ImageCache::failed, [&] { ++failed; });
    const QUrl urls[] = {url("/missing.png"), url("/garbage.png"), QUrl("file:///etc/hostname"),
                         QUrl("ftp://127.0.0.1/a.png"), QUrl("https:///no-host.png")};
    for (const QUrl &u : urls)
        cache.request(u);
    ASSERT_TRUE(spinUntil([&] { return failed == int(std::size(urls)); }));
    for (const QUrl &u : urls)
        EXPECT_TRUE(cache.image(u).isNull()) << u.toString().toStdString();

    // A failure is not retried on every repaint of the views that show it.
    cache.request(url("/missing.png"));
    EXPECT_EQ(failed, int(std::size(urls)));
}
