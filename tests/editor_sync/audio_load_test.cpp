// Sound loading: track and channel choice, the mix, times kept through gaps, rate changes and
// rate conversion, on files made by the ffmpeg CLI.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/media_analysis.h"
#include "support/test_support.h"

namespace qm {
namespace {

using AudioAligner::ChannelRef;
using AudioAligner::LoadedSound;

// ffmpeg's sine source: amplitude 1/8, phase 0 at its time 0.
double sine(double frequency, double t) { return 0.125 * std::sin(2 * M_PI * frequency * t); }

// Largest difference between the sound and the expected signal of media time, within [from, to).
double maxError(const LoadedSound& sound, double rate, double from, double to, const std::function<double(double)>& expected) {
    double worst = 0;
    for (size_t n = 0; n < sound.samples.size(); ++n) {
        const double t = sound.start + double(n) / rate;
        if (t >= from && t < to) worst = std::max(worst, std::abs(sound.samples[n] - expected(t)));
    }
    return worst;
}

// Centre of the loudest pulse, in seconds of media time, from the samples' centroid around it.
double pulseTime(const LoadedSound& sound, double rate, double from, double to) {
    size_t best = 0;
    for (size_t n = 0; n < sound.samples.size(); ++n) {
        const double t = sound.start + double(n) / rate;
        if (t >= from && t < to && sound.samples[n] > sound.samples[best]) best = n;
    }
    double weight = 0, sum = 0;
    for (size_t n = best - 8; n <= best + 8; ++n) {
        weight += sound.samples[n];
        sum += sound.samples[n] * double(n);
    }
    return sound.start + sum / weight / rate;
}

class AudioLoading : public ::testing::Test {
protected:
    std::filesystem::path make(const std::string& name, std::vector<std::string> args) {
        const auto file = dir_ / name;
        args.push_back(file.string());
        test::ffmpeg(args);
        return file;
    }
    static std::vector<std::string> lavfi(const std::string& graph) { return {"-f", "lavfi", "-i", graph}; }
    test::TempDir dir_;
};

TEST_F(AudioLoading, TracksChannelsAndTheMix) {
    const std::string s100 = "sine=frequency=100:sample_rate=48000:duration=3";
    const std::string s300 = "sine=frequency=300:sample_rate=48000:duration=3";
    auto tone = [](int frequency) { return "0.125*sin(2*PI*" + std::to_string(frequency) + "*t)"; };
    auto stereo = make("stereo.wav", lavfi("aevalsrc='" + tone(100) + "|" + tone(300) + "':s=48000:d=3:c=stereo"));
    auto twoTracks = make("two tracks.mov", {"-f", "lavfi", "-i", s100, "-f", "lavfi", "-i", s300, "-map", "0:a", "-map",
                                             "1:a", "-c:a", "pcm_s16le"});
    std::string six = tone(100);
    for (int c = 2; c <= 6; ++c) six += "|" + tone(c * 100);
    auto surround = make("six.wav", {"-f", "lavfi", "-i", "aevalsrc='" + six + "':s=48000:d=3:c=5.1", "-c:a", "pcm_f32le"});

    auto f100 = [](double t) { return sine(100, t); };
    auto f300 = [](double t) { return sine(300, t); };
    struct Case {
        const char* name;
        std::filesystem::path file;
        std::optional<ChannelRef> excluding;
        std::function<double(double)> expected;
    };
    const Case cases[] = {
        {"stereo, LTC on the right", stereo, ChannelRef{0, 1}, f100},
        {"stereo, LTC on the left", stereo, ChannelRef{0, 0}, f300},
        {"stereo, another track named", stereo, ChannelRef{1, 0}, [](double t) { return (sine(100, t) + sine(300, t)) / 2; }},
        {"first track is the LTC", twoTracks, ChannelRef{0, 0}, f300},
        {"first track", twoTracks, std::nullopt, f100},
        {"six channels", surround, std::nullopt, [](double t) {
             double sum = 0;
             for (int c = 1; c <= 6; ++c) sum += sine(c * 100, t);
             return sum / 6;
         }},
    };
    for (const Case& c : cases) {
        const auto sound = AudioAligner::loadSamples(c.file, c.excluding, 2000, 600);
        ASSERT_TRUE(sound) << c.name;
        EXPECT_NEAR(double(sound->samples.size()), 6000, 2) << c.name;
        EXPECT_LT(maxError(*sound, 2000, 0.1, 2.9, c.expected), 0.002) << c.name;
    }
}

TEST_F(AudioLoading, NoUsableSound) {
    auto picture = make("picture.mov", {"-f", "lavfi", "-i", "color=size=64x64:duration=1", "-c:v", "mjpeg"});
    auto mono = make("mono.wav", lavfi("sine=duration=1"));
    EXPECT_FALSE(AudioAligner::loadSamples(picture, std::nullopt, 2000, 600));
    EXPECT_FALSE(AudioAligner::loadSamples(mono, ChannelRef{0, 0}, 2000, 600));
    for (double rate : {0.0, -2000.0, std::nan(""), std::numeric_limits<double>::infinity(), 2000.5})
        EXPECT_FALSE(AudioAligner::loadSamples(mono, std::nullopt, rate, 600)) << rate;
    auto text = dir_ / "notes.mov";
    test::writeFile(text, "not a movie at all");
    EXPECT_ANY_THROW(AudioAligner::loadSamples(text, std::nullopt, 2000, 600));
}

// Pulses land where the file's timestamps put them: from a late start, across a gap in the
// timestamps, across a 48 to 44.1 kHz change, from either rate.
TEST_F(AudioLoading, TimesFollowTheStream) {
    const std::string pulse = "aevalsrc='exp(-((t-1.2345)/0.001)^2/2)':d=2.5:s=";
    for (int rate : {44100, 48000}) {
        auto file = make("pulse" + std::to_string(rate) + ".wav", {"-f", "lavfi", "-i", pulse + std::to_string(rate), "-c:a", "pcm_f32le"});
        const auto sound = AudioAligner::loadSamples(file, std::nullopt, 2000, 600);
        ASSERT_TRUE(sound);
        EXPECT_EQ(sound->start, 0.0);
        EXPECT_NEAR(pulseTime(*sound, 2000, 0, 2.5), 1.2345, 0.1 / 2000) << rate;  // a tenth of a sample
    }

    auto late = make("late.mkv", {"-itsoffset", "0.5", "-f", "lavfi", "-i", pulse + "48000", "-c:a", "pcm_f32le"});
    auto sound = AudioAligner::loadSamples(late, std::nullopt, 2000, 600);
    ASSERT_TRUE(sound);
    EXPECT_NEAR(sound->start, 0.5, 1e-6);
    EXPECT_NEAR(pulseTime(*sound, 2000, 0, 3), 1.7345, 0.1 / 2000);

    // Matroska keeps milliseconds: the pulse after a second left out lands within one.
    auto gap = make("gap.mkv", {"-f", "lavfi", "-i", "aevalsrc='exp(-((t-2.5)/0.001)^2/2)':d=4:s=48000", "-af",
                                "aselect='not(between(t,1,2))'", "-c:a", "pcm_f32le"});
    sound = AudioAligner::loadSamples(gap, std::nullopt, 2000, 600);
    ASSERT_TRUE(sound);
    EXPECT_NEAR(double(sound->samples.size()), 8000, 2);
    EXPECT_NEAR(pulseTime(*sound, 2000, 0, 4), 2.5, 0.001);

    // MPEG-TS with AAC, two seconds at 48 kHz, then two at 44.1 kHz, each with a pulse one second
    // in. Each pulse lands one second plus AAC's 1024 samples of encoder delay after the first
    // timestamp of its part.
    auto firstTime = [](const std::filesystem::path& file) {
        const auto result = test::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts_time",
                                       "-read_intervals", "%+#1", "-of", "csv=p=0", file.string()});
        return std::stod(result.output);
    };
    auto partA = make("a.ts", {"-f", "lavfi", "-i", "aevalsrc='exp(-((t-1)/0.001)^2/2)':d=2:s=48000", "-c:a", "aac",
                               "-b:a", "192k", "-f", "mpegts"});
    auto partB = make("b.ts", {"-f", "lavfi", "-i", "aevalsrc='exp(-((t-1)/0.001)^2/2)':d=2:s=44100", "-c:a", "aac",
                               "-b:a", "192k", "-output_ts_offset", "2", "-f", "mpegts"});
    test::writeFile(dir_ / "both.ts", test::readFile(partA) + test::readFile(partB));
    sound = AudioAligner::loadSamples(dir_ / "both.ts", std::nullopt, 2000, 600);
    ASSERT_TRUE(sound);
    EXPECT_NEAR(pulseTime(*sound, 2000, 0, 3.2), firstTime(partA) + 1 + 1024.0 / 48000, 0.2 / 2000);
    EXPECT_NEAR(pulseTime(*sound, 2000, 3.6, 6), firstTime(partB) + 1 + 1024.0 / 44100, 0.2 / 2000);
}

