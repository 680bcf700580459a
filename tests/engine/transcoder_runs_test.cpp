// Conversion runs beyond the happy path: errors before anything is written, cancellation, empty
// and failing frame providers, rendered exports and what is left on disk afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <future>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/conversion_error.h"
#include "core/partial_file.h"
#include "engine/frame_batch.h"
#include "engine/frame_feeder.h"
#include "engine/output_naming.h"
#include "engine/render_feeder.h"
#include "engine/transcoder.h"
#include "support/damaged_media.h"
#include "support/test_support.h"
#include "support/variable_rate_media.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

ConversionSettings settingsFor(OutputFormat format) {
    ConversionSettings settings;
    settings.format = format;
    return settings;
}

MediaInfo syntheticInfo(int width, int height, double rate = 25) {
    MediaInfo info;
    info.width = width;
    info.height = height;
    info.frameRate = rate;
    info.naturalTimeScale = 600;
    info.decoder = SourceDecoder::native();
    return info;
}

template <typename F>
ConversionError errorOf(F&& f) {
    try {
        f();
    } catch (const ConversionError& e) {
        return e;
    }
    ADD_FAILURE() << "no ConversionError";
    return ConversionError::readerFailed("none");
}

TEST(TranscoderErrors, RefusedBeforeTheSourceIsOpened) {
    test::TempDir dir;
    const fs::path missing = dir / "missing.mov";
    auto notch = errorOf([&] { Transcoder(missing, dir / "o.mov", syntheticInfo(64, 48), settingsFor(OutputFormat::notchLC)).run({}); });
    EXPECT_EQ(notch.kind(), ConversionError::Kind::formatUnavailable);
    EXPECT_STREQ(notch.what(), "NotchLC isn't available in this version.");
    MediaInfo unsupported = syntheticInfo(64, 48);
    unsupported.decoder = SourceDecoder::unsupported(fourCC('a', 'b', 'c', 'd'));
    auto codec = errorOf([&] { Transcoder(missing, dir / "o.mov", unsupported, settingsFor(OutputFormat::hap)).run({}); });
    EXPECT_EQ(codec.kind(), ConversionError::Kind::unsupportedCodec);
    EXPECT_EQ(codec.payload(), codecName(fourCC('a', 'b', 'c', 'd')));
    // The rendered entry refuses the same formats.
    struct NoFrames : FrameBatchProvider {
        std::vector<FramePair> nextBatch(const FrameFolder&) override { return {}; }
        void finish() override {}
    } none;
    auto rendered = errorOf([&] { Transcoder({}, dir / "o.mov", syntheticInfo(64, 48), settingsFor(OutputFormat::notchLC)).runRendered(none); });
    EXPECT_EQ(rendered.kind(), ConversionError::Kind::formatUnavailable);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Tiny pictures: H.264 takes the smallest sizes at its lowest bit rate (6 x 6 at 25 fps would be
// 180 bit/s), HEVC with or without alpha starts at 16 x 16; below that the run is refused before
// the source is read, naming the format's minimum and the size, and leaves nothing. Pictures up to
// 48 wide once corrupted x265's heap (34 x 18 and 42 x 26 aborted): every frame must read back.
TEST(TranscoderSizes, TinyPicturesAreWrittenOrRefusedInWords) {
    test::TempDir dir;
    struct Case {
        int width, height;
        OutputFormat format;
        const char* refusal;  // null: written
    };
    const Case cases[] = {
        {7, 7, OutputFormat::h264, nullptr},
        {2, 2, OutputFormat::h264, nullptr},
        {16, 16, OutputFormat::hevc, nullptr},
        {16, 16, OutputFormat::hevcAlpha, nullptr},
        {34, 18, OutputFormat::hevc, nullptr},
        {42, 26, OutputFormat::hevc, nullptr},
        {34, 18, OutputFormat::hevcAlpha, nullptr},
        {42, 26, OutputFormat::hevcAlpha, nullptr},
        {2, 2, OutputFormat::hevc,
         "Encoding failed: HEVC / H.265 (MP4) needs pictures of at least 16 × 16 pixels; this output would be 2 × 2"},
        {15, 40, OutputFormat::hevcAlpha,
         "Encoding failed: HEVC with Alpha (MOV) needs pictures of at least 16 × 16 pixels; this output would be 14 × 40"},
    };
    for (const Case& c : cases) {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + "-" + std::string(rawValue(c.format));
        SCOPED_TRACE(name);
        if (c.format == OutputFormat::hevcAlpha && !isAvailable(c.format)) continue;
        const fs::path source = dir / ("source-" + name + ".mov");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + std::to_string(c.width) + "x" + std::to_string(c.height) + ":r=25:d=0.4",
                      "-c:v", "prores_ks", source.string()});
        const fs::path out = dir / (name + "." + std::string(fileExtension(c.format)));
        Transcoder transcoder(source, out, MediaInfo::load(source), settingsFor(c.format));
        if (c.refusal) {
            EXPECT_STREQ(errorOf([&] { transcoder.run({}); }).what(), c.refusal);
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        transcoder.run({});
        const auto video = test::streamOf(test::ffprobe(out), "video");
        EXPECT_EQ(video.value("width", 0), c.width & ~1);
        EXPECT_EQ(video.value("height", 0), c.height & ~1);
        EXPECT_EQ(test::countFrames(out), 10);
        EXPECT_TRUE(test::decodesCleanly(out));
        if (c.format == OutputFormat::hevcAlpha) {
            EXPECT_EQ(test::peerFrames({"-i", out.string()}, "alphaextract", "gray",
                                       size_t(c.width & ~1) * size_t(c.height & ~1)).size(), 10u);
        }
        // Our own reader takes every frame too.
        VideoReaderSettings decoded;
        decoded.pixelFormat = kPixelFormatBGRA;
        auto reader = VideoSampleReader::open(out, decoded);
        int read = 0;
        while (const auto sample = reader->next()) read += sample->pixels && sample->pixels->width() == (c.width & ~1);
        EXPECT_EQ(read, 10);
    }
    // The rendered entry refuses the same sizes.
    struct NoFrames : FrameBatchProvider {
        std::vector<FramePair> nextBatch(const FrameFolder&) override { return {}; }
        void finish() override {}
    } none;
    auto rendered = errorOf([&] { Transcoder({}, dir / "o.mp4", syntheticInfo(8, 8), settingsFor(OutputFormat::hevc)).runRendered(none); });
    EXPECT_EQ(rendered.kind(), ConversionError::Kind::encodeFailed);
}

TEST(TranscoderErrors, CompressedFrameWithoutDecoder) {
    Transcoder transcoder("/nonexistent.mov", "/nonexistent-out.mov", syntheticInfo(64, 48), settingsFor(OutputFormat::h264));
    transcoder.prepareCodecs();
    SourceFrame frame{RawFrame::compressed({1, 2, 3}), MediaTime::zero(), MediaTime::make(1, 25), 0};
    auto error = errorOf([&] { transcoder.processFrame(frame, std::nullopt); });
    EXPECT_EQ(error, ConversionError::decodeFailed("no decoder"));
}

TEST(TranscoderBatches, LowestIndexedFailureWins) {
    std::vector<SourceFrame> frames;
    for (int i = 0; i < 10; ++i)
        frames.push_back({RawFrame::compressed({}), MediaTime::make(i, 25), MediaTime::make(1, 25), i});
    std::atomic<int> calls{0};
    auto step = [&](const SourceFrame& f, const FrameFolder&) -> ProcessedFrame {
        ++calls;
        if (f.index == 3) throw ConversionError::encodeFailed("three");
        if (f.index == 7) throw ConversionError::encodeFailed("seven");
        return ProcessedFrame::written();
    };
    auto error = errorOf([&] { processBatch(frames, std::nullopt, step); });
    EXPECT_EQ(error, ConversionError::encodeFailed("three"));
    EXPECT_EQ(calls.load(), 10);
    auto pairs = processBatch(std::vector<SourceFrame>(frames.begin(), frames.begin() + 3), std::nullopt, step);
    ASSERT_EQ(pairs.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pairs[size_t(i)].first.index, i);

    // Frames started one by one as they are read behave the same, in order.
    ParallelBatch started(std::nullopt, step);
    for (const auto& frame : frames) started.add(frame);
    EXPECT_EQ(errorOf([&] { started.finish(); }), ConversionError::encodeFailed("three"));
    ParallelBatch good(std::nullopt, step);
    for (int i = 0; i < 3; ++i) good.add(frames[size_t(i)]);
    pairs = good.finish();
    ASSERT_EQ(pairs.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pairs[size_t(i)].first.index, i);
    // A batch abandoned half-way waits for its running steps before it goes.
    std::atomic<int> finished{0};
    {
        ParallelBatch abandoned(std::nullopt, [&](const SourceFrame&, const FrameFolder&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++finished;
            return ProcessedFrame::written();
        });
        for (int i = 0; i < 4; ++i) abandoned.add(frames[size_t(i)]);
    }
    EXPECT_EQ(finished.load(), 4);
}

// A generated H.264 source and a Hap transcoder ready for frames, read as decoded pictures.
struct PreparedHapRun {
    PreparedHapRun(int width, int height, double seconds)
        : source(test::makeH264Source(dir.path(), "src.mov", width, height, 48000, 0, seconds)),
          transcoder(source, dir / "out.mov", MediaInfo::load(source), settingsFor(OutputFormat::hap)) {
        transcoder.prepareCodecs();
        decoded.mode = VideoReaderSettings::Mode::decoded;
    }
    std::unique_ptr<VideoSampleReader> open() const { return VideoSampleReader::open(source, decoded); }

    test::TempDir dir;
    fs::path source;
    Transcoder transcoder;
    VideoReaderSettings decoded;
};

TEST(TranscoderBatches, FileFeederHandsOutEveryFrameOnceInOrderAndLetsGoOfTheSourcePictures) {
    // 2.5 batches of 4: the next batch's first frames are read while a batch finishes, yet every
    // frame arrives once, in order, in batches of at most 4, and only the results travel on.
    PreparedHapRun run(64, 48, 0.4);
    Transcoder& transcoder = run.transcoder;
    auto reader = run.open();
    std::vector<TranscodeProgress> reports;
    FrameFeeder feeder(transcoder, *reader, MediaTime::zero(), reader->track().timeRangeDuration,
                       [&](const TranscodeProgress& p) { reports.push_back(p); }, 4, MediaTime::make(1, 25));
    int64_t expected = 0;
    for (;;) {
        auto pairs = feeder.nextBatch(std::nullopt);
        if (pairs.empty()) break;
        EXPECT_LE(pairs.size(), 4u);
        for (const auto& [frame, result] : pairs) {
            EXPECT_EQ(frame.index, expected++);
            EXPECT_EQ(frame.raw.pixels, nullptr);
            EXPECT_EQ(result.kind, ProcessedFrame::Kind::encoded);
        }
    }
    EXPECT_EQ(expected, 10);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_DOUBLE_EQ(reports[0].fraction, 0.4);
    EXPECT_DOUBLE_EQ(reports[2].fraction, 1.0);
}

// Takes every batch like the movie writer: it holds one batch, letting its frames go one by one,
// while the next batch is read. Returns the frames taken, checking they come once and in order.
int64_t takeLikeTheWriter(FrameBatchProvider& feeder) {
    int64_t expected = 0;
    std::deque<FramePair> pending;
    auto ahead = std::async(std::launch::async, [&] { return feeder.nextBatch(std::nullopt); });
    for (;;) {
        auto batch = ahead.get();
        if (batch.empty()) return expected;
        for (auto& pair : batch) pending.push_back(std::move(pair));
        ahead = std::async(std::launch::async, [&] { return feeder.nextBatch(std::nullopt); });
        while (!pending.empty()) {
            EXPECT_EQ(pending.front().first.index, expected++);
            pending.pop_front();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the encoder at work
        }
    }
}

TEST(TranscoderBatches, FramesInFlightStayWithinTheirBytesAndAllComeBack) {
    // Whatever the bound, even below one frame, every frame arrives once and in order, the frames
    // never hold more than the bound plus the one frame read last, and once the writer has let go
    // of them nothing is charged any more. Read frames and drawn frames alike.
    PreparedHapRun run(320, 240, 1.6);
    Transcoder& transcoder = run.transcoder;
    const int64_t frameBytes = transcoder.stepBytes(RawFrame::decoded(run.open()->next()->pixels));
    ASSERT_GT(frameBytes, 320 * 240 * 4);
    auto drawn = makePixelBufferPool(320, 240, kPixelFormatBGRA);
    const int64_t drawnBytes = transcoder.stepBytes(RawFrame::decoded(makePixelBuffer(drawn)));
    for (const int64_t bound : {frameBytes / 2, 3 * frameBytes, 100 * frameBytes}) {
        SCOPED_TRACE(bound);
        auto reader = run.open();
        FrameFeeder read(transcoder, *reader, MediaTime::zero(), reader->track().timeRangeDuration, {}, 8,
                         MediaTime::make(1, 25), bound);
        EXPECT_EQ(takeLikeTheWriter(read), 40);
        EXPECT_LE(read.budget().peak(), bound + frameBytes);
        EXPECT_EQ(read.budget().used(), 0);
        RenderFeeder rendered(transcoder, {}, drawn, {}, MediaTime::make(1, 25), 30, 8, bound);
        EXPECT_EQ(takeLikeTheWriter(rendered), 30);
        EXPECT_LE(rendered.budget().peak(), bound + drawnBytes);
        EXPECT_EQ(rendered.budget().used(), 0);
    }
}

class TranscoderCancellation : public ::testing::Test {
protected:
    void SetUp() override { source_ = test::makeH264Source(dir_.path(), "long.mov", 64, 48, 48000, 2, 4.0); }
    test::TempDir dir_;
    fs::path source_;
};

TEST_F(TranscoderCancellation, BeforeTheStartWritesNothing) {
    const fs::path out = dir_ / "out.mp4";
    Transcoder transcoder(source_, out, MediaInfo::load(source_), settingsFor(OutputFormat::h264));
    transcoder.cancellation().set();
    EXPECT_EQ(errorOf([&] { transcoder.run({}); }).kind(), ConversionError::Kind::cancelled);
    EXPECT_FALSE(fs::exists(out));
}

// Names in a folder, hidden ones apart.
std::pair<std::vector<std::string>, std::vector<std::string>> visibleAndHidden(const fs::path& folder) {
    std::pair<std::vector<std::string>, std::vector<std::string>> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        (name.starts_with(".") ? names.second : names.first).push_back(name);
    }
    std::sort(names.first.begin(), names.first.end());
    return names;
}

