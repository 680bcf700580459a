// Project exports read back by ffprobe and the ffmpeg CLI: every writable format, frame counts,
// an empty timeline, transparency kept unpremultiplied, the movie's sound against the mix, and
// cancellation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include <QImage>

#include "core/conversion_error.h"
#include "editor/model/project_exporter.h"
#include "support/damaged_media.h"
#include "support/movie_boxes.h"
#include "support/variable_rate_media.h"
#include "editor_model/timeline_fixtures.h"
#include "engine/output_naming.h"
#include "engine/render_feeder.h"
#include "engine/render_timing.h"
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

// Every picture the ffmpeg CLI decodes from a file, as BGRA of `bytes` each, converted the way ours are.
std::vector<std::string> ffmpegPictures(const fs::path& file, size_t bytes) {
    const std::string all = test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-fps_mode", "passthrough", "-vf",
                                       "scale=flags=bicubic+accurate_rnd+full_chroma_int", "-f", "rawvideo",
                                       "-pix_fmt", "bgra", "-"}).output;
    std::vector<std::string> pictures;
    for (size_t at = 0; at + bytes <= all.size(); at += bytes) pictures.push_back(all.substr(at, bytes));
    return pictures;
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
                const size_t bytes = size_t(kW * kH * 4);
                const std::string px = frames.empty() ? test::rgbaFrame(out, i, f.format, bytes)
                                                      : test::rgbaFrame(frames[size_t(i)], 0, f.format, bytes);
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

// A clip whose alpha ramps across it, fitted into a wider canvas so transparent bars stand beside it:
// HEVC with alpha, as the peer FFmpeg decodes it, against the renderer's alpha in a PNG sequence.
TEST(ProjectExportPeer, HevcWithAlphaKeepsTheRenderersAlpha) {
    test::TempDir dir;
    Medium ramp = test::makeMedium(dir / "ramp.mov", {"-f", "lavfi", "-i", "color=red:s=18x18:r=10:d=1,format=rgba,geq=r=255:g=X*14:b=0:a=X*14",
                                                      "-c:v", "png"});
    Project project = test::projectOf(kW, kH, 10, {ramp}, {test::clipOf(ramp, 0, 0.5, kW, kH)});
    project.transparentBackground = true;
    std::map<OutputFormat, fs::path> outs;
    for (OutputFormat format : {OutputFormat::hevcAlpha, OutputFormat::pngSequence}) {
        outs[format] = outputURL(format, dir / "Ramp", dir.path());
        ProjectExporter(project, test::infosOf({ramp}), settingsFor(format, false), outs[format], {}).exportProject({});
    }
    const fs::path& frames = outs[OutputFormat::pngSequence];
    const auto reference = test::peerFrames({"-framerate", "10", "-i", (frames / (frames.filename().string() + "_%06d.png")).string()},
                                            "format=rgba,alphaextract", "gray", kW * kH);
    const auto decoded = test::peerFrames({"-i", outs[OutputFormat::hevcAlpha].string()}, "alphaextract", "gray", kW * kH);
    ASSERT_EQ(reference.size(), 5u);
    // Transparent bars and a ramp, not one flat value.
    EXPECT_EQ(uint8_t(reference[0][size_t(kH / 2) * kW]), 0);
    EXPECT_GT(uint8_t(reference[0][size_t(kH / 2) * kW + kW / 2 + 8]), 150);
    EXPECT_GE(test::lowestPsnr(decoded, reference), 45.0);
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

// A medium whose file is gone when the run starts, goes while frames are drawn, or goes once its
// last frame is drawn fails the run with its name, and no movie is left, not even a hidden one;
// a sound medium is watched like a picture. Frames drawn after a file went are never written.
// A medium only on a track neither shown nor heard is not looked at.
TEST(ProjectExportPeer, AMediumThatGoesAwayFailsTheRunWithItsName) {
    enum class Gone { beforeStart, atFirstReport, afterLastFrame, onlyUnused };
    const struct {
        Gone when;
        const char* file;  // the one deleted
        OutputFormat format;
        QStringList named;
    } cases[] = {
        {Gone::beforeStart, "pic.mov", OutputFormat::proRes422, {"pic.mov"}},
        {Gone::atFirstReport, "pic.mov", OutputFormat::h264, {"pic.mov"}},
        {Gone::atFirstReport, "tone.wav", OutputFormat::hapQ, {"tone.wav"}},
        {Gone::afterLastFrame, "pic.mov", OutputFormat::proRes422, {"pic.mov"}},
        {Gone::atFirstReport, "pic.mov", OutputFormat::pngSequence, {"pic.mov"}},
        {Gone::onlyUnused, "unused.mov", OutputFormat::proRes422, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::string(rawValue(c.format)) + " " + std::to_string(int(c.when)));
        test::TempDir dir;
        fs::create_directories(dir / "media");
        fs::create_directories(dir / "out");
        const auto picture = [&](const char* name) {
            return test::makeMedium(dir / "media" / name,
                                    {"-f", "lavfi", "-i", "testsrc=size=32x18:rate=10:duration=3", "-c:v", "mpeg4"});
        };
        const Medium pic = picture("pic.mov"), unused = picture("unused.mov");
        const Medium tone = test::makeMedium(dir / "media/tone.wav", {"-f", "lavfi", "-i", "sine=frequency=440:duration=3"});
        Project p = test::projectOf(kW, kH, 10, {pic, tone, unused},
                                    {test::clipOf(pic, 0, 3, kW, kH), test::clipOf(tone, 0, 3, kW, kH),
                                     test::clipOf(unused, 0, 3, kW, kH)});
        p.tracks[2].isVisible = false;
        p.tracks[2].isAudioEnabled = false;
        const fs::path out = outputURL(c.format, dir / "Show", dir / "out");
        ProjectExporter exporter(p, test::infosOf({pic, tone, unused}), settingsFor(c.format), out, {});
        ASSERT_GT(exporter.frameCount(), renderBatchSize(kW, kH));  // more than one batch
        const fs::path victim = dir / "media" / c.file;
        if (c.when == Gone::beforeStart || c.when == Gone::onlyUnused) fs::remove(victim);
        int reports = 0;
        try {
            exporter.exportProject([&](const TranscodeProgress& progress) {
                // Reports come on the run's own thread, between batches.
                if (++reports == 1 && c.when == Gone::atFirstReport) fs::remove(victim);
                if (progress.fraction == 1.0 && c.when == Gone::afterLastFrame) fs::remove(victim);
            });
            EXPECT_TRUE(c.named.isEmpty()) << "the run ended well without " << c.file;
        } catch (const MediaGoneError& e) {
            EXPECT_EQ(e.names(), c.named);
            EXPECT_EQ(e.ids(), QList<QUuid>{p.media[c.file == std::string("tone.wav") ? 1 : 0].id});
            EXPECT_EQ(std::string(e.what()),
                      "These files can't be found any more, so the export was stopped: " + std::string(c.file));
        }
        const auto names = [](const fs::path& folder) {
            std::vector<std::string> found;
            for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename());
            return found;
        };
        if (c.named.isEmpty()) {
            EXPECT_EQ(names(dir / "out"), std::vector<std::string>{out.filename()});
        } else {
            // Image sequences too: the frames of the first batch, drawn while the file was there, go.
            EXPECT_TRUE(names(dir / "out").empty()) << ::testing::PrintToString(names(dir / "out"));
        }
    }
}