TEST_F(AudioLoading, StopsAfterMaxSeconds) {
    auto file = make("ten.wav", lavfi("sine=frequency=100:sample_rate=48000:duration=10"));
    const auto sound = AudioAligner::loadSamples(file, std::nullopt, 2000, 2.0);
    ASSERT_TRUE(sound);
    // Two seconds, plus at most one buffer past the limit and the converter's tail.
    EXPECT_GE(sound->samples.size(), 4000u);
    EXPECT_LT(sound->samples.size(), 4400u);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(AudioAligner::loadSamples(file, std::nullopt, 2000, 600, stop.get_token()));
}

TEST_F(AudioLoading, WaveformPeaks) {
    // Loud for a second, then half as loud: the peaks of 10 ms buckets, the loudest exactly 1.
    auto file = make("steps.wav", lavfi("aevalsrc='if(lt(t,1),0.8,0.4)*sin(2*PI*50*t)':s=48000:d=2"));
    const auto peaks = waveformPeaks(file, std::nullopt);
    ASSERT_TRUE(peaks);
    EXPECT_EQ(peaks->size(), 200u);
    EXPECT_EQ(*std::max_element(peaks->begin(), peaks->end()), 1.0f);
    EXPECT_NEAR((*peaks)[150], 0.5, 0.01);
    // Under 20 samples at 2000 Hz still makes one bucket; silence stays zero.
    auto tiny = make("tiny.wav", lavfi("aevalsrc='0.5':s=48000:d=0.005"));
    EXPECT_EQ(waveformPeaks(tiny, std::nullopt), std::vector<float>{1.0f});
    auto silent = make("silent.wav", lavfi("anullsrc=r=48000:cl=mono:d=0.5"));
    const auto zeros = waveformPeaks(silent, std::nullopt);
    ASSERT_TRUE(zeros);
    EXPECT_EQ(zeros->size(), 50u);
    EXPECT_EQ(*std::max_element(zeros->begin(), zeros->end()), 0.0f);
}

}  // namespace
}  // namespace qm
