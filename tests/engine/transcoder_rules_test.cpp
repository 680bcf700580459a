// Arithmetic rules of a conversion run, checked against worked figures.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "engine/transcode_rules.h"
#include "support/test_support.h"

namespace qm {
namespace {

TEST(TranscodeBatchSize, BoundedByCoresMemoryAndLimits) {
    EXPECT_EQ(transcodeBatchSize(1920, 1080, 1920, 1080, 8), 16);
    EXPECT_EQ(transcodeBatchSize(7680, 4320, 7680, 4320, 8), 7);
    // 83,333,334 pixels x 8 bytes exceeds the 2 GB quota for even one frame: never below 2.
    EXPECT_EQ(transcodeBatchSize(83'333'334, 1, 83'333'334, 1, 8), 2);
    EXPECT_EQ(transcodeBatchSize(1920, 1080, 1920, 1080, 32), 48);
    EXPECT_EQ(transcodeBatchSize(5'208'333, 1, 5'208'333, 1, 32), 48);
    EXPECT_EQ(transcodeBatchSize(5'208'334, 1, 5'208'334, 1, 32), 47);
    EXPECT_EQ(transcodeBatchSize(64, 48, 64, 48, 1), 2);
    EXPECT_EQ(transcodeBatchSize(0, 0, 0, 0, 4), 8);
}

TEST(TranscodeBatchSize, UpscaleIsBoundedByTheOutputSize) {
    // A 640x360 source scaled to 8K must not get the small source's batch.
    EXPECT_EQ(transcodeBatchSize(640, 360, 7680, 4320, 8), 7);
    EXPECT_EQ(transcodeBatchSize(7680, 4320, 640, 360, 8), 7);
}

TEST(OutputGeometry, EvenSidesOnlyForH264AndHEVC) {
    for (OutputFormat f : allOutputFormats) {
        EXPECT_EQ(outputGeometry(f, 1, 1), (OutputGeometry{2, 2})) << rawValue(f);
        EXPECT_EQ(outputGeometry(f, 0, 2), (OutputGeometry{2, 2})) << rawValue(f);
    }
    EXPECT_EQ(outputGeometry(OutputFormat::h264, 3, 3), (OutputGeometry{2, 2}));
    EXPECT_EQ(outputGeometry(OutputFormat::hap, 3, 3), (OutputGeometry{3, 3}));
}

TEST(WorkingPixels, DeepOnlyForDeepOutputsFromNonGPUSources) {
    EXPECT_TRUE(usesDeepPixels(OutputFormat::proRes4444, false));
    EXPECT_FALSE(usesDeepPixels(OutputFormat::proRes4444, true));
    EXPECT_FALSE(usesDeepPixels(OutputFormat::proRes422LT, false));
    EXPECT_TRUE(usesDeepPixels(OutputFormat::proRes422, false));
    EXPECT_TRUE(usesDeepPixels(OutputFormat::tiffSequence, false));
    EXPECT_FALSE(usesDeepPixels(OutputFormat::pngSequence, false));
    EXPECT_FALSE(usesDeepPixels(OutputFormat::h264, false));
}

TEST(DeliveryRates, BitRateAndKeyFrames) {
    EXPECT_EQ(averageBitRate(1920, 1080, 25, 2, false), 10'368'000);
    EXPECT_EQ(averageBitRate(1920, 1080, 25, 2, true), 6'220'800);
    EXPECT_EQ(averageBitRate(3840, 2160, 60, 3, false), 199'065'600);
    EXPECT_EQ(averageBitRate(7680, 4320, 60, 3, false), 400'000'000);
    EXPECT_EQ(averageBitRate(1920, 1080, 25, 0, false), 2'592'000);
    EXPECT_EQ(averageBitRate(1920, 1080, 25, 1, false), 5'184'000);
    EXPECT_EQ(averageBitRate(1920, 1080, std::numeric_limits<double>::quiet_NaN(), 3, false), 0);
    EXPECT_EQ(keyFrameInterval(29.97), 60);
    EXPECT_EQ(keyFrameInterval(0.3), 1);
    EXPECT_EQ(keyFrameInterval(25), 50);
    EXPECT_EQ(keyFrameInterval(2.5), 6);  // halves away from zero
    EXPECT_EQ(keyFrameInterval(std::numeric_limits<double>::infinity()), 1);
}

TEST(HapChunks, AutomaticByPixelCountAndCapped) {
    EXPECT_EQ(hapChunkCount(0, 1920, 1080), 1);
    EXPECT_EQ(hapChunkCount(0, 1920, 1094), 4);
    EXPECT_EQ(hapChunkCount(0, 3840, 2160), 4);
    EXPECT_EQ(hapChunkCount(0, 4096, 2160), 8);
    EXPECT_EQ(hapChunkCount(100, 64, 48), 64);
    EXPECT_EQ(hapChunkCount(3, 4096, 2160), 3);
}

// Codecs, rates and channels reach the files in TranscoderAudio and TranscoderFormats; here what
// no file check sees: the AAC bit rates and QuickTime's flag for the source's own layout.
TEST(AudioPlans, QuickTimeKeepsTheSourceAndMP4BecomesAAC) {
    using C = AudioPlan::Codec;
    EXPECT_EQ(audioPlan(OutputFormat::proRes422, 44100, 6), (AudioPlan{C::pcm24, 44100, 6, 0, true}));
    EXPECT_EQ(audioPlan(OutputFormat::h264, 44100, 6), (AudioPlan{C::aac, 44100, 2, 256'000, false}));
    EXPECT_EQ(audioPlan(OutputFormat::hevc, 96000, 1), (AudioPlan{C::aac, 48000, 1, 128'000, false}));
    EXPECT_EQ(audioPlan(OutputFormat::h264, 48000, 0), (AudioPlan{C::aac, 48000, 1, 128'000, false}));
    EXPECT_EQ(stereoAudioPlan(OutputFormat::h264), (AudioPlan{C::aac, 48000, 2, 256'000, false}));
    EXPECT_EQ(stereoAudioPlan(OutputFormat::hap), (AudioPlan{C::pcm16, 48000, 2, 0, false}));
    EXPECT_EQ(stereoAudioPlan(OutputFormat::proRes422), (AudioPlan{C::pcm24, 48000, 2, 0, false}));
}

TEST(OutputNaming, AppendsANumberUntilFree) {
    test::TempDir dir;
    auto out = outputURL(OutputFormat::hapQ, "/in/Clip 01.mov", dir.path());
    EXPECT_EQ(out, dir / "Clip 01_HapQ.mov");
    std::ofstream(out).put('x');
    EXPECT_EQ(outputURL(OutputFormat::hapQ, "/in/Clip 01.mov", dir.path()), dir / "Clip 01_HapQ 2.mov");
    std::ofstream(dir / "Clip 01_HapQ 2.mov").put('x');
    EXPECT_EQ(outputURL(OutputFormat::hapQ, "/in/Clip 01.mov", dir.path()), dir / "Clip 01_HapQ 3.mov");
    EXPECT_EQ(outputURL(OutputFormat::h264, "/in/Clip 01.mov", dir.path()), dir / "Clip 01_H264.mp4");
    // An image sequence is a folder without extension; an existing folder of that name is taken.
    std::filesystem::create_directory(dir / "Clip_PNG");
    EXPECT_EQ(outputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path()), dir / "Clip_PNG 2");
    EXPECT_EQ(outputURL(OutputFormat::hevcAlpha, "x/a.b.mp4", dir.path()), dir / "a.b_HEVCAlpha.mov");
}

TEST(OutputNaming, ReservedNamesAreTakenAtOnceAndGivenBack) {
    test::TempDir dir;
    // Reservations made side by side, as by runs in two processes, never share a name.
    std::vector<std::filesystem::path> names(8);
    std::vector<std::thread> threads;
    for (auto& name : names) threads.emplace_back([&] { name = reserveOutputURL(OutputFormat::hapQ, "/in/Clip.mov", dir.path()); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::filesystem::path>(names.begin(), names.end()).size(), names.size());
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "Clip_HapQ 8.mov"));

    releaseOutputURL(dir / "Clip_HapQ 2.mov");
    EXPECT_EQ(reserveOutputURL(OutputFormat::hapQ, "/in/Clip.mov", dir.path()), dir / "Clip_HapQ 2.mov");
    // A sequence's folder: given back while empty, kept once it holds frames.
    const auto folder = reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path()), dir / "Clip_PNG 2");
    releaseOutputURL(dir / "Clip_PNG 2");
    EXPECT_FALSE(std::filesystem::exists(dir / "Clip_PNG 2"));
    std::ofstream(folder / "Clip_PNG_000000.png").put('x');
    releaseOutputURL(folder);
    EXPECT_TRUE(std::filesystem::exists(folder / "Clip_PNG_000000.png"));

    try {
        reserveOutputURL(OutputFormat::hap, "/in/Clip.mov", dir / "missing");
        ADD_FAILURE() << "reserved in a missing folder";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e, ConversionError::writerFailed("Clip_Hap.mov (No such file or directory)"));
    }
}

}  // namespace
}  // namespace qm