TEST_F(TranscoderCancellation, ImageSequenceKeepsTheFramesWrittenSoFar) {
    // Frames go straight into the folder, each under a hidden name until complete: a cancelled run
    // keeps the complete ones and leaves nothing hidden. A frame of an earlier run with the same
    // name is replaced, the hidden frame a killed run left is swept, a live run's is not; so is
    // the hidden folder of a run killed before its first frame was complete.
    const fs::path out = dir_ / "frames";
    fs::create_directories(out);
    test::writeFile(out / "frames_000000.jpg", "old");
    test::writeFile(out / "notes.txt", "mine");
    test::runAndKill([&] {
        static const PartialFile dead(out / "frames_000007.jpg");
        static const PartialFolder deadFolder(out);
    });
    const PartialFile live(out / "frames_000099.jpg");
    Transcoder transcoder(source_, out, MediaInfo::load(source_), settingsFor(OutputFormat::jpegSequence));
    auto error = errorOf([&] { transcoder.run([&](const TranscodeProgress&) { transcoder.cancellation().set(); }); });
    EXPECT_EQ(error.kind(), ConversionError::Kind::cancelled);
    const auto [visible, hidden] = visibleAndHidden(out);
    ASSERT_GE(visible.size(), 2u);
    EXPECT_EQ(visible.back(), "notes.txt");
    for (size_t i = 0; i + 1 < visible.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "frames_%06zu.jpg", i);
        EXPECT_EQ(visible[i], name);
        const std::string bytes = test::readFile(out / visible[i]);
        EXPECT_TRUE(bytes.starts_with("\xff\xd8") && bytes.ends_with("\xff\xd9")) << visible[i] << " is not a whole JPEG";
    }
    EXPECT_EQ(hidden, std::vector<std::string>{live.path().filename()});
    EXPECT_TRUE(visibleAndHidden(dir_.path()).second.empty());
}