// A sequence stopped for a medium that went away removes only its own frames, through the folder
// it wrote them in: its folder swapped meanwhile for a link to the user's folder of pictures with
// the very same names leads the removal nowhere.
TEST(ProjectExportPeer, AStoppedSequenceRemovesOnlyItsOwnFrames) {
    test::TempDir dir;
    fs::create_directories(dir / "out");
    const Medium pic = test::makeMedium(dir / "pic.mov", {"-f", "lavfi", "-i", "testsrc=size=32x18:rate=10:duration=3",
                                                           "-c:v", "mpeg4"});
    const Project p = test::projectOf(kW, kH, 10, {pic}, {test::clipOf(pic, 0, 3, kW, kH)});
    const fs::path out = outputURL(OutputFormat::pngSequence, dir / "Show", dir / "out"), photos = dir / "Photos";
    fs::create_directories(photos);
    std::vector<std::string> theirs;
    for (int i = 0; i <= 100; ++i) theirs.push_back(imageSequenceFileName(out.filename().string(), i, OutputFormat::pngSequence));
    for (const auto& name : theirs) test::writeFile(photos / name, "photo");
    ProjectExporter exporter(p, test::infosOf({pic}), settingsFor(OutputFormat::pngSequence), out, {});
    ASSERT_GT(exporter.frameCount(), renderBatchSize(kW, kH));  // more than one batch
    bool swapped = false;
    try {
        exporter.exportProject([&](const TranscodeProgress&) {
            if (swapped) return;
            // Its first frame takes its name, and the folder with it, on a thread of its own.
            while (!fs::is_directory(fs::symlink_status(out))) std::this_thread::yield();
            fs::rename(out, dir / "moved");
            fs::create_directory_symlink(photos, out);
            fs::remove(pic.path);
            swapped = true;
        });
        ADD_FAILURE() << "the run ended well without its medium";
    } catch (const MediaGoneError&) {
    }
    ASSERT_TRUE(swapped);
    EXPECT_EQ(test::fileNames(photos), theirs);
    EXPECT_TRUE(fs::is_symlink(out));
    EXPECT_TRUE(!fs::exists(dir / "moved") || fs::is_empty(dir / "moved"));
}

