// The compositor against ffmpeg's blend filter in 32-bit float RGB on PNG-in-MOV clips (the same
// pixels on both sides), against clipLayerTransform's corners for a placed clip, and its reader
// cache and output-size rules.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "editor_model/timeline_fixtures.h"
#include "engine/media_frame_reader.h"

namespace qm {
namespace {

using test::Medium;

constexpr int kW = 64, kH = 48;

class CompositionPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        const std::string clip = "testsrc2=s=64x48:r=10:d=0.3";
        backdrop_ = new Medium(test::makeMedium(*dir_ / "b.mov", {"-f", "lavfi", "-i", clip + ",format=rgb24", "-c:v", "png"}));
        const char* others[] = {"gradients=s=64x48:r=10:d=0.3:seed=5", "gradients=s=64x48:r=10:d=0.3:seed=9",
                                "testsrc2=s=64x48:r=10:d=0.3,hue=h=140,negate"};
        for (int i = 0; i < 3; ++i)
            layers_[i] = new Medium(test::makeMedium(*dir_ / ("l" + std::to_string(i) + ".mov"),
                                                     {"-f", "lavfi", "-i", std::string(others[i]) + ",format=rgb24", "-c:v", "png"}));
    }
    static void TearDownTestSuite() {
        delete backdrop_;
        for (auto*& l : layers_) delete l;
        delete dir_;
    }

