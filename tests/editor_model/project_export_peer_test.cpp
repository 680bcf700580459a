// Project exports read back by ffprobe and the ffmpeg CLI: every writable format, frame counts,
// an empty timeline, transparency kept unpremultiplied, the movie's sound against the mix, and
// cancellation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/conversion_error.h"
#include "editor/model/project_exporter.h"
#include "editor_model/timeline_fixtures.h"
#include "engine/output_naming.h"
#include "../engine/transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Medium;

constexpr int kW = 64, kH = 36;

// Half a second at 10 fps: a half-transparent red clip over a transparent background.
struct RedTimeline {
    test::TempDir dir;
    Medium red = test::makeMedium(dir / "red.mov", {"-f", "lavfi", "-i", "color=red@0.502:s=32x18:r=10:d=1,format=rgba",
                                                     "-c:v", "png"});
    Project project = [this] {
        Clip c = test::clipOf(red, 0, 0.5, kW, kH);
        c.fit = FitMode::stretch;
        Project p = test::projectOf(kW, kH, 10, {red}, {c});
        p.transparentBackground = true;
        return p;
    }();
};

ConversionSettings settingsFor(OutputFormat format, bool audio = true) {
    ConversionSettings s;
    s.format = format;
    s.includeAudio = audio;
    return s;
}

std::string rgbaOfFrame(const fs::path& file, int index) {
    return test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-vf", "select=eq(n\\," + std::to_string(index) + ")", "-frames:v",
                      "1", "-f", "rawvideo", "-pix_fmt", "rgba", "-"})
        .output;
}

TEST(ProjectExportPeer, EveryWritableFormat) {
    RedTimeline t;
    const auto& formats = test::kWritableFormats;
    // The formats left out are the ones this system cannot write.
    for (OutputFormat format : allOutputFormats) {
        const bool listed = std::any_of(std::begin(formats), std::end(formats), [&](const auto& f) { return f.format == format; });
        EXPECT_TRUE(listed || !isAvailable(format)) << rawValue(format);
    }
    for (const auto& f : formats) {
        SCOPED_TRACE(std::string(rawValue(f.format)));
        const fs::path out = outputURL(f.format, t.dir / "Timeline", t.dir.path());
        ProjectExporter exporter(t.project, test::infosOf({t.red}), settingsFor(f.format), out, {});
        ASSERT_EQ(exporter.frameCount(), 5);
        TranscodeProgress last;
        exporter.exportProject([&](const TranscodeProgress& p) { last = p; });
        EXPECT_EQ(last.fraction, 1.0);
        std::vector<fs::path> frames;
        if (isImageSequence(f.format)) {
            for (const auto& entry : fs::directory_iterator(out)) frames.push_back(entry.path());
            std::sort(frames.begin(), frames.end());
            ASSERT_EQ(frames.size(), 5u);
        } else {
            EXPECT_EQ(test::countFrames(out), 5);
            EXPECT_TRUE(test::decodesCleanly(out));
        }
        const auto probe = test::ffprobe(frames.empty() ? out : frames[0]);
        EXPECT_EQ(test::streamOf(probe, "video").value("codec_name", ""), f.codec);
        EXPECT_TRUE(test::streamOf(probe, "audio").is_null());  // no medium with sound
        // Half-transparent red stays full red at half alpha where the format keeps alpha.
        if (f.alpha && f.format != OutputFormat::hapAlpha && f.format != OutputFormat::hapQAlpha &&
            f.format != OutputFormat::dxv3Alpha) {
            for (int i = 0; i < 5; ++i) {
                const std::string px = frames.empty() ? rgbaOfFrame(out, i) : rgbaOfFrame(frames[size_t(i)], 0);
                ASSERT_EQ(px.size(), size_t(kW * kH * 4));
                for (size_t p = 0; p < px.size(); p += 4 * 97) {
                    EXPECT_NEAR(uint8_t(px[p]), 255, 2);
                    EXPECT_NEAR(uint8_t(px[p + 1]), 0, 2);
                    EXPECT_NEAR(uint8_t(px[p + 3]), 128, 1);
                }
            }
        }
    }
}

