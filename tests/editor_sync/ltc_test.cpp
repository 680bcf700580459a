// The LTC decoder and analysis against libltc's encoder and decoder, and file scans of
// ffmpeg-made files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "editor/sync/ltc_decoder.h"
#include "editor/sync/ltc_scan.h"
#include "editor/sync/media_analysis.h"
#include "ltc_signal.h"
#include "support/test_support.h"

namespace qm {
namespace {

using test::LTCSignalSpec;

std::vector<LTCDecoder::Frame> decode(const std::vector<float>& samples, double sampleRate) {
    LTCDecoder decoder(sampleRate);
    decoder.process(samples.data(), int64_t(samples.size()), 1, 0);
    return decoder.frames();
}

std::string label(const LTCSignalSpec& s) { return std::to_string(s.fps) + " fps at " + std::to_string(s.sampleRate); }

TEST(LTCDecoder, ReadsLibltcFramesAtEveryRate) {
    for (double sampleRate : {44100.0, 48000.0}) {
        for (double fps : {24.0, 25.0, 29.97, 30.0}) {
            LTCSignalSpec spec;
            spec.sampleRate = sampleRate;
            spec.fps = fps;
            spec.minutes = 0, spec.seconds = 59, spec.frame = 20;  // crosses a dropped minute at 29.97
            spec.frames = 60;
            const auto signal = test::ltcSignal(spec);
            const auto ours = decode(signal, sampleRate);
            const auto theirs = test::libltcDecode(signal, sampleRate, fps);
            ASSERT_EQ(ours.size(), theirs.size()) << label(spec);
            const double samplesPerFrame = sampleRate / fps;
            for (size_t k = 0; k < ours.size(); ++k) {
                EXPECT_EQ(ours[k].timecode.displayText(), theirs[k].text) << label(spec) << " frame " << k;
                // The encoder starts frame k at k x samples per frame.
                EXPECT_NEAR(ours[k].position, double(k) * samplesPerFrame, 1.0) << label(spec) << " frame " << k;
            }
            const auto info = analyzeLTCFrames(ours, sampleRate);
            ASSERT_TRUE(info) << label(spec);
            EXPECT_EQ(info->nominalRate, fps == 24 ? 24 : fps == 25 ? 25 : 30);
            EXPECT_EQ(info->dropFrame, fps == 29.97);
            EXPECT_NEAR(info->startFrame, test::ltcFirstFrameNumber(spec), 0.01) << label(spec);
            EXPECT_NEAR(info->measuredRate, fps, 0.002) << label(spec);
            EXPECT_EQ(info->framesDecoded, int64_t(ours.size()));
        }
    }
}

// Noise, level steps, a start inside a word and a signal running 0.1 % fast or slow.
TEST(LTCDecoder, HardConditions) {
    struct Case {
        const char* name;
        double fps;
        double speed;
        double snrDb;       // 0: no noise
        bool levelSteps;    // 26 dB down and up again every second
        int cutSamples;     // samples of the first word left out
        const char* rateText;
    };
    const Case cases[] = {
        {"noise 12 dB", 25, 1.0, 12, false, 0, "25"},
        {"level steps", 30, 1.0, 0, true, 0, "30"},
        {"mid-word start", 29.97, 1.0, 0, false, 700, "29.97 DF"},
        {"25 fps fast", 25, 1.001, 0, false, 0, "25"},
        {"30 fps slow", 30, 0.999, 0, false, 0, "29.97"},
        {"24 fps noisy and fast", 24, 1.001, 12, false, 333, "24"},
    };
    for (const Case& c : cases) {
        LTCSignalSpec spec;
        spec.fps = c.fps;
        spec.speed = c.speed;
        spec.frames = 150;
        auto signal = test::ltcSignal(spec);
        if (c.levelSteps)
            for (size_t i = 0; i < signal.size(); ++i)
                if ((i / size_t(spec.sampleRate)) % 2 == 1) signal[i] *= 0.05f;  // 26 dB down
        if (c.snrDb > 0) {
            double power = 0;
            for (float s : signal) power += double(s) * s;
            const double noise = std::sqrt(power / double(signal.size())) / std::pow(10.0, c.snrDb / 20);
            std::mt19937 random(7);
            std::normal_distribution<float> gauss(0.0f, float(noise));
            for (float& s : signal) s += gauss(random);
        }
        signal.erase(signal.begin(), signal.begin() + c.cutSamples);
        const auto info = analyzeLTCFrames(decode(signal, spec.sampleRate), spec.sampleRate);
        ASSERT_TRUE(info) << c.name;
        const double samplesPerFrame = spec.sampleRate / (c.fps * c.speed);
        EXPECT_EQ(info->nominalRate, c.fps == 24 ? 24 : c.fps == 25 ? 25 : 30) << c.name;
        EXPECT_EQ(info->dropFrame, c.fps == 29.97) << c.name;
        EXPECT_NEAR(info->startFrame, test::ltcFirstFrameNumber(spec) + c.cutSamples / samplesPerFrame, 0.01) << c.name;
        EXPECT_NEAR(info->measuredRate, c.fps * c.speed, 0.002) << c.name;
        EXPECT_EQ(info->rateText(), c.rateText) << c.name;
        EXPECT_GE(info->framesDecoded, c.levelSteps || c.snrDb > 0 ? 100 : 148) << c.name;
    }
}

TEST(LTCDecoder, BackwardsAndDrowned) {
    LTCSignalSpec spec;
    spec.frames = 150;
    spec.reversed = true;
    EXPECT_FALSE(analyzeLTCFrames(decode(test::ltcSignal(spec), spec.sampleRate), spec.sampleRate));

    // At 6 dB SNR a reading, when there is one, is still the right one.
    spec.reversed = false;
    auto signal = test::ltcSignal(spec);
    std::mt19937 random(11);
    std::normal_distribution<float> gauss(0.0f, 0.7f / 2.0f);
    for (float& s : signal) s += gauss(random);
    if (const auto info = analyzeLTCFrames(decode(signal, spec.sampleRate), spec.sampleRate)) {
        EXPECT_EQ(info->nominalRate, 25);
        EXPECT_NEAR(info->startFrame, test::ltcFirstFrameNumber(spec), 0.01);
    }
    EXPECT_TRUE(decode(std::vector<float>(48000, 0.0f), 48000).empty());
}

std::vector<LTCDecoder::Frame> cleanFrames(int count, double spacing, int64_t rate, int64_t first = 1000) {
    std::vector<LTCDecoder::Frame> frames;
    for (int k = 0; k < count; ++k)
        frames.push_back({k * spacing, Timecode::fromFrameNumber(first + k, rate, false)});
    return frames;
}

TEST(LTCAnalysis, FitsTheMajorityLine) {
    EXPECT_FALSE(analyzeLTCFrames(cleanFrames(9, 1920, 25), 48000));
    ASSERT_TRUE(analyzeLTCFrames(cleanFrames(10, 1920, 25), 48000));

    // A jump in the timecode: the larger run holds.
    auto frames = cleanFrames(30, 1920, 25);
    for (int k = 20; k < 30; ++k) frames[size_t(k)].timecode = Timecode::fromFrameNumber(5000 + k, 25, false);
    auto info = analyzeLTCFrames(frames, 48000);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->framesDecoded, 20);
    EXPECT_NEAR(info->startFrame, 1000, 1e-9);

