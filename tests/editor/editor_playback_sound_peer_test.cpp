// Playback with sound through a private PulseAudio server whose only output is a null sink:
// parec records its monitor while the editor plays a clip of sox's 1 kHz tone at half volume.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <QProcess>

#include "editor/editor_test_support.h"
#include "support/test_support.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// A PulseAudio of this test alone, in its own runtime folder; stopped with the test.
struct PrivatePulse {
    TempDir dir;
    QProcess server;
    std::string failure;

    PrivatePulse() {
        const fs::path runtime = dir / "run";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        writeFile(dir / "pa.conf",
                  "load-module module-native-protocol-unix auth-anonymous=1\n"
                  "load-module module-null-sink sink_name=qmtest rate=48000 channels=2\n"
                  "set-default-sink qmtest\n");
        const std::string socket = "unix:" + (runtime / "pulse/native").string();
        // The audio backend reads these when it first connects, which is after this point.
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("PULSE_SERVER", socket.c_str(), 1);
        setenv("HOME", dir.path().c_str(), 1);
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start("pulseaudio", {"-n", "-F", QString::fromStdString((dir / "pa.conf").string()), "--daemonize=no",
                                    "--exit-idle-time=-1", "--disable-shm=yes", "--use-pid-file=no"});
        if (!server.waitForStarted(5000)) {
            failure = "pulseaudio did not start";
            return;
        }
        for (int i = 0; i < 50; ++i) {
            if (run({"pactl", "info"}).exitCode == 0) return;
            QProcess::execute("sleep", {"0.1"});
        }
        failure = "pulseaudio did not answer";
    }
    ~PrivatePulse() {
        server.terminate();
        if (!server.waitForFinished(3000)) server.kill();
        server.waitForFinished(3000);
    }
};

double rms(const float* s, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(n));
}

TEST(EditorPlaybackSound, TheClipsToneIsHeardAtItsVolume) {
    PrivatePulse pulse;
    if (!pulse.failure.empty()) GTEST_SKIP() << "no private PulseAudio to play into: " << pulse.failure;

    const fs::path tone = pulse.dir / "tone.wav", clip = pulse.dir / "clip.mov";
    ASSERT_EQ(run({"sox", "-n", "-r", "48000", "-c", "2", tone.string(), "synth", "2", "sine", "1000", "vol", "0.5"}).exitCode, 0);
    ffmpeg({"-f", "lavfi", "-i", "color=c=gray:size=64x36:rate=30:duration=2", "-i", tone.string(), "-c:v", "mpeg4",
            "-c:a", "pcm_s16le", "-shortest", clip.string()});
    // The reference level: sox's own measure of the tone.
    const auto stat = run({"sh", "-c", "sox '" + tone.string() + "' -n stat 2>&1 | sed -n 's/^RMS  *amplitude: *//p'"});
    const double sourceRms = std::atof(stat.output.c_str());
    ASSERT_GT(sourceRms, 0.3);

    CountingEditor e;
    const auto imported = e->importFiles({QString::fromStdString(clip.string())});
    ASSERT_TRUE(waitUntil([&] { return imported.isFinished(); }));
    ASSERT_EQ(e->project().media.size(), 1u);
    e->addClipAtPlayhead(e->project().media[0].id);
    e->setClipVolume(e->project().tracks[0].clips[0].id, 0.5, true);

    const fs::path recording = pulse.dir / "rec.raw";
    QProcess parec;
    parec.start("parec", {"-d", "qmtest.monitor", "--rate=48000", "--channels=2", "--format=float32le", "--raw",
                          QString::fromStdString(recording.string())});
    ASSERT_TRUE(parec.waitForStarted(5000));
    e->seek(0);
    e->play();
    bool heard = false;
    ASSERT_TRUE(waitUntil([&] {
        heard = heard || e->playbackHasSound();
        return !e->isPlaying();
    }));
    QProcess::execute("sleep", {"0.3"});
    parec.terminate();
    parec.waitForFinished(3000);
    EXPECT_TRUE(heard);

    const std::string raw = readFile(recording);
    const std::size_t n = raw.size() / sizeof(float);
    std::vector<float> samples(n);
    std::memcpy(samples.data(), raw.data(), n * sizeof(float));
    // 10 ms windows: ten whole periods of the tone, so a window wholly inside it measures its
    // full level whatever the phase. How many windows carry the tone, and whether gaps split it,
    // depends on how well a busy machine keeps pace; the level in those windows does not. Windows
    // cut by the tone's ends or by a gap are quieter, and there are at most two per gap.
    const std::size_t window = 480 * 2;
    const double expected = sourceRms * 0.5;
    std::vector<double> carrying;
    for (std::size_t i = 0; i + window <= n; i += window)
        if (const double level = rms(samples.data() + i, window); level > expected / 4) carrying.push_back(level);
    ASSERT_FALSE(carrying.empty()) << "the tone was never heard";
    std::sort(carrying.begin(), carrying.end());
    const auto dB = [&](double level) { return 20 * std::log10(level / expected); };
    EXPECT_NEAR(dB(carrying[carrying.size() / 2]), 0.0, 1.0) << carrying.size() << " windows";
    EXPECT_NEAR(dB(carrying.back()), 0.0, 1.0);  // never louder: no sound doubled or overlapping

    // The GUI thread ends a run: pausing while a frame is still being drawn closes the output at
    // once, not when the drawing worker lets go of the run.
    std::atomic<bool> hold{true}, drawing{false};
    EditorModel::Environment env;
    env.render = [&](const Project&, const MediaInfos&, double) {
        drawing = true;
        while (hold) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return QImage(4, 4, QImage::Format_RGBA8888);
    };
    EditorModel gated(env);
    gated.setProject(e->project());
    gated.setInfos(e->infos());
    gated.play();
    ASSERT_TRUE(waitUntil([&] { return gated.playbackHasSound() && drawing; }));
    gated.pause();
    const auto streams = [] { return run({"pactl", "list", "short", "sink-inputs"}).output; };
    EXPECT_TRUE(waitUntil([&] { return streams().empty(); })) << streams();
    hold = false;
}

}  // namespace
}  // namespace qm::test