    // ffmpeg's picture of the graph over the inputs (backdrop first) as G, B, R planes of floats.
    static std::vector<float> reference(const std::vector<const Medium*>& inputs, const std::string& graph, int w = kW, int h = kH) {
        std::vector<std::string> args = {"ffmpeg", "-v", "error"};
        for (const Medium* m : inputs) args.insert(args.end(), {"-i", m->path.string()});
        args.insert(args.end(), {"-filter_complex", graph, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gbrpf32le", "-"});
        const std::string bytes = test::run(args).output;
        std::vector<float> planes(size_t(w * h * 3));
        EXPECT_EQ(bytes.size(), planes.size() * 4);
        std::memcpy(planes.data(), bytes.data(), std::min(bytes.size(), planes.size() * 4));
        return planes;
    }

    static double psnr(const QImage& ours, const std::vector<float>& gbr) {
        double se = 0;
        const int w = ours.width();
        const size_t n = size_t(w * ours.height());
        for (size_t i = 0; i < n; ++i) {
            const QRgba64 p = ours.pixelColor(int(i % w), int(i / w)).rgba64();
            const double d[3] = {p.green() / 65535.0 - gbr[i], p.blue() / 65535.0 - gbr[n + i], p.red() / 65535.0 - gbr[2 * n + i]};
            for (double v : d) se += v * v;
        }
        return se <= 0 ? 200 : 10 * std::log10(double(3 * n) / se);
    }

    static Clip layerClip(const Medium& m, BlendMode mode, double opacityPercent) {
        Clip c = test::clipOf(m, 0, 0.3, kW, kH);
        c.blendMode = mode;
        c.transform->opacity.value = opacityPercent;
        return c;
    }

    static inline test::TempDir* dir_ = nullptr;
    static inline Medium* backdrop_ = nullptr;
    static inline Medium* layers_[3] = {};
};

// ffmpeg's filter names, or an expression where its formula differs (A backdrop, B layer, O opacity).
std::string blendArgs(BlendMode mode, double o) {
    const std::string O = std::to_string(o);
    const std::string softLight =
        "if(lte(B,0.5),A-(1-2*B)*A*(1-A),A+(2*B-1)*(if(lte(A,0.25),((16*A-12)*A+4)*A,sqrt(A))-A))";
    switch (mode) {
        case BlendMode::normal: return "all_expr='A+(B-A)*" + O + "'";
        case BlendMode::add: return "all_expr='min(1,A+" + O + "*B)'";
        case BlendMode::softLight: return "all_expr='A+(" + softLight + "-A)*" + O + "'";
        default: return "all_mode=" + std::string(rawValue(mode)) + ":all_opacity=" + O;
    }
}

const char* const kFloat = "[0]format=gbrpf32le[i0];[1]format=gbrpf32le[i1];";

TEST_F(CompositionPeer, EveryBlendModeAtTwoOpacities) {
    for (BlendMode mode : allBlendModes)
        for (double o : {0.7, 1.0}) {
            const Clip top = layerClip(*layers_[0], mode, o * 100);
            const Clip bottom = layerClip(*backdrop_, BlendMode::normal, 100);
            const Project p = test::projectOf(kW, kH, 10, {*backdrop_, *layers_[0]}, {top, bottom});
            CompositionRenderer renderer;
            const QImage ours = renderer.render(p, test::infosOf({*backdrop_, *layers_[0]}), 0.0, {kW, kH}, false);
            const auto ref = reference({backdrop_, layers_[0]}, std::string(kFloat) + "[i0][i1]blend=" + blendArgs(mode, o));
            EXPECT_GE(psnr(ours, ref), 40) << rawValue(mode) << " at " << o;
        }
}

TEST_F(CompositionPeer, FourLayerStackAgainstChainedBlends) {
    const Clip clips[] = {layerClip(*layers_[2], BlendMode::overlay, 70), layerClip(*layers_[1], BlendMode::multiply, 80),
                          layerClip(*layers_[0], BlendMode::screen, 100), layerClip(*backdrop_, BlendMode::normal, 100)};
    const std::vector<Medium> media = {*backdrop_, *layers_[0], *layers_[1], *layers_[2]};
    const Project p = test::projectOf(kW, kH, 10, media, {clips[0], clips[1], clips[2], clips[3]});
    CompositionRenderer renderer;
    const MediaInfos infos = test::infosOf(media);
    const std::string graph =
        "[0]format=gbrpf32le[i0];[1]format=gbrpf32le[i1];[2]format=gbrpf32le[i2];[3]format=gbrpf32le[i3];"
        "[i0][i1]blend=all_mode=screen[s];[s][i2]blend=all_mode=multiply:all_opacity=0.8[m];"
        "[m][i3]blend=all_mode=overlay:all_opacity=0.7";
    const auto ref = reference({backdrop_, layers_[0], layers_[1], layers_[2]}, graph);
    EXPECT_GE(psnr(renderer.render(p, infos, 0.0, {kW, kH}, false), ref), 40);
    // Every frame of the clips, read forward by the same readers; reading ahead changes nothing.
    CompositionRenderer ahead;
    ahead.setReadAhead(0.1);
    for (double t : {0.0, 0.1, 0.2}) EXPECT_EQ(ahead.render(p, infos, t, {kW, kH}, false), renderer.render(p, infos, t, {kW, kH}, false));
    EXPECT_EQ(renderer.readerCount(), 4);
}

TEST_F(CompositionPeer, PlacedClipLandsOnItsCorners) {
    const Medium white = test::makeMedium(*dir_ / "white.mov", {"-f", "lavfi", "-i", "color=white:s=40x20:r=10:d=0.3", "-c:v", "png"});
    Clip c = test::clipOf(white, 0, 0.3, 200, 150);
    c.fit = FitMode::stretch;  // 40 × 20 in 200 × 150: 5 × 7.5, then the clip's own scale
    c.transform->scale.value = {30, 20};
    c.transform->anchor.value = {10, 5};
    c.transform->position.value = {90, 80};
    c.transform->rotation.value = 30;
    const Project p = test::projectOf(200, 150, 10, {white}, {c});
    CompositionRenderer renderer;
    const QImage frame = renderer.render(p, test::infosOf({white}), 0.1, {200, 150}, false);
    const auto corners = clipLayerTransform(c, white.item, 0.1, 200, 150);
    QPointF centre;
    for (const QPointF& q : corners) centre += q / 4;
    auto level = [&](QPointF q) { return frame.pixelColor(int(std::floor(q.x())), int(std::floor(q.y()))).redF(); };
    for (const QPointF& q : corners) {
        const QPointF towards = (centre - q) / std::hypot((centre - q).x(), (centre - q).y());
        EXPECT_GT(level(q + towards * 3), 0.95) << q.x() << "," << q.y();
        EXPECT_LT(level(q - towards * 3), 0.05) << q.x() << "," << q.y();
    }
}

TEST_F(CompositionPeer, FaintClipKeepsItsReaderAndOutputScalesByWidth) {
    Clip c = layerClip(*backdrop_, BlendMode::normal, 100);
    Project p = test::projectOf(kW, kH, 10, {*backdrop_}, {c});
    const MediaInfos infos = test::infosOf({*backdrop_});
    CompositionRenderer renderer;
    renderer.render(p, infos, 0.05, {kW, kH}, false);
    const MediaFrameReader* reader = renderer.reader(c.id);
    ASSERT_NE(reader, nullptr);
    const int opens = reader->openCount();
    p.tracks[0].clips[0].transform->opacity.value = 0.05;  // 0.0005
    const QImage faint = renderer.render(p, infos, 0.15, {kW, kH}, false);
    EXPECT_EQ(renderer.reader(c.id), reader);
    EXPECT_EQ(reader->openCount(), opens);
    EXPECT_EQ(faint.pixelColor(5, 5), QColor(0, 0, 0));
    CompositionRenderer fresh;
    fresh.render(p, infos, 0.05, {kW, kH}, false);
    EXPECT_EQ(fresh.readerCount(), 0);  // nothing read at all

    // Half the width and more height: scaled by one half, the extra rows stay background.
    p.tracks[0].clips[0].transform->opacity.value = 100;
    const QImage half = renderer.render(p, infos, 0.05, {kW / 2, 40}, false);
    const QImage full = renderer.render(p, infos, 0.05, {kW, kH}, false);
    EXPECT_EQ(half.size(), QSize(kW / 2, 40));
    EXPECT_NEAR(half.pixelColor(10, 10).redF(), full.pixelColor(20, 20).redF(), 0.2);
    for (int x = 0; x < kW / 2; ++x) EXPECT_EQ(half.pixelColor(x, 30), QColor(0, 0, 0));
    EXPECT_EQ(CompositionRenderer::previewImage(full).pixelColor(20, 20).rgba(), full.pixelColor(20, 20).rgba());

    // Hidden tracks draw nothing and drop their readers; transparent background stays clear.
    p.tracks[0].isVisible = false;
    p.transparentBackground = true;
    EXPECT_EQ(renderer.render(p, infos, 0.05, {kW, kH}, false).pixelColor(3, 3).alpha(), 0);
    EXPECT_EQ(renderer.readerCount(), 0);
}

TEST_F(CompositionPeer, SmallOutputsAverageAreasAsFfmpegDoes) {
    const Clip c = layerClip(*layers_[0], BlendMode::normal, 100);
    const Project p = test::projectOf(kW, kH, 10, {*layers_[0]}, {c});
    CompositionRenderer renderer;
    const QImage small = renderer.render(p, test::infosOf({*layers_[0]}), 0.0, {12, 9}, false);
    EXPECT_GE(psnr(small, reference({layers_[0]}, "[0]scale=12:9:flags=area,format=gbrpf32le", 12, 9)), 35);
}

TEST_F(CompositionPeer, ShrunkClipsAsFfmpegScalesAndAsThePainterDrawsThem) {
    // Drawn smaller on whole pixels, a clip is scaled by its reader as it is converted; a hair of
    // rotation sends the same frames through the painter instead. Both are smooth downscales.
    const Clip straight = layerClip(*layers_[0], BlendMode::normal, 100);
    Clip turned = straight;
    turned.transform->rotation.value = 0.0001;
    const MediaInfos infos = test::infosOf({*layers_[0]});
    CompositionRenderer fast, painted;
    const QSize size(48, 36);
    const auto ref = reference({layers_[0]}, "[0]scale=48:36:flags=bicubic,format=gbrpf32le", 48, 36);
    EXPECT_GE(psnr(fast.render(test::projectOf(kW, kH, 10, {*layers_[0]}, {straight}), infos, 0.0, size, false), ref), 40);
    for (double t : {0.0, 0.1, 0.2}) {
        const QImage a = fast.render(test::projectOf(kW, kH, 10, {*layers_[0]}, {straight}), infos, t, size, false);
        const QImage b = painted.render(test::projectOf(kW, kH, 10, {*layers_[0]}, {turned}), infos, t, size, false);
        double se = 0;
        for (int y = 0; y < 36; ++y)
            for (int x = 0; x < 48; ++x) {
                const QRgba64 p = a.pixelColor(x, y).rgba64(), q = b.pixelColor(x, y).rgba64();
                for (double d : {p.red() - q.red(), p.green() - q.green(), p.blue() - q.blue()}) se += d * d / 65535.0 / 65535.0;
            }
        EXPECT_GE(10 * std::log10(3.0 * 48 * 36 / std::max(se, 1e-12)), 35) << "at " << t;
    }
}

TEST_F(CompositionPeer, ChromaKeyRoughlyAsFfmpegs) {
    // The key green on the left half, a test picture on the right.
    const Medium half = test::makeMedium(
        *dir_ / "half.mov", {"-f", "lavfi", "-i", "testsrc2=s=64x48:r=10:d=0.3", "-f", "lavfi", "-i", "color=0x19BF40:s=32x48:r=10:d=0.3",
                             "-filter_complex", "[0][1]overlay,format=rgb24", "-c:v", "png"});
    Clip c = layerClip(half, BlendMode::normal, 100);
    c.transform->effects.keyEnabled = true;
    c.transform->effects.keyColor = {0x19 / 255.0, 0xBF / 255.0, 0x40 / 255.0};
    c.transform->keySpill.value = 0;
    Project p = test::projectOf(kW, kH, 10, {half}, {c});
    p.transparentBackground = true;
    CompositionRenderer renderer;
    const QImage ours = renderer.render(p, test::infosOf({half}), 0.0, {kW, kH}, false);
    // ffmpeg measures limited-range 8-bit chroma over √2: about 0.62 of our distance.
    const std::string alpha = test::run({"ffmpeg", "-v", "error", "-i", half.path.string(), "-vf",
                                         "format=yuv444p,chromakey=0x19BF40:0.056:0.019,format=yuva444p,alphaextract", "-frames:v", "1", "-f",
                                         "rawvideo", "-pix_fmt", "gray", "-"})
                                  .output;
    ASSERT_EQ(alpha.size(), size_t(kW * kH));
    int disagree = 0, keyed = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int a = ours.pixelColor(x, y).alpha();
            keyed += a < 8;
            disagree += std::abs(a - int(uint8_t(alpha[size_t(y * kW + x)]))) > 128;
        }
    EXPECT_GE(keyed, kW * kH / 2);
    // ffmpeg averages the distance over 3 × 3 pixels, so edges differ; the areas agree.
    EXPECT_LE(disagree, kW * kH * 5 / 100);
}

// A file may hold any finite anchor, position and scale: the placement is drawn as its arithmetic
// says however large, with nothing left to overflow.
TEST_F(CompositionPeer, HugeNumbersFromAFileDrawAsTheMathsSays) {
    // Red, with a white bottom-right quadrant.
    const Medium quads = test::makeMedium(*dir_ / "quads.mov", {"-f", "lavfi", "-i",
                                                                "color=red:s=64x48:r=10:d=0.3,"
                                                                "drawbox=x=32:y=24:w=32:h=24:color=white:t=fill,format=rgb24",
                                                                "-c:v", "png"});
    const QRgb red = qRgb(255, 0, 0), white = qRgb(255, 255, 255), black = qRgb(0, 0, 0);
    const double big = 1e308;
    struct Case { Vec2 anchor, position, scale; QRgb colour; QRect area; };  // `colour` inside `area`, black elsewhere
    // The top-left pixel magnified about its corner, set on the canvas centre, fills the quarter
    // right of and below the centre (left of and above it when mirrored): 1e4 % through the
    // painter, 1e308 % past its reach. About an anchor in the white quadrant the canvas is white.
    // Off the canvas, or with no finite placement (nor inverse) at all: nothing.
    for (const Case& c : {Case{{0, 0}, {32, 24}, {1e4, 1e4}, red, QRect(32, 24, 32, 24)},
                          Case{{0, 0}, {32, 24}, {-big, -big}, red, QRect(0, 0, 32, 24)},
                          Case{{47.5, 36.5}, {10, 40}, {big, big}, white, QRect(0, 0, kW, kH)},
                          Case{{32, 24}, {big, big}, {100, 100}, black, {}}, Case{{big, big}, {32, 24}, {big, big}, black, {}},
                          Case{{32, 24}, {32, 24}, {big, 0}, black, {}}}) {
        Clip clip = test::clipOf(quads, 0, 0.3, kW, kH);
        clip.transform->anchor.value = c.anchor, clip.transform->position.value = c.position, clip.transform->scale.value = c.scale;
        const QImage frame =
            CompositionRenderer().render(test::projectOf(kW, kH, 10, {quads}, {clip}), test::infosOf({quads}), 0.1, {kW, kH}, false);
        int wrong = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) wrong += frame.pixelColor(x, y).rgb() != (c.area.contains(x, y) ? c.colour : black);
        EXPECT_EQ(wrong, 0) << c.anchor.x << ", " << c.position.x << ", " << c.scale.x;
    }
}