// A medium whose picture cannot be read where it has one fails the run with its name and the
// time in the file, and nothing is left under the output's name, image sequences included: frames
// garbled from the middle on or from the first, a file cut inside a frame (read through, or
// sought past the cut), and one whose index went with the cut after it was probed. Times where a
// clip has no picture (past its medium's end, a gap) are no failure, and a sequence folder that
// was there before keeps what it held and gets nothing of the run.
TEST(ProjectExportPeer, AMediumThatCannotBeReadFailsTheRunWithItsNameAndTime) {
    enum class Damage { none, garbledMiddle, garbledAll, cutInsideFrame, indexCut };
    const struct {
        Damage damage;
        double sourceIn;
        OutputFormat format;
        double failsAt;  // seconds into the medium; < 0: the run succeeds
    } cases[] = {
        {Damage::garbledMiddle, 0, OutputFormat::proRes422, 1.5},
        {Damage::garbledMiddle, 0, OutputFormat::pngSequence, 1.5},
        {Damage::garbledAll, 0.5, OutputFormat::h264, 0.5},
        {Damage::cutInsideFrame, 0, OutputFormat::proRes422, 2.0},
        {Damage::cutInsideFrame, 3.0, OutputFormat::tiffSequence, 3.0},
        {Damage::indexCut, 1.0, OutputFormat::hapQ, 1.0},
        {Damage::none, 3.0, OutputFormat::pngSequence, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.damage)) + " from " + std::to_string(c.sourceIn) + " " +
                     std::string(rawValue(c.format)));
        test::TempDir dir;
        fs::create_directories(dir / "out");
        // Four seconds at 10 fps; the index first where the cut must leave it.
        std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=32x18:rate=10:duration=4", "-c:v", "prores_ks"};
        if (c.damage == Damage::cutInsideFrame) args.insert(args.end(), {"-movflags", "+faststart"});
        const Medium clip = test::makeMedium(dir / "clip.mov", args);
        const auto frames = test::proResFrames(clip.path);
        ASSERT_EQ(frames.size(), 40u);
        if (c.damage == Damage::garbledMiddle) test::garble(clip.path, frames[15].first, frames[25].first);
        if (c.damage == Damage::garbledAll) test::garble(clip.path, frames[0].first, frames[39].second);
        if (c.damage == Damage::cutInsideFrame) test::cutAt(clip.path, (frames[20].first + frames[20].second) / 2);
        if (c.damage == Damage::indexCut) test::cutAt(clip.path, frames[30].first);

        // The clip runs a second past the medium's end, after a gap of half a second.
        Clip placed = test::clipOf(clip, 0.5, 5 - c.sourceIn, kW, kH);
        placed.sourceIn = c.sourceIn;
        const Project p = test::projectOf(kW, kH, 10, {clip}, {placed});
        const fs::path out = outputURL(c.format, dir / "Show", dir / "out");
        // A folder chosen for the PNGs that held something before.
        if (c.format == OutputFormat::pngSequence) {
            fs::create_directories(out);
            test::writeFile(out / "notes.txt", "kept");
        }
        ProjectExporter exporter(p, test::infosOf({clip}), settingsFor(c.format), out, {});
        try {
            exporter.exportProject({});
            EXPECT_LT(c.failsAt, 0) << "the run ended well";
        } catch (const MediaReadError& e) {
            EXPECT_GE(c.failsAt, 0) << e.what();
            EXPECT_EQ(e.mediaID(), clip.item.id);
            EXPECT_EQ(e.name(), "clip.mov");
            EXPECT_NEAR(e.seconds(), c.failsAt, 1e-6) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("\u201cclip.mov\u201d can't be read at ", 0), 0u) << e.what();
        }
        const std::vector<std::string> left = test::fileNames(dir / "out");
        // The folder that was there is never written into: the frames go under the next free name.
        const fs::path sequence = exporter.transcoder().destination();
        size_t written = 0;
        if (fs::is_directory(sequence))
            for (const auto& entry : fs::directory_iterator(sequence)) written += entry.path().filename() != "notes.txt" ? 1 : 0;
        if (c.format == OutputFormat::pngSequence) {
            EXPECT_EQ(sequence, dir / "out" / "Show_PNG 2");
            const std::vector<std::string> before{"Show_PNG"}, both{"Show_PNG", "Show_PNG 2"};
            EXPECT_EQ(left, c.failsAt >= 0 ? before : both);
            EXPECT_EQ(test::fileNames(out), std::vector<std::string>{"notes.txt"});
        } else if (c.failsAt >= 0) {
            EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left);
        }
        EXPECT_EQ(written, c.failsAt >= 0 ? 0u : size_t(exporter.frameCount()));
    }
}