TEST(TranscoderErrors, ASequenceOnAFullDiskSaysWhyAndLeavesNothing) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.4);
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    disk.fill();
    for (const OutputFormat format : {OutputFormat::jpegSequence, OutputFormat::pngSequence}) {
        const std::string extension(fileExtension(format));
        auto error = errorOf([&] { Transcoder(source, disk / "S", MediaInfo::load(source), settingsFor(format)).run({}); });
        EXPECT_EQ(error.kind(), ConversionError::Kind::writerFailed);
        EXPECT_TRUE(std::string(error.what()).starts_with("Writing failed: S_0000")) << error.what();
        EXPECT_TRUE(std::string(error.what()).ends_with("." + extension + " (No space left on device)")) << error.what();
        EXPECT_EQ(visibleAndHidden(disk.path()), (std::pair<std::vector<std::string>, std::vector<std::string>>{{}, {".filler"}}));
    }
}

// A movie that meets a full disk names itself and says why, as a sequence's frame does, whatever
// step of the writer met it; nothing of it stays.
TEST(TranscoderErrors, AMovieOnAFullDiskNamesItselfAndSaysWhy) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.4);
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    disk.fill();
    for (const OutputFormat format : {OutputFormat::proRes422, OutputFormat::hap}) {
        auto error = errorOf([&] { Transcoder(source, disk / "Show.mov", MediaInfo::load(source), settingsFor(format)).run({}); });
        EXPECT_EQ(error.kind(), ConversionError::Kind::writerFailed);
        EXPECT_STREQ(error.what(), "Writing failed: Show.mov (No space left on device)");
        EXPECT_EQ(visibleAndHidden(disk.path()), (std::pair<std::vector<std::string>, std::vector<std::string>>{{}, {".filler"}}));
    }
}

