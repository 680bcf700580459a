// Arithmetic rules of a conversion run, checked against worked figures.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "engine/transcode_rules.h"
#include "platform/media/image_sequence_writer.h"
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
    namespace fs = std::filesystem;
    const auto visible = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (!entry.path().filename().string().starts_with(".")) names.insert(entry.path().filename());
        return names;
    };
    // Reservations made side by side, as by runs in two processes, never share a name, and none
    // puts anything under the name itself.
    std::vector<std::unique_ptr<PartialFile>> held(8);
    std::vector<std::thread> threads;
    for (auto& reservation : held)
        threads.emplace_back([&] { reservation = reserveOutputURL(OutputFormat::hapQ, "/in/Clip.mov", dir.path()); });
    for (auto& t : threads) t.join();
    std::set<fs::path> names;
    for (const auto& reservation : held) names.insert(reservation->target());
    EXPECT_EQ(names.size(), held.size());
    EXPECT_TRUE(visible().empty());

    // A name comes back when its run lets go of it; one a movie writer holds (its hidden movie) is
    // taken as well.
    held.clear();
    const auto first = reserveOutputURL(OutputFormat::hapQ, "/in/Clip.mov", dir.path());
    EXPECT_EQ(first->target(), dir / "Clip_HapQ.mov");
    EXPECT_EQ(reserveOutputURL(OutputFormat::hapQ, "/in/Clip.mov", dir.path())->target(), dir / "Clip_HapQ 2.mov");
    const PartialFile movie(dir / "Clip_Hap.mov");
    EXPECT_EQ(reserveOutputURL(OutputFormat::hap, "/in/Clip.mov", dir.path())->target(), dir / "Clip_Hap 2.mov");

    // A sequence's folder is made by its run, not by the reservation; one that holds frames is taken.
    const auto folder = reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path());
    EXPECT_EQ(folder->target(), dir / "Clip_PNG");
    EXPECT_FALSE(fs::exists(folder->target()));
    EXPECT_EQ(reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path())->target(), dir / "Clip_PNG 2");
    fs::create_directory(dir / "Clip_TIFF");
    std::ofstream(dir / "Clip_TIFF" / "Clip_TIFF_000000.tif").put('x');
    EXPECT_EQ(reserveOutputURL(OutputFormat::tiffSequence, "/in/Clip.mov", dir.path())->target(), dir / "Clip_TIFF 2");

    try {
        reserveOutputURL(OutputFormat::hap, "/in/Clip.mov", dir / "missing");
        ADD_FAILURE() << "reserved in a missing folder";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e, ConversionError::writerFailed("Clip_Hap.mov (No such file or directory)"));
    }
}

// Outputs their callers name: a sequence folder's whole name takes the number, dots and all, and
// a trailing separator is not part of it; a movie's number goes before its extension. An export's
// sequence takes a free name (its folder made when missing), a movie its given path.
TEST(OutputNaming, NamesCallersChooseGoOnLikeConvertsOwn) {
    test::TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir / "Show v1.2");
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, dir / "Show v1.2")->target(), dir / "Show v1.2 2");
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, (dir / "Show v1.2").string() + "/")->target(), dir / "Show v1.2 2");
    std::ofstream(dir / "Show.mov").put('x');
    EXPECT_EQ(reserveOutputName(OutputFormat::hap, dir / "Show.mov")->target(), dir / "Show 2.mov");

    ExportDestination sequence(OutputFormat::pngSequence, dir / "new" / "Show v1.2");
    EXPECT_EQ(sequence.path(), dir / "new" / "Show v1.2");
    EXPECT_TRUE(fs::is_directory(dir / "new"));
    EXPECT_EQ(ExportDestination(OutputFormat::pngSequence, dir / "new" / "Show v1.2").path(), dir / "new" / "Show v1.2 2");
    {
        const ExportDestination::ReleaseAtEnd release{sequence};
    }
    EXPECT_EQ(ExportDestination(OutputFormat::pngSequence, dir / "new" / "Show v1.2").path(), dir / "new" / "Show v1.2");
    EXPECT_EQ(ExportDestination(OutputFormat::hap, dir / "Show.mov").path(), dir / "Show.mov");
}