TEST(ClipLayerTransform, FitModesAnchorsAndRotation) {
    auto medium = [](int w, int h) {
        MediaItem m;
        m.width = w;
        m.height = h;
        return m;
    };
    auto clip = [](FitMode fit, Vec2 anchor, double rotation) {
        Clip c;
        c.fit = fit;
        c.duration = 10;
        c.transform = ClipTransform::makeDefault(anchor, {960, 540}, 100);
        c.transform->rotation.value = rotation;
        return c;
    };
    const struct {
        Clip clip;
        MediaItem media;
        std::array<QPointF, 4> corners;
    } cases[] = {
        {clip(FitMode::stretch, {50, 25}, 0), medium(100, 50), {{{0, 0}, {1920, 0}, {1920, 1080}, {0, 1080}}}},
        {clip(FitMode::fit, {640, 360}, 0), medium(1280, 720), {{{0, 0}, {1920, 0}, {1920, 1080}, {0, 1080}}}},
        {clip(FitMode::fill, {540, 540}, 0), medium(1080, 1080), {{{0, -420}, {1920, -420}, {1920, 1500}, {0, 1500}}}},
        // A quarter turn clockwise on screen: the top edge ends up on the right.
        {clip(FitMode::fit, {0, 0}, 90), medium(1920, 1080), {{{960, 540}, {960, 2460}, {-120, 2460}, {-120, 540}}}},
    };
    for (const auto& c : cases) {
        const auto got = clipLayerTransform(c.clip, c.media, 1, 1920, 1080);
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(got[size_t(i)].x(), c.corners[size_t(i)].x(), 1e-6);
            EXPECT_NEAR(got[size_t(i)].y(), c.corners[size_t(i)].y(), 1e-6);
        }
    }
}

}  // namespace
}  // namespace qm