// Frames are written in parallel, so on a full disk frames after the one that failed may land.
// A run keeps only the unbroken run from the first frame, and when that frame failed no folder:
// neither the sequence's nor one made for it. A noisy picture's PNG takes hundreds of times a flat
// one's: the noisy frame never fits, the flat ones do.
TEST(TranscoderErrors, AFullDiskKeepsOnlyTheUnbrokenRunOfFramesFromTheFirst) {
    test::TempDir dir;
    const fs::path source = dir / "noisy.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "color=gray:s=320x240:r=25:d=0.8,noise=alls=100:allf=u:enable='eq(n\\,1)'",
                  "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p", source.string()});
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    disk.fill(128 * 1024);

    auto error = errorOf([&] { Transcoder(source, disk / "S", MediaInfo::load(source), settingsFor(OutputFormat::pngSequence)).run({}); });
    EXPECT_TRUE(std::string(error.what()).ends_with(" (No space left on device)")) << error.what();
    // The first frame too fails when it meets the disk full for the moment the noisy one fills it.
    const auto kept = fs::exists(disk / "S") ? test::fileNames(disk / "S") : std::vector<std::string>{};
    EXPECT_LE(kept.size(), 1u);
    EXPECT_EQ(kept, test::sequenceFrameNames(disk / "S", int(kept.size()), "png"));
    std::vector<std::string> onDisk{".filler"};
    if (!kept.empty()) onDisk.push_back("S");
    EXPECT_EQ(test::fileNames(disk.path()), onDisk);
    fs::remove_all(disk / "S");

    // Drawn frames, the noisy one first, into a folder made for the export.
    ExportDestination destination(OutputFormat::pngSequence, disk / "new" / "S");
    Transcoder transcoder({}, destination.path(), syntheticInfo(320, 240), settingsFor(OutputFormat::pngSequence));
    RenderFeeder feeder(
        transcoder,
        [](double seconds, PixelBuffer& into) {
            uint32_t noise = 1;
            for (int y = 0; y < into.height(); ++y)
                for (int x = 0; x < into.width() * 4; ++x)
                    into.data()[y * into.bytesPerRow() + x] = seconds > 0 ? 128 : (noise = noise * 1664525 + 1013904223) >> 24;
        },
        makePixelBufferPool(320, 240, kPixelFormatBGRA), {}, MediaTime::make(1, 25), 20, 8);
    error = errorOf([&] {
        const ExportDestination::ReleaseAtEnd release{destination};
        transcoder.runRendered(feeder);
    });
    EXPECT_TRUE(std::string(error.what()).starts_with("Writing failed: S_000000.png")) << error.what();
    EXPECT_EQ(test::fileNames(disk.path()), std::vector<std::string>{".filler"});
}

