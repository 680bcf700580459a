// Frames of the roll against references computed here in double precision (a direct Gaussian, a
// brute-force disc, the compositing formulas), and the frame rules: pictures above or inside the
// effect, the smallest effect size, straight colour on transparency, preview sizes.
#include <gtest/gtest.h>

#include <QPainter>

#include <cmath>
#include <thread>

#include "credits/credits_renderer.h"
#include "support/raster_reference.h"

namespace qm {
namespace {

using S = CreditsSettings;
constexpr int W = 160, H = 96;

QImage textTile() {
    QImage tile(100, 40, CreditsStrip::kTileFormat);
    tile.fill(Qt::transparent);
    QPainter p(&tile);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(4, 6, 30, 6, Qt::white);
    p.fillRect(40, 4, 3, 30, QColor(255, 255, 255, 160));
    p.setBrush(QColor(255, 220, 200));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(72, 20), 14.3, 9.7);
    return tile;
}

CreditsStrip strip() {
    CreditsStrip s;
    s.tiles.push_back({textTile(), 30});
    s.width = 100;
    s.height = 100;
    return s;
}

S frameSettings(S::Effect effect) {
    S s;
    s.width = W;
    s.height = H;
    s.fadeIn = s.fadeOut = 0;
    s.effect = effect;
    s.effectSize = 6;
    s.effectStrength = 80;
    s.effectColor = {1, 0.5, 0};
    s.shadowOffset = 4;
    s.rollSeconds = 2;
    return s;
}

using Plane = std::vector<double>;

Plane gaussian(const Plane& in, double sigma) { return test::directGaussian(in, W, H, sigma); }

// The expected frame over black, as straight 8-bit RGBA per pixel.
std::vector<double> reference(const S& s, const CreditsRenderer& r, double t) {
    const double rel = r.items()[0].top - r.scrollOffset(t, false);
    const QImage tile = textTile();
    std::vector<double> text(size_t(W * H) * 4, 0.0);
    for (int y = 0; y < tile.height(); ++y)
        for (int x = 0; x < tile.width(); ++x) {
            const int fx = x + (W - tile.width()) / 2, fy = y + int(rel);
            if (fy < 0 || fy >= H) continue;
            const QRgb p = reinterpret_cast<const QRgb*>(tile.constScanLine(y))[x];
            double* d = &text[size_t(fy * W + fx) * 4];
            d[0] = qRed(p) / 255.0, d[1] = qGreen(p) / 255.0, d[2] = qBlue(p) / 255.0, d[3] = qAlpha(p) / 255.0;
        }
    const double k = s.effectStrength / 100, size = std::max(s.effectSize, 0.5);
    Plane silhouette(size_t(W * H));
    for (size_t i = 0; i < silhouette.size(); ++i) silhouette[i] = text[i * 4 + 3] * k;
    Plane halo(silhouette.size());
    switch (s.effect) {
    case S::Effect::glow: {
        const Plane wide = gaussian(silhouette, size), tight = gaussian(silhouette, size / 3);
        for (size_t i = 0; i < halo.size(); ++i) halo[i] = wide[i] + tight[i];
        break;
    }
    case S::Effect::shadow: {
        const Plane blurred = gaussian(silhouette, size);
        const int off = int(s.shadowOffset);
        for (int y = off; y < H; ++y)
            for (int x = off; x < W; ++x) halo[size_t(y * W + x)] = blurred[size_t((y - off) * W + x - off)];
        break;
    }
    case S::Effect::outline: halo = gaussian(test::bruteDilate(silhouette, W, H, size), std::max(size * 0.25, 0.6)); break;
    case S::Effect::none: break;
    }
    const double ec[3] = {s.effectColor.r, s.effectColor.g, s.effectColor.b};
    std::vector<double> out(text.size());
    for (size_t i = 0; i < halo.size(); ++i) {
        const double keep = 1 - text[i * 4 + 3];
        for (int c = 0; c < 3; ++c) out[i * 4 + size_t(c)] = text[i * 4 + size_t(c)] + ec[c] * halo[i] * keep;
        out[i * 4 + 3] = 1;
    }
    return out;
}

double psnr(const PixelBuffer& frame, const std::vector<double>& expected) {
    double squared = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint8_t* p = frame.data() + y * frame.bytesPerRow() + 4 * x;
            const double* e = &expected[size_t(y * W + x) * 4];
            const double ours[3] = {p[2] / 255.0, p[1] / 255.0, p[0] / 255.0};
            for (int c = 0; c < 3; ++c) {
                const double d = ours[c] - std::clamp(e[c], 0.0, 1.0);
                squared += d * d;
            }
        }
    return 10 * std::log10(1.0 / std::max(squared / (W * H * 3), 1e-12));
}