TEST(ProjectExportPeer, FrameCountsAndTheTimelineDescription) {
    auto lasting = [](double seconds, double rate) {
        Project p;
        p.frameRate = rate;
        Clip c;
        c.duration = seconds;
        p.tracks.push_back({QUuid::createUuid(), "L", {c}, true, true});
        return p;
    };
    const struct {
        double seconds, rate;
        int64_t frames;
    } cases[] = {{0.7, 30, 21}, {8.3, 30, 249}, {10, 29.97, 300}, {0.01, 29.97, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(ProjectExporter(lasting(c.seconds, c.rate), {}, {}, "/tmp/unused.mov", {}).frameCount(), c.frames)
            << c.seconds << " s at " << c.rate;
    Project p = lasting(10, 29.97);
    p.transparentBackground = true;
    const MediaInfo info = timelineMediaInfo(p);
    EXPECT_EQ(info.codecName, "Timeline");
    EXPECT_EQ(info.naturalTimeScale, 30000);
    EXPECT_EQ(info.duration, MediaTime::make(300000, 30000));
    EXPECT_TRUE(info.hasAlpha);
    EXPECT_FALSE(info.hasAudio);
}

TEST(ProjectExportPeer, RefusalsLeaveNothing) {
    test::TempDir dir;
    const fs::path out = dir / "empty.mov";
    ProjectExporter empty(Project::makeNew(), {}, settingsFor(OutputFormat::h264), out, {});
    try {
        empty.exportProject({});
        ADD_FAILURE() << "exported an empty timeline";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::noVideoTrack);
    }
    RedTimeline t;
    for (double rate : {0.05, 1001.0}) {
        Project p = t.project;
        p.frameRate = rate;
        EXPECT_THROW(ProjectExporter(p, test::infosOf({t.red}), settingsFor(OutputFormat::h264), out, {}).exportProject({}),
                     ConversionError);
    }
    Project endless = t.project;  // would write frames until the disk is full
    endless.tracks[0].clips[0].start = 1e12;
    try {
        ProjectExporter(endless, test::infosOf({t.red}), settingsFor(OutputFormat::h264), out, {}).exportProject({});
        ADD_FAILURE() << "exported a timeline of 1e12 seconds";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "Encoding failed: the movie would last more than 100 hours");
    }
    // Cancelled from the first progress report: the movie is removed.
    t.project.tracks[0].clips[0].duration = 3;
    for (OutputFormat format : {OutputFormat::h264, OutputFormat::proRes4444}) {
        const fs::path movie = outputURL(format, t.dir / "Cut", t.dir.path());
        ProjectExporter exporter(t.project, test::infosOf({t.red}), settingsFor(format), movie, {});
        try {
            exporter.exportProject([&](const TranscodeProgress&) { exporter.cancellation().set(); });
            ADD_FAILURE() << "not cancelled";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::cancelled);
        }
        EXPECT_FALSE(fs::exists(movie));
    }
    EXPECT_FALSE(fs::exists(out));
}

TEST(ProjectExportPeer, MovieSoundIsTheMix) {
    test::TempDir dir;
    const Medium m = test::makeMedium(dir / "av.mov", {"-f", "lavfi", "-i", "testsrc2=s=32x18:r=10:d=2", "-f", "lavfi", "-i",
                                                        "aevalsrc=0.5*sin(2*PI*437*t)|0.3*sin(2*PI*661*t):s=48000:d=2", "-c:v",
                                                        "png", "-c:a", "pcm_s24le"});
    Clip c = test::clipOf(m, 0.3, 1.2, kW, kH);
    c.sourceIn = 0.4;
    c.fadeIn = 0.2;
    c.volume = 0.7;
    const Project p = test::projectOf(kW, kH, 10, {m}, {c});
    const fs::path out = dir / "out.mov";
    for (bool audio : {true, false}) {
        ProjectExporter(p, test::infosOf({m}), settingsFor(OutputFormat::proRes422Proxy, audio), out, {}).exportProject({});
        EXPECT_EQ(test::streamOf(test::ffprobe(out), "audio").is_null(), !audio);
        if (!audio) break;
        const std::string bytes =
            test::run({"ffmpeg", "-v", "error", "-i", out.string(), "-map", "0:a", "-f", "f32le", "-ac", "2", "-ar", "48000", "-"}).output;
        std::vector<float> written(bytes.size() / 4);
        std::memcpy(written.data(), bytes.data(), written.size() * 4);
        const std::vector<float> expected = test::mixOf(p);
        ASSERT_GE(written.size(), expected.size() - 2 * 480);
        EXPECT_GE(test::snr(written, expected), 60);
        fs::remove(out);
    }
}

}  // namespace
}  // namespace qm