// A movie with its index first, cut right after a video sample as an interrupted download or copy
// leaves it: the run fails naming the first frame the file lacks, which with B-frames comes before
// frames it holds. A movie leaves nothing; a sequence keeps every frame before that one, each the
// picture of its time. H.264 with sound (decoded) and Hap (read as stored).
TEST(TranscoderErrors, ASourceCutShortFailsAtTheFirstFrameItLacks) {
    const std::string marked = "testsrc2=s=64x48:r=30:d=2,geq=lum='if(lt(X\\,32)*lt(Y\\,32)\\,16+3*N\\,lum(X\\,Y))':cb=128:cr=128";
    const struct {
        const char* name;
        std::vector<std::string> codec;
    } sources[] = {
        {"h264.mp4", {"-f", "lavfi", "-i", "sine=d=2", "-c:v", "libx264", "-bf", "3", "-g", "30", "-c:a", "aac"}},
        {"hap.mov", {"-c:v", "hap"}},
    };
    for (const auto& source : sources) {
        test::TempDir dir;
        const fs::path whole = dir / source.name;
        std::vector<std::string> args = {"-f", "lavfi", "-i", marked};
        args.insert(args.end(), source.codec.begin(), source.codec.end());
        args.insert(args.end(), {"-movflags", "+faststart", whole.string()});
        test::ffmpeg(args);
        const auto spans = test::videoSampleSpans(whole);
        ASSERT_EQ(spans.size(), 60u);
        // The frame each stored sample shows, in the order stored.
        std::vector<int> shows;
        std::istringstream times(test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                            "packet=pts_time", "-of", "csv=p=0", whole.string()}).output);
        for (double t; times >> t;) shows.push_back(int(std::lround(t * 30)));
        ASSERT_EQ(shows.size(), 60u);
        const std::string bytes = test::readFile(whole);
        for (const size_t kept : {15u, 30u}) {
            const fs::path cut = dir / ("cut_" + std::to_string(kept) + fs::path(source.name).extension().string());
            test::writeFile(cut, bytes.substr(0, spans[kept - 1].first + spans[kept - 1].second));
            const int lacking = *std::min_element(shows.begin() + long(kept), shows.end());
            for (OutputFormat format : {OutputFormat::pngSequence, OutputFormat::h264, OutputFormat::hap}) {
                SCOPED_TRACE(std::string(source.name) + " cut after " + std::to_string(kept) + " to " + std::string(rawValue(format)));
                const fs::path folder = dir / ("out_" + std::to_string(kept) + std::string(rawValue(format)));
                fs::create_directories(folder);
                const fs::path out = format == OutputFormat::pngSequence ? folder / "frames" : folder / ("cut." + std::string(fileExtension(format)));
                const ConversionError error =
                    errorOf([&] { Transcoder(cut, out, MediaInfo::load(cut), settingsFor(format)).run({}); });
                EXPECT_EQ(error.kind(), ConversionError::Kind::readerFailed);
                EXPECT_EQ(error.payload(), "read sample (the file is cut short before frame " + std::to_string(lacking) + ")");
                if (format != OutputFormat::pngSequence) {
                    EXPECT_TRUE(fs::is_empty(folder));
                    continue;
                }
                const std::string frames = test::run({"ffmpeg", "-v", "error", "-i", (out / "frames_%06d.png").string(), "-f",
                                                      "rawvideo", "-pix_fmt", "bgra", "-"}).output;
                const size_t frameBytes = 64 * 48 * 4;
                ASSERT_EQ(frames.size(), size_t(lacking) * frameBytes);
                for (int i = 0; i < lacking; ++i)
                    EXPECT_EQ(test::markerOf(reinterpret_cast<const uint8_t*>(frames.data()) + size_t(i) * frameBytes, 64 * 4), i)
                        << "frame " << i;
            }
        }
    }
}