// Movies of every container export whole, each frame the picture the ffmpeg CLI decodes for its
// time: H.264 in MPEG-TS (B-frames, a track starting 1.4 s into the file, a clip opening
// mid-group), and Matroska and WebM whose sound outlasts the picture, one of them recorded live
// with no length stated anywhere. Those probe at the picture's length, and a clip that runs on to
// the sound's end, as one placed before could, holds the last picture. (ProRes's ten bits reach 8-bit BGRA by another path than ffmpeg's: about 31 dB.)
TEST(ProjectExportPeer, MoviesOfEveryContainerExportWhole) {
    const struct {
        const char* name;
        std::vector<std::string> codecs;
        double sourceIn, duration;
    } cases[] = {
        {"cam.ts", {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}, 0.6, 1.4},
        {"h264.mkv", {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}, 0, 2.08},
        {"prores.mkv", {"-c:v", "prores_ks", "-c:a", "pcm_s16le"}, 0, 2.08},
        {"vp9.webm", {"-c:v", "libvpx-vp9", "-c:a", "libopus"}, 0, 2.08},
        // Recorded live: the file states no length anywhere.
        {"live.webm", {"-c:v", "libvpx-vp9", "-c:a", "libopus", "-live", "1"}, 0, 2.0},
    };
    const size_t bytes = size_t(kW * kH * 4);
    const auto frames = [&](const fs::path& file) { return ffmpegPictures(file, bytes); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        // Twenty frames at 10 fps, each of another hue, and 2.08 s of sound.
        std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=s=64x36:r=10:d=2,hue=h=36*n", "-f", "lavfi",
                                         "-i", "sine=duration=2.08", "-colorspace", "bt709"};
        args.insert(args.end(), c.codecs.begin(), c.codecs.end());
        const Medium movie = test::makeMedium(dir / c.name, args);
        EXPECT_NEAR(movie.info.duration.seconds(), 2.0, 1e-3);
        Clip clip = test::clipOf(movie, 0, c.duration, kW, kH);
        clip.sourceIn = c.sourceIn;
        const Project project = test::projectOf(kW, kH, 10, {movie}, {clip});
        const fs::path out = outputURL(OutputFormat::pngSequence, dir / "Show", dir.path());
        ProjectExporter exporter(project, test::infosOf({movie}), settingsFor(OutputFormat::pngSequence), out, {});
        ASSERT_EQ(exporter.frameCount(), std::llround(c.duration * 10));
        exporter.exportProject({});

        const auto decoded = frames(movie.path);
        ASSERT_EQ(decoded.size(), 20u);
        std::vector<std::string> expected;
        for (int64_t i = 0; i < exporter.frameCount(); ++i)
            expected.push_back(decoded[size_t(std::min<int64_t>(std::llround(c.sourceIn * 10) + i, 19))]);
        EXPECT_GE(test::lowestPsnr(frames(out / (out.filename().string() + "_%06d.png")), expected), 30.0);
        // The viewer going straight to the last time draws the same picture.
        auto last = PixelBuffer::create(kW, kH, kPixelFormatBGRA);
        CompositionRenderer renderer;
        CompositionRenderer::draw(renderer.render(project, test::infosOf({movie}), (exporter.frameCount() - 1) / 10.0,
                                                  QSize(kW, kH), false),
                                  *last, false);
        std::string drawn;
        for (int y = 0; y < kH; ++y) drawn.append(reinterpret_cast<const char*>(last->data() + size_t(y) * last->bytesPerRow()), 4 * kW);
        EXPECT_GE(test::psnr(drawn, expected.back()), 30.0);
    }
}

