// Exports by qm-bench, each a process of its own, of projects whose sound once stopped the run.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace test::project_json;

// 5.1 AAC at 96 kHz beside H.264 pictures in MP4, two clips of it (the second from after a seek):
// the sound is downmixed on its writer's thread while the pictures encode. The library's remix
// table is larger than the layouts' part of it and was once built in a buffer of only that part,
// which crashed the run nearly every time: run again and again, every export ends well and
// carries the clips' sound.
TEST(SoundExportRun, SurroundSoundExportsEveryTime) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo("testsrc2", 320, 180, 8), "-c:v", "libx264", "-preset", "ultrafast",
                  "-pix_fmt", "yuv420p", (dir / "v.mkv").string()});
    test::ffmpeg({"-f", "lavfi", "-i",
                  "aevalsrc=0.4*sin(2*PI*300*t)|0.4*sin(2*PI*400*t)|0.4*sin(2*PI*500*t)|0.2*sin(2*PI*60*t)|0.4*sin(2*PI*700*t)|"
                  "0.4*sin(2*PI*800*t):s=96000:d=8:c=5.1",
                  (dir / "six.wav").string()});
    test::ffmpeg({"-i", (dir / "v.mkv").string(), "-i", (dir / "six.wav").string(), "-map", "0:v", "-map", "1:a", "-c:v", "copy",
                  "-c:a", "aac", "-b:a", "160k", (dir / "a.mp4").string()});
    json media = {{"id", newID()}, {"path", (dir / "a.mp4").string()}, {"name", "a.mp4"}, {"width", 320}, {"height", 180},
                  {"frameRate", 30}, {"duration", 8}, {"hasAudio", true}, {"codecName", "H.264"}};
    json second = clip(media);
    second["start"] = 2.0;
    second["sourceIn"] = 3.25;
    second["duration"] = 1.5;
    json first = clip(media);
    first["duration"] = 1.5;
    test::writeFile(dir / "P.qmproj", project(320, 180, {media}, {track("Layer 1", {first, second})}).dump());
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const fs::path out = dir / ("out" + std::to_string(run));
        const test::CommandResult r = test::run({QM_BENCH, "export-project", (dir / "P.qmproj").string(), "--format", "h264", "--out", out.string()});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const std::vector<std::string> written = test::fileNames(out);
        ASSERT_EQ(written.size(), 1u) << r.output;
        const fs::path movie = out / written.front();
        // The sound as written: 3.5 s, loud where a clip plays and silent between them.
        const std::string bytes = test::run({"ffmpeg", "-v", "error", "-i", movie.string(), "-map", "0:a", "-f", "f32le", "-ac", "1",
                                             "-ar", "48000", "-"}).output;
        std::vector<float> sound(bytes.size() / 4);
        std::memcpy(sound.data(), bytes.data(), sound.size() * 4);
        ASSERT_NEAR(double(sound.size()) / 48000, 3.5, 0.05);
        const auto rms = [&](double from, double to) {
            double sum = 0;
            for (size_t i = size_t(from * 48000); i < size_t(to * 48000); ++i) sum += double(sound[i]) * sound[i];
            return std::sqrt(sum / ((to - from) * 48000));
        };
        EXPECT_GT(rms(0.2, 1.3), 0.1);
        EXPECT_LT(rms(1.6, 1.9), 0.01);
        EXPECT_GT(rms(2.2, 3.3), 0.1);
    }
}

// A clip volume no window could set, too large for the mix, would export infinite samples: the
// mix and the export refuse the project in words naming the field, and write nothing.
TEST(SoundExportRun, AVolumeBeyondTheMixIsRefusedNamingItsField) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "sine=f=440:d=2", (dir / "tone.wav").string()});
    json media = {{"id", newID()}, {"path", (dir / "tone.wav").string()}, {"name", "tone.wav"}, {"width", 320}, {"height", 180},
                  {"frameRate", 30}, {"duration", 2}, {"hasAudio", true}, {"codecName", "PCM"}};
    json loud = clip(media);
    loud["duration"] = 2;
    loud["volume"] = 1e308;
    test::writeFile(dir / "P.qmproj", project(320, 180, {media}, {track("Layer 1", {loud})}).dump());
    // Standard error too, where qm-bench says why.
    const auto bench = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", QM_BENCH});
        return test::run(args);
    };
    const std::string why = "tracks[0].clips[0].volume is too large for the sound mix";
    const test::CommandResult mixed = bench({"audio-mix", (dir / "P.qmproj").string(), "--out", (dir / "mix.f32").string()});
    EXPECT_NE(mixed.exitCode, 0);
    EXPECT_NE(mixed.output.find(why), std::string::npos) << mixed.output;
    EXPECT_FALSE(fs::exists(dir / "mix.f32"));
    const test::CommandResult exported =
        bench({"export-project", (dir / "P.qmproj").string(), "--format", "h264", "--out", (dir / "out").string()});
    EXPECT_NE(exported.exitCode, 0);
    EXPECT_NE(exported.output.find(why), std::string::npos) << exported.output;
    EXPECT_TRUE(!fs::exists(dir / "out") || test::fileNames(dir / "out").empty());
}

}  // namespace
}  // namespace qm