TEST(TranscoderDestination, ASequenceFolderGivenWithATrailingSeparatorGetsItsFrames) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.2);
    Transcoder(source, (dir / "S").string() + "/", MediaInfo::load(source), settingsFor(OutputFormat::pngSequence)).run({});
    EXPECT_EQ(visibleAndHidden(dir / "S").first.size(), 5u);
    EXPECT_TRUE(visibleAndHidden(dir.path()).second.empty());
}

// A folder that came under a sequence's name after its run was given the name is someone else's:
// the run fails rather than mix its frames with what is there.
TEST(TranscoderDestination, ASequenceFolderThatCameMeanwhileIsNotWrittenInto) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.2);
    Transcoder transcoder(source, dir / "S", MediaInfo::load(source), settingsFor(OutputFormat::pngSequence));
    fs::create_directories(dir / "S");
    test::writeFile(dir / "S" / "notes.txt", "mine");
    EXPECT_EQ(errorOf([&] { transcoder.run({}); }).kind(), ConversionError::Kind::writerFailed);
    EXPECT_EQ(test::fileNames(dir / "S"), std::vector<std::string>{"notes.txt"});
}

TEST(TranscoderDestination, ExistingFileIsReplacedButAFolderIsNeverRemoved) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.2);
    const fs::path file = dir / "out.mov";
    test::writeFile(file, "old contents");
    Transcoder(source, file, MediaInfo::load(source), settingsFor(OutputFormat::hap)).run({});
    EXPECT_EQ(test::countFrames(file), 5);

    const fs::path folder = dir / "taken.mov";
    fs::create_directories(folder / "inner");
    test::writeFile(folder / "inner" / "keep.txt", "keep");
    auto error = errorOf([&] { Transcoder(source, folder, MediaInfo::load(source), settingsFor(OutputFormat::hap)).run({}); });
    EXPECT_EQ(error.kind(), ConversionError::Kind::writerFailed);
    EXPECT_EQ(test::readFile(folder / "inner" / "keep.txt"), "keep");
}

// An audio encoder that will not open (AAC has no 4 kHz rate) fails the run with the library's
// text instead of writing a movie without sound.
TEST(TranscoderErrors, AudioEncoderThatCannotOpenFailsTheRun) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "low.mov", 64, 48, 4000, 1, 0.2);
    const fs::path out = dir / "low.mp4";
    auto error = errorOf([&] { Transcoder(source, out, MediaInfo::load(source), settingsFor(OutputFormat::h264)).run({}); });
    EXPECT_EQ(error, ConversionError::writerFailed("audio input (Invalid argument)"));
    EXPECT_FALSE(fs::exists(out));
    // QuickTime takes the same audio as PCM.
    Transcoder(source, dir / "low.mov.mov", MediaInfo::load(source), settingsFor(OutputFormat::proRes422Proxy)).run({});
    EXPECT_EQ(test::streamOf(test::ffprobe(dir / "low.mov.mov"), "audio").value("sample_rate", ""), "4000");
}