// Every exported frame is the one a fresh renderer draws for that time alone: pictures read ahead,
// decoded on other threads or rendered out of turn change nothing. Two layers over a long-GOP
// source (one moving, one keyed by a blend and a scale keyframe), as a PNG sequence (compared
// pixel for pixel) and as Hap Q (compared packet for packet with the plain renders encoded alike).
TEST(ProjectExportPeer, EveryFrameIsAPlainRenderOfItsTime) {
    test::TempDir dir;
    const Medium moving = test::makeMedium(dir / "gop.mp4", {"-f", "lavfi", "-i", "testsrc2=s=96x54:r=25:d=3", "-c:v",
                                                              "libx264", "-g", "250", "-pix_fmt", "yuv420p"});
    const Medium red = test::makeMedium(dir / "red.mov", {"-f", "lavfi", "-i", "color=red@0.6:s=32x18:r=10:d=3,format=rgba",
                                                           "-c:v", "png"});
    Clip top = test::clipOf(red, 0.2, 1.6, kW, kH);
    top.blendMode = BlendMode::screen;
    top.transform->scale.keyframes = {Keyframe<Vec2>::make(0, {100, 100}), Keyframe<Vec2>::make(1.5, {170, 130})};
    Clip below = test::clipOf(moving, 0, 2, kW, kH);
    below.sourceIn = 0.3;
    const Project project = test::projectOf(kW, kH, 10, {red, moving}, {top, below});
    const MediaInfos infos = test::infosOf({red, moving});
    const int64_t frames = 20;
    auto plain = [&](double seconds, PixelBuffer& into) {
        CompositionRenderer renderer;
        CompositionRenderer::draw(renderer.render(project, infos, seconds, QSize(into.width(), into.height()), false), into, false);
    };

    const fs::path pngs = outputURL(OutputFormat::pngSequence, dir / "Seq", dir.path());
    ProjectExporter(project, infos, settingsFor(OutputFormat::pngSequence), pngs, {}).exportProject({});
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(pngs)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), size_t(frames));
    for (int64_t i = 0; i < frames; ++i) {
        auto expected = PixelBuffer::create(kW, kH, kPixelFormatBGRA);
        plain(double(i) / 10, *expected);
        const QImage written = QImage(QString::fromStdString(files[size_t(i)].string())).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(written.size(), QSize(kW, kH));
        for (int y = 0; y < kH; ++y)
            ASSERT_EQ(std::memcmp(written.constScanLine(y), expected->data() + size_t(y) * expected->bytesPerRow(), 4 * kW), 0)
                << "frame " << i << " row " << y;
    }

    const fs::path movie = dir / "export.mov", reference = dir / "plain.mov";
    ProjectExporter(project, infos, settingsFor(OutputFormat::hapQ, false), movie, {}).exportProject({});
    Transcoder transcoder(reference, reference, timelineMediaInfo(project), settingsFor(OutputFormat::hapQ, false));
    RenderFeeder feeder(transcoder, plain, makePixelBufferPool(kW, kH, kPixelFormatBGRA), {}, frameDuration(10), frames, 1);
    transcoder.runRendered(feeder, nullptr);
    auto packets = [](const fs::path& file) {
        const std::string md5 = test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:v", "-c", "copy", "-f",
                                           "framemd5", "-"}).output;
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = md5.find('\n', at)) != std::string::npos; at = end + 1)
            if (md5[at] != '#') lines.push_back(md5.substr(at, end - at));
        return lines;
    };
    const std::vector<std::string> exported = packets(movie), expected = packets(reference);
    EXPECT_EQ(exported.size(), size_t(frames));
    EXPECT_EQ(exported, expected);
}

// A variable-rate recording with one key frame, from 0.5 s in (inside a still) on a 30 fps timeline:
// each exported frame is the picture of its source time, and none steps back.
TEST(ProjectExportPeer, VariableRateSourcesShowThePictureOfEachTime) {
    test::TempDir dir;
    const auto pictures = test::makeVariableRateMovie(dir / "screen.mp4", false, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "300"});
    const Medium medium = test::probedMedium(dir / "screen.mp4");
    Clip clip = test::clipOf(medium, 0, 4.5, 160, 96);
    clip.sourceIn = 0.5;
    const fs::path out = outputURL(OutputFormat::pngSequence, dir / "Show", dir.path());
    ProjectExporter(test::projectOf(160, 96, 30, {medium}, {clip}), test::infosOf({medium}), settingsFor(OutputFormat::pngSequence),
                    out, {}).exportProject({});
    const std::vector<std::string> names = test::fileNames(out);
    ASSERT_EQ(names.size(), 135u);
    for (int i = 0, previous = 0; i < 135; ++i) {
        const QImage png = QImage(QString::fromStdString((out / names[size_t(i)]).string())).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(png.size(), QSize(160, 96));
        const int shown = test::markerOf(png.constBits(), size_t(png.bytesPerLine()));
        EXPECT_EQ(shown, test::pictureAt(pictures, medium.info.frameRate, i / 30.0 + 0.5).value_or(shown)) << "frame " << i;
        EXPECT_GE(shown, previous) << "frame " << i;
        previous = shown;
    }
}