TEST(CreditsFrames, EffectsMatchAReferenceComputedHere) {
    for (S::Effect effect : {S::Effect::none, S::Effect::glow, S::Effect::shadow, S::Effect::outline}) {
        SCOPED_TRACE(std::string(creditsRawValue(effect)));
        const S s = frameSettings(effect);
        const CreditsRenderer r(s, {}, strip(), {});
        auto frame = PixelBuffer::create(W, H, kPixelFormatBGRA);
        // Every few frames while the text crosses the frame, edges included.
        for (double t = 0.5; t < r.totalSeconds() - 0.3; t += 0.28) {
            r.renderFrame(*frame, t);
            EXPECT_GE(psnr(*frame, reference(s, r, t)), 40.0) << t;
        }
    }
}

QImage picture(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    return image;
}

TEST(CreditsFrames, PicturesFadesAndSizes) {
    S s = frameSettings(S::Effect::glow);
    auto frame = PixelBuffer::create(W, H, kPixelFormatBGRA);
    auto at = [&](int x, int y) { return frame->data() + y * frame->bytesPerRow() + 4 * x; };
    // The opening picture holds centred: 80 × 40 at (40, 28). The glow reaches beside it only
    // when the effect applies to pictures.
    for (bool onImages : {false, true}) {
        s.effectOnImages = onImages;
        CreditsRenderer(s, picture(160, 80), std::nullopt, {}).renderFrame(*frame, 1);
        EXPECT_EQ(at(60, 40)[0], 255);
        EXPECT_EQ(at(37, 40)[2] > 20, onImages) << onImages;
    }
    // Size 0 renders as 0.5.
    s.effectOnImages = true;
    std::vector<uint8_t> zero, half;
    for (double size : {0.0, 0.5}) {
        s.effectSize = size;
        CreditsRenderer(s, picture(160, 80), strip(), {}).renderFrame(*frame, 1);
        (size == 0 ? zero : half).assign(frame->data(), frame->data() + frame->bytesPerRow() * H);
    }
    EXPECT_EQ(zero, half);
    // Half faded over transparency: straight white at half alpha.
    s.effect = S::Effect::none;
    s.background = S::Background::transparent;
    s.fadeIn = 1;
    const CreditsRenderer faded(s, picture(160, 80), std::nullopt, {});
    faded.renderFrame(*frame, 0.5);
    EXPECT_EQ(frame->alphaMode(), AlphaMode::straight);
    EXPECT_EQ(at(60, 40)[0], 255);
    EXPECT_EQ(at(60, 40)[1], 255);
    EXPECT_NEAR(at(60, 40)[3], 128, 1);
    EXPECT_EQ(at(2, 2)[3], 0);
    faded.renderFrame(*frame, 0);
    EXPECT_EQ(at(60, 40)[3], 0);
    // A coloured background shows through the fade.
    s.background = S::Background::color;
    s.backgroundColor = {0, 0, 1};
    CreditsRenderer(s, picture(160, 80), std::nullopt, {}).renderFrame(*frame, 0.5);
    EXPECT_NEAR(at(60, 40)[0], 255, 1);
    EXPECT_NEAR(at(60, 40)[2], 128, 1);
    EXPECT_EQ(at(2, 2)[0], 255);
    EXPECT_EQ(at(2, 2)[2], 0);

    auto wrong = PixelBuffer::create(W + 2, H, kPixelFormatBGRA);
    EXPECT_THROW(faded.renderFrame(*wrong, 0), std::invalid_argument);

    S full;
    const CreditsRenderer big(full, picture(300, 100), strip(), {});
    EXPECT_EQ(big.previewImage(false, 0, 1280, 720).size(), QSize(1280, 720));
    EXPECT_EQ(big.previewImage(false, 0, 1000, 1000).size(), QSize(1000, 563));
    full.width = 640;
    full.height = 360;
    EXPECT_EQ(CreditsRenderer(full, {}, strip(), {}).previewImage(true, 3, 1280, 720).size(), QSize(640, 360));
}

TEST(CreditsFrames, PreviewsFromSeveralThreadsAgree) {
    const CreditsRenderer r(frameSettings(S::Effect::outline), {}, strip(), {});
    const QImage expected = r.previewImage(false, 1, 80, 48);
    std::vector<QImage> results(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 20; ++n) results[i] = r.previewImage(false, n % 2 ? 1.0 : 0.5, 80, 48);
        });
    for (auto& t : threads) t.join();
    for (const QImage& image : results) EXPECT_EQ(image, expected);
}

}  // namespace
}  // namespace qm