// A provider that hands out nothing, or a fixed number of frames drawn in one colour.
struct EmptyProvider : FrameBatchProvider {
    std::vector<FramePair> nextBatch(const FrameFolder&) override { return {}; }
    void finish() override { finished = true; }
    bool finished = false;
};

TEST(TranscoderRendered, NoFramesIsAFailureThatLeavesNothing) {
    test::TempDir dir;
    for (OutputFormat format : {OutputFormat::hap, OutputFormat::h264, OutputFormat::pngSequence}) {
        SCOPED_TRACE(std::string(rawValue(format)));
        const fs::path out = dir / (std::string(rawValue(format)) + (isImageSequence(format) ? "" : ".mov"));
        EmptyProvider empty;
        auto error = errorOf([&] { Transcoder({}, out, syntheticInfo(64, 48), settingsFor(format)).runRendered(empty); });
        EXPECT_EQ(error.kind(), ConversionError::Kind::writerFailed);
        EXPECT_FALSE(empty.finished);
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(TranscoderRendered, RenderFeederBatchesProgressAndTimes) {
    test::TempDir dir;
    Transcoder transcoder({}, dir / "roll.mp4", syntheticInfo(64, 48), settingsFor(OutputFormat::h264));
    std::vector<double> renderTimes;
    std::vector<TranscodeProgress> reports;
    std::mutex lock;
    RenderFeeder feeder(
        transcoder,
        [&](double seconds, PixelBuffer& into) {
            renderTimes.push_back(seconds);
            for (int y = 0; y < into.height(); ++y)
                std::fill_n(into.data() + y * into.bytesPerRow(), into.width() * 4, uint8_t(20 + 20 * renderTimes.size()));
        },
        makePixelBufferPool(64, 48, kPixelFormatBGRA),
        [&](const TranscodeProgress& p) {
            std::lock_guard guard(lock);
            reports.push_back(p);
        },
        MediaTime::make(1, 25), 10, 4);
    const fs::path wav = dir / "mix.wav";
    test::ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.4:sample_rate=44100", "-ac", "2", wav.string()});
    AudioReaderSource mix(AudioSampleReader::open(wav, Transcoder::stereoAudioSettings(OutputFormat::h264).first));
    transcoder.runRendered(feeder, &mix);
    ASSERT_EQ(renderTimes.size(), 10u);
    for (size_t i = 0; i < renderTimes.size(); ++i) EXPECT_NEAR(renderTimes[i], 0.04 * double(i), 1e-9);
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_DOUBLE_EQ(reports[0].fraction, 0.4);
    EXPECT_DOUBLE_EQ(reports[1].fraction, 0.8);
    EXPECT_DOUBLE_EQ(reports[2].fraction, 1.0);
    EXPECT_DOUBLE_EQ(reports[3].fraction, 1.0);  // finish()
    const auto probe = test::ffprobe(dir / "roll.mp4");
    EXPECT_EQ(test::countFrames(dir / "roll.mp4"), 10);
    const auto audio = test::streamOf(probe, "audio");
    EXPECT_EQ(audio.value("codec_name", ""), "aac");
    EXPECT_EQ(audio.value("sample_rate", ""), "48000");
    EXPECT_EQ(audio.value("channels", 0), 2);
    // The drawn film is over: a further call returns nothing, or reports a stop that came since.
    EXPECT_TRUE(feeder.nextBatch(std::nullopt).empty());
    transcoder.cancellation().set();
    EXPECT_EQ(errorOf([&] { feeder.nextBatch(std::nullopt); }).kind(), ConversionError::Kind::cancelled);
}

TEST(TranscoderSources, DXVSourceDecodesThroughOurDecoder) {
    test::TempDir dir;
    const auto source = test::makeH264Source(dir.path(), "src.mov", 64, 48, 48000, 0, 0.2);
    const fs::path dxv = dir / "dxv.mov";
    Transcoder(source, dxv, MediaInfo::load(source), settingsFor(OutputFormat::dxv3)).run({});
    const MediaInfo info = MediaInfo::load(dxv);
    ASSERT_EQ(info.decoder.kind, SourceDecoder::Kind::dxv);
    const fs::path out = dir / "frames";
    Transcoder(dxv, out, info, settingsFor(OutputFormat::pngSequence)).run({});
    // Our decode of our DXV3 frames matches ffmpeg's decode of the same movie.
    test::ffmpeg({"-i", (out / "frames_%06d.png").string(), "-c:v", "png", (dir / "ours.mov").string()});
    EXPECT_EQ(test::countFrames(dir / "ours.mov"), 5);
    EXPECT_GT(test::psnr(dir / "ours.mov", dxv, dir.path()), 45.0);
}

// Presentation times of the video frames as ffprobe reads them, in seconds.
std::vector<double> frameTimes(const fs::path& file) {
    auto result = test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                             "-of", "csv=p=0", file.string()});
    std::vector<double> times;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::atof(line.c_str()));
    return times;
}