// A phone recording (frames 1/30 s apart, now and then 1/24, one dropped; B-frames) trimmed without
// re-encoding, whose edit list runs on past its last sample, that sample stored 1/120 s long: the
// last sample is held to the end of the edit, so the whole clip exports and ends on that picture.
TEST(ProjectExportPeer, ATrimmedMovieHoldsItsLastSampleToTheEndOfItsEdit) {
    test::TempDir dir;
    const fs::path phone = dir / "phone.mp4", trimmed = dir / "trimmed.mp4";
    test::ffmpeg({"-f", "lavfi", "-i",
                  "testsrc2=s=64x36:r=120:d=2.6,select='not(mod(n\\,4))*not(eq(n\\,200))',"
                  "setpts='(N*4+gte(N\\,20)+gte(N\\,50))/120/TB',"
                  "geq=lum='if(lt(X\\,32)*lt(Y\\,32)\\,16+3*N\\,lum(X\\,Y))':cb=128:cr=128",
                  "-fps_mode", "passthrough", "-r", "120", "-c:v", "libx264", "-bf", "3", "-g", "30",
                  "-video_track_timescale", "90000", "-an", phone.string()});
    test::ffmpeg({"-ss", "1.3", "-i", phone.string(), "-c", "copy", trimmed.string()});
    ASSERT_TRUE(test::lengthenFirstEdit(trimmed, 0.055));
    const Medium medium = test::probedMedium(trimmed);
    // Every picture the ffmpeg CLI decodes, by its marker.
    const std::string all = test::run({"ffmpeg", "-v", "error", "-i", trimmed.string(), "-fps_mode", "passthrough",
                                       "-f", "rawvideo", "-pix_fmt", "bgra", "-"}).output;
    const size_t bytes = 64 * 36 * 4;
    ASSERT_GE(all.size(), 30 * bytes);
    const int last = test::markerOf(reinterpret_cast<const uint8_t*>(all.data() + all.size() - bytes), 64 * 4);

    const Clip clip = test::clipOf(medium, 0, medium.info.duration.seconds(), 64, 36);
    const fs::path out = outputURL(OutputFormat::pngSequence, dir / "Show", dir.path());
    ProjectExporter exporter(test::projectOf(64, 36, 30, {medium}, {clip}), test::infosOf({medium}),
                             settingsFor(OutputFormat::pngSequence), out, {});
    ASSERT_NO_THROW(exporter.exportProject({}));
    const std::vector<std::string> names = test::fileNames(out);
    ASSERT_EQ(int64_t(names.size()), exporter.frameCount());
    int previous = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const QImage png = QImage(QString::fromStdString((out / names[i]).string())).convertToFormat(QImage::Format_ARGB32);
        const int shown = test::markerOf(png.constBits(), size_t(png.bytesPerLine()));
        EXPECT_GE(shown, previous) << "frame " << i;
        previous = shown;
    }
    EXPECT_EQ(previous, last);
}

// Streams whose first samples give no picture, as real tools write them: x264's intra refresh cut at
// a recovery point (with B-frames and without), in GStreamer's MPEG-TS and in mkvmerge's Matroska, and an MPEG-TS recording
// joined mid-stream. The clip counts from the first picture: its length holds the pictures ffmpeg
// decodes, its export shows them one per frame in turn, and Convert's movie starts with that
// picture at 0 and holds as many.
TEST(ProjectExportPeer, ClipsCountFromTheFirstPicture) {
    test::TempDir dir;
    const fs::path y4m = dir / "source.y4m";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x36:r=25:d=4.8,hue=h=29*n", "-pix_fmt", "yuv420p", y4m.string()});
    // Without B-frames and with them, which GStreamer and mkvmerge stamp in decoding order (the
    // clip ran on 4 frames past the last picture, as the first was placed 4 stamps early).
    for (const std::string bframes : {"0", "3"}) {
        const std::string stem = bframes == "0" ? "recovery" : "recovery-b";
        ASSERT_EQ(test::run({"x264", "--quiet", "--intra-refresh", "--keyint", "20", "--bframes", bframes, "-o",
                             (dir / "raw.264").string(), y4m.string()}).exitCode, 0) << "the x264 command line (x264)";
        // From the third SPS on: x264 repeats its parameter sets at each recovery point.
        const std::string raw = test::readFile(dir / "raw.264");
        size_t cut = 0;
        for (int seen = 0, at = int(raw.find(std::string("\0\0\1", 3))); at >= 0 && seen < 3;
             at = int(raw.find(std::string("\0\0\1", 3), size_t(at) + 3)))
            if ((uint8_t(raw[size_t(at) + 3]) & 0x1F) == 7 && ++seen == 3) cut = size_t(at);
        ASSERT_GT(cut, 0u);
        test::writeFile(dir / (stem + ".264"), raw.substr(cut));
        ASSERT_EQ(test::run({"gst-launch-1.0", "-q", "filesrc", "location=" + (dir / (stem + ".264")).string(), "!", "h264parse", "!",
                             "mpegtsmux", "!", "filesink", "location=" + (dir / (stem + ".ts")).string()}).exitCode, 0)
            << "GStreamer's parser and MPEG-TS muxer";
        ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / (stem + ".mkv")).string(), (dir / (stem + ".264")).string()}).exitCode, 0)
            << "mkvmerge (mkvtoolnix)";
    }
    // A recording joined an eighth of the way in, inside its first group of pictures, on a transport packet.
    test::ffmpeg({"-i", y4m.string(), "-c:v", "libx264", "-g", "60", "-bf", "2", "-pix_fmt", "yuv420p", (dir / "whole.ts").string()});
    const std::string whole = test::readFile(dir / "whole.ts");
    test::writeFile(dir / "joined.ts", whole.substr(whole.size() / 188 / 8 * 188));

    const size_t bytes = size_t(kW * kH * 4);
    const auto frames = [&](const fs::path& file) { return ffmpegPictures(file, bytes); };
    for (const std::string name : {"recovery.ts", "recovery.mkv", "recovery-b.ts", "recovery-b.mkv", "joined.ts"}) {
        SCOPED_TRACE(name);
        const std::vector<std::string> decoded = frames(dir / name);
        ASSERT_GE(decoded.size(), 20u);
        const Medium movie = test::probedMedium(dir / name);
        // With B-frames, a B picture the refresh leaves unmade mid-group still shifts the times after
        // it by one: the clip may run on one frame.
        EXPECT_NEAR(double(std::llround(movie.info.duration.seconds() * 25)), double(decoded.size()),
                    name.find("-b.") != std::string::npos ? 1 : 0);

        const Clip clip = test::clipOf(movie, 0, double(decoded.size()) / 25, kW, kH);
        const fs::path out = outputURL(OutputFormat::pngSequence, dir / (name + " Show"), dir.path());
        ProjectExporter exporter(test::projectOf(kW, kH, 25, {movie}, {clip}), test::infosOf({movie}),
                                 settingsFor(OutputFormat::pngSequence), out, {});
        exporter.exportProject({});
        const auto exported = frames(out / (out.filename().string() + "_%06d.png"));
        ASSERT_EQ(exported.size(), decoded.size());
        for (size_t i = 0; i < exported.size(); ++i) EXPECT_GE(test::psnr(exported[i], decoded[i]), 30.0) << "frame " << i;

        const fs::path converted = dir / (name + ".mov");
        Transcoder(dir / name, converted, movie.info, settingsFor(OutputFormat::proRes422Proxy, false)).run({});
        const auto times = test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                                      "-of", "csv=p=0", converted.string()}).output;
        EXPECT_EQ(std::atof(times.c_str()), 0.0);
        EXPECT_EQ(test::countFrames(converted), int(decoded.size()));
    }
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