TEST(OutputNaming, WhatAKilledRunLeftIsSweptAndItsNameFree) {
    test::TempDir dir;
    namespace fs = std::filesystem;
    // Runs killed midway: a movie's and a sequence's reservation, the hidden movie, the sequence's
    // folder with one frame still hidden, and a sequence that had written a frame.
    test::runAndKill([&] {
        static auto movie = reserveOutputURL(OutputFormat::hap, "/in/Clip.mov", dir.path());
        static const PartialFile written(movie->target());
        static auto empty = reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path());
        fs::create_directory(empty->target());
        static const PartialFile frame(empty->target() / "Clip_PNG_000000.png");
        static auto framed = reserveOutputURL(OutputFormat::jpegSequence, "/in/Clip.mov", dir.path());
        fs::create_directory(framed->target());
        std::ofstream(framed->target() / "Clip_JPEG_000000.jpg").put('x');
    });
    EXPECT_EQ(reserveOutputURL(OutputFormat::hap, "/in/Clip.mov", dir.path())->target(), dir / "Clip_Hap.mov");
    EXPECT_EQ(reserveOutputURL(OutputFormat::pngSequence, "/in/Clip.mov", dir.path())->target(), dir / "Clip_PNG");
    EXPECT_EQ(reserveOutputURL(OutputFormat::jpegSequence, "/in/Clip.mov", dir.path())->target(), dir / "Clip_JPEG 2");
    std::set<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) left.insert(fs::relative(entry.path(), dir.path()));
    EXPECT_EQ(left, (std::set<std::string>{"Clip_JPEG", "Clip_JPEG/Clip_JPEG_000000.jpg"}));
}

// Makes the folder refuse changes, or take them again: read-only for a user, immutable for root
// (whom permissions do not stop). False where that cannot be had.
bool refuseChanges(const std::filesystem::path& folder, bool refuse) {
    ::chmod(folder.c_str(), refuse ? 0555 : 0755);
    const int fd = ::geteuid() == 0 ? ::open(folder.c_str(), O_RDONLY | O_DIRECTORY) : -1;
    if (fd < 0) return ::geteuid() != 0;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = refuse ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// Nothing hidden that a sequence run leaves outlives the next run for its name: not the hidden
// frames of a folder that turned unwritable midway (the run fails, and its reservation stays
// until a run can remove them), nor the marker of a run killed as its folder took its name.
TEST(OutputNaming, NoHiddenFileOfASequenceRunOutlivesTheNextRun) {
    test::TempDir dir;
    namespace fs = std::filesystem;
    const fs::path first = dir / "Clip_PNG", again = dir / "Clip_PNG 2";
    const PixelBufferRef picture = PixelBuffer::create(16, 16, kPixelFormatBGRA);
    const std::shared_ptr<void> undo(nullptr, [&](void*) { refuseChanges(first, false); });
    {
        const auto reservation = reserveOutputName(OutputFormat::pngSequence, first);
        ImageSequenceWriter writer(first);
        writer.write(0, "Clip_PNG_000000.png", *picture, {});
        writer.nameWaiting();
        writer.write(2, "Clip_PNG_000002.png", *picture, {});  // waits hidden for frame 1
        if (!refuseChanges(first, true)) GTEST_SKIP() << "the folder cannot be made to refuse changes here";
        EXPECT_THROW(writer.write(1, "Clip_PNG_000001.png", *picture, {}), MediaError);
    }
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, first)->target(), again);
    refuseChanges(first, false);
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, first)->target(), again);
    EXPECT_EQ(test::fileNames(first), std::vector<std::string>{"Clip_PNG_000000.png"});

    test::runAndKill([&] {
        static const auto reservation = reserveOutputName(OutputFormat::pngSequence, again);
        static const PartialFolder staged(again);
        test::writeFile(staged.path() / "Clip_PNG 2_000000.png", "frame");
        fs::rename(staged.path(), again);  // killed before the marker goes
    });
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, first)->target(), dir / "Clip_PNG 3");
    EXPECT_EQ(test::fileNames(again), std::vector<std::string>{"Clip_PNG 2_000000.png"});
    EXPECT_EQ(test::fileNames(dir.path()), (std::vector<std::string>{"Clip_PNG", "Clip_PNG 2"}));
}

}  // namespace
}  // namespace qm