TEST(TranscoderTiming, BFramesGapsAndALateStartKeepTheirTimes) {
    test::TempDir dir;
    // Reordered frames, a 0.1 s gap after frame 10 and a track that starts at 0.5 s.
    const fs::path source = dir / "vfr.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.8", "-vf",
                  "setpts='N/25/TB+if(gte(N\\,10)\\,0.1/TB\\,0)'", "-vsync", "vfr", "-c:v", "libx264", "-bf", "2",
                  "-g", "12", "-output_ts_offset", "0.5", source.string()});
    const auto sourceTimes = frameTimes(source);
    ASSERT_EQ(sourceTimes.size(), 20u);
    ASSERT_NEAR(sourceTimes.front(), 0.5, 1e-6);
    for (OutputFormat format : {OutputFormat::hap, OutputFormat::proRes422Proxy, OutputFormat::h264}) {
        SCOPED_TRACE(std::string(rawValue(format)));
        const fs::path out = dir / (std::string(rawValue(format)) + "." + std::string(fileExtension(format)));
        Transcoder(source, out, MediaInfo::load(source), settingsFor(format)).run({});
        const auto times = frameTimes(out);
        ASSERT_EQ(times.size(), sourceTimes.size());
        for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], sourceTimes[i] - 0.5, 1e-3) << i;
    }
}

// x264's intra refresh with B-frames muxed by mkvmerge carries decoding stamps from its first
// recovery point on, and ffmpeg's remux of the raw stream throughout: the decoder's guess of their
// pictures' times ran back and forth, and Hap movies showed pictures 1 ms apart and others held
// 80 ms or more. Every picture comes 40 ms after the one before, as the stamps are spaced.
TEST(TranscoderTiming, DecodingStampsOfARawStreamRemuxedComeOutEvenly) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=25:d=4", "-pix_fmt", "yuv420p", (dir / "source.y4m").string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--intra-refresh", "--keyint", "30", "-o", (dir / "refresh.264").string(),
                         (dir / "source.y4m").string()}).exitCode, 0) << "the x264 command line (x264)";
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "refresh.mkv").string(), (dir / "refresh.264").string()}).exitCode, 0)
        << "mkvmerge (mkvtoolnix)";
    test::ffmpeg({"-r", "25", "-i", (dir / "refresh.264").string(), "-c", "copy", (dir / "refresh.mp4").string()});
    for (const std::string name : {"refresh.mkv", "refresh.mp4"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir / (name + ".mov");
        Transcoder(dir / name, out, MediaInfo::load(dir / name), settingsFor(OutputFormat::hap)).run({});
        const auto times = frameTimes(out);
        // The MP4's edit list leaves out its first two samples.
        EXPECT_EQ(times.size(), name == "refresh.mkv" ? 100u : 98u);
        for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.04, 1e-3) << "picture " << i;
    }
}

// A last frame after a long gap lasts as long as the source says (0.04 s), not as long as the gap
// before it: four frames at 0, 1, 2 and 3 hours make a movie of 3 hours and 0.04 s.
TEST(TranscoderTiming, TheLastFrameAfterALongGapKeepsItsOwnDuration) {
    test::TempDir dir;
    const fs::path source = dir / "gaps.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.16", "-vf", "setpts=N*3600/TB", "-vsync",
                  "passthrough", "-c:v", "prores_ks", source.string()});
    ASSERT_EQ(frameTimes(source), (std::vector<double>{0, 3600, 7200, 10800}));
    ASSERT_NEAR(std::atof(test::ffprobe(source)["format"].value("duration", "0").c_str()), 10800.04, 1e-3);
    for (OutputFormat format : {OutputFormat::h264, OutputFormat::proRes422Proxy}) {
        SCOPED_TRACE(std::string(rawValue(format)));
        const fs::path out = dir / ("gaps." + std::string(fileExtension(format)));
        Transcoder(source, out, MediaInfo::load(source), settingsFor(format)).run({});
        EXPECT_EQ(frameTimes(out), (std::vector<double>{0, 3600, 7200, 10800}));
        EXPECT_NEAR(std::atof(test::ffprobe(out)["format"].value("duration", "0").c_str()), 10800.04, 1e-3);
    }
}

}  // namespace
}  // namespace qm