// Sound that once stopped an export writes the mix: 5.1 AAC at 96 kHz downmixed on the sound's
// thread while pictures encode on others, run again and again (the library's remix table, larger
// than the layouts' part of it, was once built in a buffer of only that part), AC-3 that mkvmerge
// wrote without lacing, and a clip reaching past the end of a sound whose length never changed.
TEST(ProjectExportPeer, SurroundUnlacedAndOverlongClipsExportTheirSound) {
    test::TempDir dir;
    const std::string chirp = "0.4*sin(2*PI*(60*t+150*t*t))";
    const Medium six = test::makeMedium(
        dir / "six.mp4", {"-f", "lavfi", "-i", "testsrc2=s=32x18:r=25:d=8", "-f", "lavfi", "-i",
                          "aevalsrc=" + chirp + "|0.3*sin(2*PI*661*t)|0.3*sin(2*PI*500*t)|0.2*sin(2*PI*50*t)|0.3*sin(2*PI*900*t)|"
                          "0.3*sin(2*PI*1300*t):s=96000:d=8:c=5.1", "-c:v", "libx264", "-c:a", "aac", "-b:a", "160k"});
    test::makeMedium(dir / "laced.mkv", {"-f", "lavfi", "-i", "testsrc2=s=32x18:r=25:d=4", "-f", "lavfi", "-i",
                                         "aevalsrc=" + chirp + ":s=48000:d=4", "-c:v", "libx264", "-c:a", "ac3"});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "unlaced.mkv").string(), "--disable-lacing", (dir / "laced.mkv").string()})
                  .exitCode, 0);
    const Medium unlaced = test::probedMedium(dir / "unlaced.mkv");
    const Medium tone = test::makeMedium(dir / "tone_a.mov", {"-f", "lavfi", "-i", "aevalsrc=" + chirp + ":s=48000:d=3", "-c:a", "pcm_s16le"});
    // The sound written as AAC beside H.264 is the mix within what that encoding keeps.
    const struct { const Medium* m; std::vector<std::pair<double, double>> clips; int runs; } cases[] = {
        {&six, {{0, 1.5}, {3.25, 1.5}}, 4}, {&unlaced, {{0, 2}, {2.5, 1.5}}, 2}, {&tone, {{1, 2.5}}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m->path.filename().string());
        std::vector<Clip> clips;
        double start = 0;
        for (const auto& [in, length] : c.clips) {
            Clip clip = test::clipOf(*c.m, start, length, kW, kH);
            clip.sourceIn = in;
            clips.push_back(clip);
            start += length + 0.5;
        }
        Project p = test::projectOf(kW, kH, 10, {*c.m}, clips);
        const MediaInfos infos = probeProjectMedia(p);
        const std::vector<float> expected = test::mixOf(p);
        for (int run = 0; run < c.runs; ++run) {
            const fs::path out = dir / "out.mp4";
            ASSERT_NO_THROW(ProjectExporter(p, infos, settingsFor(OutputFormat::h264), out, {}).exportProject({}));
            const std::string bytes =
                test::run({"ffmpeg", "-v", "error", "-i", out.string(), "-map", "0:a", "-f", "f32le", "-ac", "2", "-ar", "48000", "-"}).output;
            std::vector<float> written(bytes.size() / 4);
            std::memcpy(written.data(), bytes.data(), written.size() * 4);
            ASSERT_GE(written.size(), expected.size() - 2 * 480);
            EXPECT_GE(test::snr(written, expected), 20);
            fs::remove(out);
        }
    }
}