    // One misread frame field of 27 must not turn 25 fps material into "30" fps with a wrong fit.
    frames = cleanFrames(40, 1920, 25);
    frames[17].timecode.frames = 27;
    EXPECT_FALSE(analyzeLTCFrames(frames, 48000));

    // A track starting at 2 s whose first frame reads 100 at exactly 25 fps: frame 50 at time 0.
    info = analyzeLTCFrames(cleanFrames(40, 1920, 25, 100), 48000);
    ASSERT_TRUE(info);
    EXPECT_NEAR(info->startFrame - 2.0 * info->measuredRate, 50, 1e-9);
}

// Scans of files built by the ffmpeg CLI around a libltc signal.
class LTCFileScan : public ::testing::Test {
protected:
    void SetUp() override {
        spec_.frames = 250;  // 10 s
        test::writeRawFloat(dir_ / "ltc.raw", test::ltcSignal(spec_));
    }
    std::vector<std::string> ltcInput(const std::vector<std::string>& before = {}) const {
        std::vector<std::string> args = before;
        for (const char* a : {"-f", "f32le", "-ar", "48000", "-ac", "1", "-i"}) args.push_back(a);
        args.push_back((dir_ / "ltc.raw").string());
        return args;
    }
    test::TempDir dir_;
    LTCSignalSpec spec_;
};

TEST_F(LTCFileScan, FindsTrackChannelAndTime) {
    struct Case {
        const char* name;
        std::vector<std::string> args;  // ffmpeg arguments after the LTC input
        int64_t track;
        int64_t channel;
        double shift;  // seconds the LTC starts after media time 0
        int64_t minFrames;
    };
    // Music for the first five seconds only, so that LTC left in the waveform would show.
    const std::string sine = "aevalsrc='0.125*sin(2*PI*440*t)*lt(t,5)':s=48000:d=10";
    const Case cases[] = {
        {"second track.mov", {"-f", "lavfi", "-i", sine, "-map", "1:a", "-map", "0:a", "-c:a", "pcm_s16le"}, 1, 0, 0, 249},
        {"right channel.wav",
         {"-f", "lavfi", "-i", sine, "-filter_complex", "[1:a][0:a]join=inputs=2:channel_layout=stereo[a]", "-map", "[a]"},
         0, 1, 0, 249},
        {"from two seconds.mkv", {"-c:a", "pcm_s16le"}, 0, 0, 2.0, 249},
        {"a second missing.mkv", {"-af", "aselect='not(between(t,4,5))'", "-c:a", "pcm_s16le"}, 0, 0, 0, 220},
    };
    for (const Case& c : cases) {
        const auto file = dir_ / c.name;
        auto args = ltcInput(c.shift > 0 ? std::vector<std::string>{"-itsoffset", "2"} : std::vector<std::string>{});
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(file.string());
        test::ffmpeg(args);
        const auto info = readLTC(file, 100000, std::numeric_limits<double>::infinity());
        ASSERT_TRUE(info) << c.name;
        EXPECT_EQ(info->track, c.track) << c.name;
        EXPECT_EQ(info->channel, c.channel) << c.name;
        EXPECT_NEAR(info->startFrame, test::ltcFirstFrameNumber(spec_) - c.shift * 25, 0.01) << c.name;
        EXPECT_NEAR(info->measuredRate, 25, 0.002) << c.name;
        EXPECT_GE(info->framesDecoded, c.minFrames) << c.name;
    }
    // The analysis leaves the LTC channel out of the waveform.
    const MediaAnalysis analysis = analyzeMedia(dir_ / "right channel.wav", true);
    ASSERT_TRUE(analysis.ltc && analysis.waveform);
    ASSERT_EQ(analysis.waveform->size(), 1000u);
    EXPECT_EQ(analysis.ltc->channel, 1);
    EXPECT_GT(*std::min_element(analysis.waveform->begin() + 5, analysis.waveform->begin() + 495), 0.95f);
    EXPECT_LT(*std::max_element(analysis.waveform->begin() + 505, analysis.waveform->end()), 0.01f);
    EXPECT_FALSE(analyzeMedia(dir_ / "right channel.wav", false).waveform);

    // Early stops: after 50 frames, or after 4 s of sound.
    const auto file = dir_ / "second track.mov";
    EXPECT_LT(readLTC(file, 50, 120)->framesDecoded, 80);
    EXPECT_LT(readLTC(file, 1000, 4.0)->framesDecoded, 110);
    // Sound without LTC, and a file without sound.
    const auto music = dir_ / "music.wav", picture = dir_ / "picture.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:duration=3", music.string()});
    test::ffmpeg({"-f", "lavfi", "-i", "color=size=64x64:duration=1", "-c:v", "mjpeg", picture.string()});
    EXPECT_FALSE(readLTC(music, 300, 120));
    EXPECT_FALSE(readLTC(picture, 300, 120));
}

}  // namespace
}  // namespace qm
