#include "base/ImageCache.h"
#include "base/MediaUrl.h"
#include "l10n/MTheme.h"
#include "support/EventLoop.h"
#include "ui/common/AvatarView.h"

#include <QApplication>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

// The view as drawn over a transparent background.
QImage rendered(AvatarView &view)
{
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    view.render(&image, {}, {}, QWidget::RenderFlags());
    return image;
}

QImage filled(QColor color)
{
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

bool containsColor(const QImage &image, QColor color)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color)
                return true;
    return false;
}

} // namespace

TEST(MediaUrl, PlainHttpInAnyCaseBecomesHttps)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"http://cdn.example/a.png", "https://cdn.example/a.png"},
        {"HTTP://CDN.example/Face%20One.PNG?X=Y", "https://CDN.example/Face%20One.PNG?X=Y"},
        {"hTtP://h/x", "https://h/x"},
        {"https://h/x", "https://h/x"},
        {"http:/h/x", "http:/h/x"},
        {" http://h/x", " http://h/x"},
        {"ftp://h/x", "ftp://h/x"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MediaUrl::httpsUpgraded(c.in), c.out) << c.in;
}

TEST(AvatarView, LoadsOnlyHttpsUrlsWithAHost)
{
    const struct {
        const char *face, *url;
    } cases[] = {
        {"HTTP://cdn.example/a.png", "https://cdn.example/a.png"},
        {"https://cdn.example/a%20b.png?s=2", "https://cdn.example/a%20b.png?s=2"},
        {"https://cdn.example/a b.png", ""},
        {"", ""},
        {"file:///etc/passwd", ""},
        {"data:image/png;base64,AAAA", ""},
        {"no url at all", ""},
        {"https://", ""},
        {"http://[::1", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(AvatarView::imageUrl(c.face).toString(QUrl::FullyEncoded), c.url) << c.face;
}

TEST(AvatarView, InitialIsTheFirstUserPerceivedCharacter)
{
    const struct {
        QString name, initial;
    } cases[] = {
        {"Ann", "A"},
        {"", ""},
        {"张三", "张"},
        {"😀 Smile", "😀"},
        {"👨‍👩‍👧 Family", "👨‍👩‍👧"},
        {"👍🏽 thumbs", "👍🏽"},
        {"🇭🇰 Hong Kong", "🇭🇰"},
        {QString::fromUtf8("e\u0301mile"), QString::fromUtf8("e\u0301")},
        {QString::fromUtf8("\u1100\u1161\u11A8x"), QString::fromUtf8("\u1100\u1161\u11A8")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(AvatarView::initial(c.name), c.initial) << c.name.toStdString();
}

TEST(AvatarView, PlaceholderIsABrandLightCircleWithTheInitial)
{
    AvatarView empty("", "", 64);
    QImage image = rendered(empty);
    EXPECT_EQ(image.pixelColor(32, 32), QColor(MTheme::brandLight));
    EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0) << "outside the circle";
    EXPECT_FALSE(containsColor(image, MTheme::brandDark));

    AvatarView named("Wu", "", 64);
    image = rendered(named);
    EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0);
    EXPECT_TRUE(containsColor(image, MTheme::brandDark));
}

TEST(AvatarView, ShowsTheCachedImageForTheUpgradedUrl)
{
    ImageCache::shared().insert(QUrl("https://cached.example/red.png"), filled(Qt::red));
    AvatarView view("Ann", "HTTP://cached.example/red.png", 48);
    EXPECT_TRUE(view.hasImage());
    const QImage image = rendered(view);
    EXPECT_EQ(image.pixelColor(24, 24), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0);
}

TEST(AvatarView, SwapsThePlaceholderForTheImageWhenItArrives)
{
    // An .invalid host never resolves, so only insert() can deliver the image.
    const QUrl url("https://later.invalid/blue.png");
    AvatarView view("Bo", url.toString(), 40);
    AvatarView other("Cy", "https://other.invalid/x.png", 40);
    EXPECT_FALSE(view.hasImage());
    EXPECT_EQ(rendered(view).pixelColor(4, 20), QColor(MTheme::brandLight));

    ImageCache::shared().insert(url, filled(Qt::blue));
    EXPECT_TRUE(view.hasImage());
    EXPECT_FALSE(other.hasImage());
    EXPECT_EQ(rendered(view).pixelColor(20, 20), QColor(Qt::blue));
}