// Sound a clip needs that its file no longer holds stops the export with the file's name and the
// time in it, and leaves no movie; without sound in the output the run goes through.
TEST(ProjectExportPeer, SoundCutShortFailsTheRunWithItsNameAndTime) {
    test::TempDir dir;
    fs::create_directories(dir / "out");
    const Medium m = test::makeMedium(dir / "tune.m4a", {"-f", "lavfi", "-i", "sine=frequency=440:duration=6", "-c:a", "aac",
                                                         "-movflags", "+faststart"});
    Clip c = test::clipOf(m, 0, 1, kW, kH);
    c.sourceIn = 4.5;
    const Project p = test::projectOf(kW, kH, 10, {m}, {c});
    test::cutAt(m.path, fs::file_size(m.path) / 2);
    const fs::path out = dir / "out" / "Show.mov";
    try {
        ProjectExporter(p, test::infosOf({m}), settingsFor(OutputFormat::proRes422Proxy), out, {}).exportProject({});
        FAIL() << "the run ended well";
    } catch (const MediaReadError& e) {
        EXPECT_EQ(e.name(), "tune.m4a");
        EXPECT_NEAR(e.seconds(), 4.5, 1e-3);
        EXPECT_EQ(std::string(e.what()), "\u201ctune.m4a\u201d can't be read at 4.50 s into the file, so the export was stopped: "
                                         "the file ends before this sound");
    }
    EXPECT_TRUE(test::fileNames(dir / "out").empty());
    ProjectExporter(p, test::infosOf({m}), settingsFor(OutputFormat::proRes422Proxy, false), out, {}).exportProject({});
    EXPECT_TRUE(fs::exists(out));
}

// The export, its media probed again as it starts, gives audio-mix's verdicts: a movie whose sound
// has a gap and ends before its pictures exports; an MP3 without a Xing header cut after its clip
// was made stops the run where its sound now ends.
TEST(ProjectExportPeer, GapsAndShortSoundExportAndSoundCutPastItsEndStopsTheRun) {
    test::TempDir dir;
    const Medium movie = test::makeMedium(dir / "gap.mkv", {"-f", "lavfi", "-i", "testsrc=s=32x32:r=10:d=3", "-f", "lavfi", "-i",
                                                            "sine=d=2.6", "-af", "aselect='not(between(t,1,1.3))'", "-c:v", "libx264",
                                                            "-c:a", "libopus"});
    const Medium tune = test::makeMedium(dir / "bare.mp3", {"-f", "lavfi", "-i", "sine=d=4", "-c:a", "libmp3lame", "-write_xing", "0"});
    test::cutAt(tune.path, fs::file_size(tune.path) / 2);
    for (const Medium& m : {movie, tune}) {
        Project p = test::projectOf(kW, kH, 10, {m}, {test::clipOf(m, 0, m.item.duration, kW, kH)});
        const MediaInfos infos = probeProjectMedia(p);
        const fs::path out = dir / (m.path.stem().string() + ".mov");
        try {
            ProjectExporter(p, infos, settingsFor(OutputFormat::proRes422Proxy), out, {}).exportProject({});
            EXPECT_EQ(m.path, movie.path) << "the run ended well";
            EXPECT_EQ(test::ffprobe(out)["streams"].size(), 2u);
        } catch (const MediaReadError& e) {
            EXPECT_EQ(m.path, tune.path) << e.what();
            EXPECT_EQ(e.name(), "bare.mp3");
            EXPECT_NEAR(e.seconds(), p.media[0].duration, 0.03) << e.what();
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

}  // namespace
}  // namespace qm
