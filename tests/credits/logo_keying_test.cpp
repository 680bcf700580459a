// Keying of pictures against the per-pixel arithmetic: removal of white, black and a colour,
// estimation from the corners, the border-connected mask and loading picture files.
#include <gtest/gtest.h>

#include <QColor>
#include <QPainter>

#include "credits/logo_keying.h"
#include "support/test_support.h"

namespace qm {
namespace {

using K = CreditsSettings::KeyMode;
const RGBColor kWhite{1, 1, 1};
const RGBColor kGreen{0, 1, 0};

QImage filled(int w, int h, QColor color) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

// Straight 8-bit colour of a keyed pixel.
QColor at(const QImage& image, int x, int y) { return image.pixelColor(x, y).toRgb(); }

TEST(LogoKeying, RemoveWhiteUnblendsAndRemoveColourRisesSmoothly) {
    QImage strip = filled(4, 1, Qt::white);
    strip.setPixelColor(1, 0, QColor(128, 128, 128));
    strip.setPixelColor(2, 0, Qt::black);
    strip.setPixelColor(3, 0, QColor(255, 255, 255, 0));
    const QImage keyed = keyPicture(strip, K::white, KeyRecolor::keep, false, kGreen, 0, 0, kWhite);
    EXPECT_EQ(at(keyed, 0, 0).alpha(), 0);
    // 50 % grey: d = 1 − 128/255, colour (c − (1 − d)) / d = 0, alpha d.
    EXPECT_NEAR(at(keyed, 1, 0).alphaF(), 127 / 255.0, 1e-3);
    EXPECT_LE(at(keyed, 1, 0).red(), 1);
    EXPECT_EQ(at(keyed, 2, 0), QColor(Qt::black));
    EXPECT_EQ(at(keyed, 3, 0).alpha(), 0);
    // Remove black mirrors it: dark grey keeps its hue at full brightness.
    const QImage black = keyPicture(filled(1, 1, QColor(0, 64, 128)), K::black, KeyRecolor::keep, false, kGreen, 0, 0, kWhite);
    EXPECT_NEAR(at(black, 0, 0).alphaF(), 128 / 255.0, 2e-3);
    EXPECT_NEAR(at(black, 0, 0).greenF(), 0.5, 0.01);

    // Distances from pure green along the red axis: d = r / √3.
    const double tolerance = 0.1, softness = 0.2;
    struct Case { double d; double alpha; };
    for (const Case c : {Case{0.05, 0.0}, Case{0.1, 0.0}, Case{0.2, 0.5}, Case{0.3, 1.0}, Case{0.5, 1.0}}) {
        const int red = int(std::lround(c.d * std::sqrt(3.0) * 255));
        const QImage k = keyPicture(filled(1, 1, QColor(red, 255, 0)), K::color, KeyRecolor::keep, false, kGreen, tolerance, softness, kWhite);
        const double d = red / 255.0 / std::sqrt(3.0);
        const double t = std::clamp((d - tolerance) / (softness + 0.0001), 0.0, 1.0);
        EXPECT_NEAR(at(k, 0, 0).alphaF(), t * t * (3 - 2 * t), 2e-3) << c.d;
        EXPECT_NEAR(at(k, 0, 0).alphaF(), c.alpha, 0.02) << c.d;
    }
}

TEST(LogoKeying, OuterOnlyKeepsWhiteInsideTheLogo) {
    // White paper, a black ring, white inside the ring.
    QImage logo = filled(40, 40, Qt::white);
    {
        QPainter p(&logo);
        p.fillRect(10, 10, 20, 20, Qt::black);
        p.fillRect(14, 14, 12, 12, Qt::white);
    }
    const QImage outer = keyPicture(logo, K::automatic, KeyRecolor::keep, true, kGreen, 0.08, 0.1, kWhite);
    const QImage all = keyPicture(logo, K::automatic, KeyRecolor::keep, false, kGreen, 0.08, 0.1, kWhite);
    for (const QImage* k : {&outer, &all}) {
        EXPECT_EQ(at(*k, 2, 2).alpha(), 0);
        EXPECT_EQ(at(*k, 11, 20), QColor(Qt::black));
    }
    EXPECT_EQ(at(outer, 20, 20), QColor(Qt::white));
    EXPECT_EQ(at(all, 20, 20).alpha(), 0);

    // The mask: the flooded paper widened by 2 pixels into the ring, never reaching the inside.
    const auto mask = outerBackgroundMask(logo, K::white, kWhite, 0.08, 0.1);
    ASSERT_TRUE(mask.has_value());
    EXPECT_EQ(mask->format(), QImage::Format_Grayscale8);
    auto m = [&](int x, int y) { return mask->constScanLine(y)[x]; };
    EXPECT_EQ(m(0, 0), 255);
    EXPECT_EQ(m(11, 20), 255);  // 2 pixels into the ring
    EXPECT_EQ(m(12, 20), 0);
    EXPECT_EQ(m(20, 20), 0);
    EXPECT_EQ(m(12, 12), 0);  // 3 pixels from the nearest paper
    EXPECT_EQ(m(11, 11), 255);
    EXPECT_FALSE(outerBackgroundMask(filled(2, 9, Qt::white), K::white, kWhite, 0, 0).has_value());
}

TEST(LogoKeying, EstimationFromTheCorners) {
    QImage white = filled(64, 32, QColor(250, 250, 250));
    QPainter(&white).fillRect(16, 8, 32, 16, Qt::red);
    const KeyEstimate w = estimateKeyColor(white);
    EXPECT_EQ(w.mode, K::white);
    EXPECT_NEAR(w.color.r, 250 / 255.0, 1e-3);
    EXPECT_EQ(estimateKeyColor(filled(8, 8, QColor(10, 10, 10))).mode, K::black);
    const KeyEstimate green = estimateKeyColor(filled(10, 12, QColor(0, 255, 0)));
    EXPECT_EQ(green.mode, K::color);
    EXPECT_NEAR(green.color.g, 1.0, 1e-3);
    EXPECT_EQ(estimateKeyColor(filled(7, 100, Qt::white)), (KeyEstimate{K::none, {0, 0, 0}}));
    // Corners mostly transparent: no key, and an automatic key leaves the picture as it is …
    QImage clear = filled(32, 32, Qt::transparent);
    QPainter(&clear).fillRect(8, 8, 16, 16, Qt::blue);
    EXPECT_EQ(estimateKeyColor(clear).mode, K::none);
    const QImage same = keyPicture(clear, K::automatic, KeyRecolor::keep, true, kGreen, 0.08, 0.1, kWhite);
    EXPECT_EQ(same.cacheKey(), clear.cacheKey());
    const QImage tiny = filled(6, 6, Qt::white);
    EXPECT_EQ(keyPicture(tiny, K::automatic, KeyRecolor::keep, false, kGreen, 0.08, 0.1, kWhite).cacheKey(), tiny.cacheKey());
    // … unless recolouring is asked, which still applies.
    const QImage tinted = keyPicture(clear, K::automatic, KeyRecolor::tint, false, kGreen, 0.08, 0.1, {1, 0, 0});
    EXPECT_EQ(at(tinted, 16, 16), QColor(Qt::red));
    EXPECT_EQ(at(tinted, 0, 0).alpha(), 0);
    // Neutral recolouring tints grey and leaves saturated colour.
    QImage mixed = filled(2, 1, QColor(128, 128, 128));
    mixed.setPixelColor(1, 0, QColor(255, 0, 0));
    const QImage neutral = keyPicture(mixed, K::none, KeyRecolor::neutral, false, kGreen, 0, 0, {0, 0, 1});
    EXPECT_EQ(at(neutral, 0, 0), QColor(Qt::blue));
    EXPECT_EQ(at(neutral, 1, 0), QColor(Qt::red));
}

TEST(LogoKeying, AutomaticLeavesPhotographsWholeAndKeysLogosOnPlainGrounds) {
    // Opaque photographs whose corners hold sky, ground and shade: no key, the picture as it is.
    for (const char* name : {"Autumn", "EveningGlow", "FallenLeaf", "Kite"}) {
        const QImage photo = loadImageFile(std::string("/usr/share/wallpapers/") + name + "/contents/images/640x480.jpg");
        ASSERT_FALSE(photo.isNull()) << name;
        EXPECT_EQ(estimateKeyColor(photo).mode, K::none) << name;
        EXPECT_EQ(keyPicture(photo, K::automatic, KeyRecolor::keep, true, kGreen, 0.08, 0.1, kWhite).cacheKey(),
                  photo.cacheKey()) << name;
    }
    // A logo on a plain ground with a little noise in its corners keys as before.
    for (const QColor ground : {QColor(252, 250, 251), QColor(6, 4, 9), QColor(20, 60, 200)}) {
        QImage logo = filled(64, 48, ground);
        QPainter p(&logo);
        p.fillRect(16, 12, 32, 24, QColor(255, 120, 0));
        p.fillRect(0, 0, 4, 4, ground.lighter(104));
        p.fillRect(60, 44, 4, 4, ground.darker(104));
        p.end();
        const QImage keyed = keyPicture(logo, K::automatic, KeyRecolor::keep, false, kGreen, 0.08, 0.1, kWhite);
        EXPECT_EQ(at(keyed, 8, 24).alpha(), 0) << ground.name().toStdString();
        EXPECT_EQ(at(keyed, 32, 24).alpha(), 255) << ground.name().toStdString();
    }
}

TEST(LogoKeying, LoadsPictureFiles) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=24x10", "-frames:v", "1", (dir / "red.png").string()});
    const QImage picture = loadImageFile(dir / "red.png");
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), QSize(24, 10));
    EXPECT_GE(picture.pixelColor(3, 3).red(), 250);
    EXPECT_LE(picture.pixelColor(3, 3).green(), 5);
    test::writeFile(dir / "bad.png", "not a picture");
    EXPECT_TRUE(loadImageFile(dir / "bad.png").isNull());
    EXPECT_TRUE(loadImageFile(dir / "missing.png").isNull());
}

}  // namespace
}  // namespace qm
