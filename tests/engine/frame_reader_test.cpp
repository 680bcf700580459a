// The frame reader hands out the frame nearest to the requested time: the one ffmpeg selects as
// index round(t x rate), read forwards without reopening and reopened on jumps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "core/conversion_error.h"
#include "engine/media_frame_reader.h"
#include "engine/pixel_transfer.h"
#include "platform/media/media_error.h"
#include "support/damaged_media.h"
#include "support/test_support.h"
#include "support/variable_rate_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// ffmpeg's picture of frame `index` as BGRA bytes, rows packed.
std::string referenceFrame(const fs::path& file, int index) {
    test::TempDir dir;
    const auto raw = dir / "frame.bgra";
    test::ffmpeg({"-i", file.string(), "-vf", "select=eq(n\\," + std::to_string(index) + ")", "-vsync", "0",
                  "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", raw.string()});
    return test::readFile(raw);
}

std::string packed(const PixelBuffer& buffer) {
    std::string bytes;
    for (int y = 0; y < buffer.height(); ++y)
        bytes.append(reinterpret_cast<const char*>(buffer.data() + size_t(y) * buffer.bytesPerRow()),
                     size_t(buffer.width()) * 4);
    return bytes;
}

// Largest difference of any byte.
int maxDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i]))));
    return worst;
}

class FrameReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir();
        // Lossless RGB pictures, every one different (blue is the frame number), so the platform
        // decode and ffmpeg's agree byte for byte and a picture tells its index.
        source_ = dir_->path() / "clip.mov";
        test::ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x48:r=25:d=4,format=rgb24,geq=r='mod(N*3+X\\,256)':g='mod(N*5+Y\\,256)':b='N'",
                      "-c:v", "png", source_.string()});
    }
    static void TearDownTestSuite() {
        delete dir_;
        frames_.clear();
    }
    // `index` when the buffer equals ffmpeg's frame of that index, else the frame number the
    // picture carries in its blue channel (or -1 without a picture), for a readable failure.
    static int indexOf(const PixelBufferRef& buffer, int index) {
        if (!buffer) return -1;
        auto cached = frames_.find(index);
        if (cached == frames_.end()) cached = frames_.emplace(index, referenceFrame(source_, index)).first;
        if (packed(*buffer) == cached->second) return index;
        return buffer->data()[0];
    }
    static test::TempDir* dir_;
    static fs::path source_;
    static std::map<int, std::string> frames_;
};

test::TempDir* FrameReader::dir_ = nullptr;
fs::path FrameReader::source_;
std::map<int, std::string> FrameReader::frames_;

TEST_F(FrameReader, ForwardStepsReadOnInOneOpening) {
    MediaFrameReader reader(source_, MediaInfo::load(source_));
    EXPECT_EQ(indexOf(reader.frame(0.0), 0), 0);
    EXPECT_EQ(indexOf(reader.frame(0.04), 1), 1);
    EXPECT_EQ(indexOf(reader.frame(0.08), 2), 2);
    EXPECT_EQ(indexOf(reader.frame(0.17), 4), 4);   // round(4.25)
    EXPECT_EQ(indexOf(reader.frame(0.23), 6), 6);   // round(5.75)
    EXPECT_EQ(indexOf(reader.frame(2.1), 53), 53);   // 1.87 s ahead: read forwards
    EXPECT_EQ(reader.openCount(), 1);
    EXPECT_EQ(indexOf(reader.frame(2.1), 53), 53);   // same time again: same frame
    EXPECT_EQ(reader.openCount(), 1);
}

TEST_F(FrameReader, PastTheEndKeepsTheLastFrameThenFindsNothing) {
    MediaFrameReader reader(source_, MediaInfo::load(source_));
    EXPECT_EQ(indexOf(reader.frame(3.96), 99), 99);
    EXPECT_EQ(indexOf(reader.frame(4.5), 99), 99);
    EXPECT_EQ(indexOf(reader.frame(5.9), 99), 99);
    EXPECT_EQ(reader.openCount(), 1);
    EXPECT_EQ(reader.frame(9.0), nullptr);  // reopened past the end: no frame
    EXPECT_EQ(reader.openCount(), 2);
}

TEST_F(FrameReader, LateFirstSampleIsShownForEarlierTimes) {
    // The track starts 0.5 s into the movie; times are relative to the track's start.
    const fs::path late = dir_->path() / "late.mov";
    test::ffmpeg({"-i", source_.string(), "-c", "copy", "-output_ts_offset", "0.5", late.string()});
    MediaFrameReader reader(late, MediaInfo::load(late));
    EXPECT_EQ(indexOf(reader.frame(0.0), 0), 0);
    EXPECT_EQ(indexOf(reader.frame(0.41), 10), 10);
}

TEST(FrameReaderCodecs, HapSourceDecodesToBGRAOfTheProbedSize) {
    test::TempDir dir;
    const fs::path hap = dir / "hap.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.4", "-c:v", "hap", hap.string()});
    MediaFrameReader reader(hap, MediaInfo::load(hap));
    auto buffer = reader.frame(0.2);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->pixelFormat(), kPixelFormatBGRA);
    EXPECT_EQ(buffer->width(), 64);
    EXPECT_EQ(buffer->height(), 48);
    // Block decoding is exact arithmetic; allow one step for rounding of the interpolated colours.
    EXPECT_LE(maxDifference(packed(*buffer), referenceFrame(hap, 5)), 1);
    EXPECT_EQ(reader.frame(0.2, 32, 24), buffer);  // our own decoders do not scale
}

TEST(FrameReaderCodecs, PicturesWithAlphaAreNotScaled) {
    // Scaled as straight colour, the transparent pixels' colour would bleed into every edge.
    test::TempDir dir;
    const fs::path rgba = dir / "alpha.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.2,format=rgba", "-c:v", "png", rgba.string()});
    MediaFrameReader reader(rgba, MediaInfo::load(rgba));
    const PixelBufferRef buffer = reader.frame(0.0, 32, 24);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->width(), 64);
    EXPECT_EQ(buffer->height(), 48);
    EXPECT_EQ(reader.frame(0.0, 32, 24), buffer);  // kept, not converted again
}

TEST(FrameReaderCodecs, ScaledPicturesAreFfmpegsScalesOfEveryFrame) {
    // At its own size and smaller, down to a quarter, every picture is ffmpeg's bicubic scale
    // filter's with exact rounding and full chroma. Mixing sizes on one frame neither reopens nor
    // changes the picture at the frame's own size.
    test::TempDir dir;
    const fs::path h264 = dir / "scaled.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=192x108:r=25:d=0.4", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                  "-colorspace", "bt709", h264.string()});
    struct Case {
        int width, height;
        const char* flags;
    };
    for (const Case& c : {Case{192, 108, "bicubic"}, Case{128, 72, "bicubic"}, Case{48, 27, "bicubic"}}) {
        const fs::path raw = dir / "frames.bgra";
        test::ffmpeg({"-i", h264.string(), "-vf",
                      "scale=" + std::to_string(c.width) + ":" + std::to_string(c.height) + ":flags=" + c.flags +
                          "+accurate_rnd+full_chroma_int:in_color_matrix=bt709",
                      "-f", "rawvideo", "-pix_fmt", "bgra", raw.string()});
        const std::string all = test::readFile(raw);
        const size_t bytes = size_t(c.width * c.height * 4);
        ASSERT_EQ(all.size(), bytes * 10);
        MediaFrameReader reader(h264, MediaInfo::load(h264)), plain(h264, MediaInfo::load(h264));
        for (int i = 0; i < 10; ++i) {
            const PixelBufferRef scaled = reader.frame(i / 25.0, c.width, c.height);
            ASSERT_NE(scaled, nullptr);
            ASSERT_EQ(scaled->width(), c.width);
            ASSERT_EQ(scaled->height(), c.height);
            EXPECT_LE(maxDifference(packed(*scaled), all.substr(size_t(i) * bytes, bytes)), 1) << c.flags << " frame " << i;
            EXPECT_TRUE(packed(*reader.frame(i / 25.0)) == packed(*plain.frame(i / 25.0))) << "frame " << i;
            EXPECT_EQ(reader.frame(i / 25.0, c.width, c.height), scaled);
        }
        EXPECT_EQ(reader.openCount(), 1);
        // Convert's pixel transfer scales the decoded picture to the very same bytes.
        auto source = VideoSampleReader::open(h264, {})->next();
        ASSERT_TRUE(source && source->pixels);
        auto transferred = PixelBuffer::create(c.width, c.height, kPixelFormatBGRA);
        PixelTransfer().transfer(*source->pixels, *transferred);
        EXPECT_EQ(packed(*transferred), packed(*reader.frame(0, c.width, c.height))) << c.flags << c.width;
    }
}

TEST(FrameReaderCodecs, SeeksInLongGroupsGiveTheFramesOfASequentialRead) {
    // Frames rolled over after a seek are kept as decoded, only the one shown is converted: every
    // frame reached by jumping must equal the one a plain read (Convert's) converts as it goes.
    // Also in MPEG-TS, whose demuxer seeks by time alone to packets that are no key frames, and
    // whose track starts 1.4 s into the file.
    test::TempDir dir;
    for (const std::string name : {"gop.mp4", "gop.ts"}) {
        SCOPED_TRACE(name);
        const fs::path h264 = dir / name;
        // Groups of three seconds: jumps of over two seconds within one roll on, others reopen.
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=96x64:r=25:d=4", "-c:v", "libx264", "-g", "75", "-bf", "3",
                      "-pix_fmt", "yuv420p", h264.string()});
        VideoReaderSettings settings;
        settings.pixelFormat = kPixelFormatBGRA;
        auto sequential = VideoSampleReader::open(h264, settings);
        std::vector<std::string> frames;
        while (auto sample = sequential->next()) frames.push_back(packed(*sample->pixels));
        ASSERT_EQ(frames.size(), 100u);

        std::vector<int> order(frames.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
        std::shuffle(order.begin(), order.end(), std::mt19937(3));
        MediaFrameReader reader(h264, MediaInfo::load(h264));
        for (int index : order) {
            auto buffer = reader.frame(index / 25.0);
            ASSERT_NE(buffer, nullptr) << index;
            EXPECT_TRUE(packed(*buffer) == frames[size_t(index)]) << "frame " << index;
        }
        if (name != "gop.mp4") continue;  // what the index tells of key frames
        EXPECT_GT(reader.openCount(), 40);
        reader.frame(0.0);
        const int opened = reader.openCount();
        reader.frame(2.8);  // within the first group
        EXPECT_EQ(reader.openCount(), opened);
        reader.frame(0.5);
        reader.frame(3.96);  // past the second group's key frame
        EXPECT_EQ(reader.openCount(), opened + 2);
    }
}

TEST(FrameReaderCodecs, FramesPreparedAheadAreTheFramesOfAPlainRead) {
    // Prepared next frames are taken only when a request reaches that very frame at that size:
    // steps of one, skips, repeats and changes of size all give what a reader without them gives.
    test::TempDir dir;
    const fs::path h264 = dir / "ahead.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=96x64:r=25:d=2", "-c:v", "libx264", "-g", "12", "-bf", "2",
                  "-pix_fmt", "yuv420p", h264.string()});
    MediaFrameReader ahead(h264, MediaInfo::load(h264)), plain(h264, MediaInfo::load(h264));
    struct Step {
        int index, width, height;
    };
    const Step steps[] = {{0, 48, 32}, {1, 48, 32}, {2, 48, 32}, {4, 48, 32}, {4, 48, 32}, {5, 0, 0},   {6, 0, 0},
                          {7, 48, 32}, {8, 0, 0},   {9, 64, 40}, {10, 64, 40}, {30, 64, 40}, {31, 64, 40}, {49, 0, 0}};
    for (const Step& step : steps) {
        const double t = step.index / 25.0;
        const PixelBufferRef got = ahead.frame(t, step.width, step.height);
        const PixelBufferRef want = plain.frame(t, step.width, step.height);
        ASSERT_NE(got, nullptr);
        ASSERT_NE(want, nullptr);
        EXPECT_TRUE(packed(*got) == packed(*want)) << "frame " << step.index << " at " << step.width;
        ahead.prepareNext(step.width, step.height);
    }
    EXPECT_EQ(ahead.openCount(), plain.openCount());
}

// Variable-rate recordings: the picture at t is the latest one at or before t + half a frame of the
// average rate, whether the reader is opened at t, comes to it in any order or reads on to it,
// through long stills, bursts and B-frame pyramids decoded out of order, in MP4, WebM and MPEG-TS.
TEST(FrameReaderVariableRate, EveryTimeShowsThePictureOfItsTimeHoweverReached) {
    test::TempDir dir;
    const std::tuple<const char*, bool, std::vector<std::string>> cases[] = {
        // One key frame: every seek rolls forward through the B-frame pyramid.
        {"screen.mp4", false, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "300"}},
        {"stills-nob.mp4", false, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "8", "-bf", "0"}},
        {"stills.webm", false, {"-c:v", "libvpx-vp9", "-g", "8"}},
        {"stills.ts", false, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "8"}},
        {"phone.mp4", true, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "15"}},
        {"phone.ts", true, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "15", "-bf", "0"}},
    };
    for (const auto& [name, jittered, codec] : cases) {
        SCOPED_TRACE(name);
        const std::vector<double> pictures = test::makeVariableRateMovie(dir / name, jittered, codec);
        ASSERT_GT(pictures.size(), 30u);
        const MediaInfo info = MediaInfo::load(dir / name);
        std::mt19937 random(11);
        std::uniform_real_distribution<double> within(0.0, pictures.back() + 0.4);
        std::vector<std::pair<double, int>> times;  // and the picture shown at each
        while (times.size() < 40)
            if (const double t = within(random); const auto n = test::pictureAt(pictures, info.frameRate, t)) times.push_back({t, *n});
        const auto expect = [&](auto&& reader, std::pair<double, int> at, const char* how) {
            const PixelBufferRef picture = reader.frame(at.first);
            EXPECT_EQ(picture ? test::markerOf(picture->data(), picture->bytesPerRow()) : -1, at.second) << how << " at " << at.first;
        };
        MediaFrameReader shuffled(dir / name, info), forwards(dir / name, info);
        for (const auto& at : times) {
            expect(MediaFrameReader(dir / name, info), at, "opened");
            expect(shuffled, at, "shuffled");
        }
        std::sort(times.begin(), times.end());
        for (const auto& at : times) expect(forwards, at, "forwards");
    }
}

// A sample that fails is met at its own time, the frames before it all shown, and with its own
// words again later; a file cut short inside a frame fails there, and one reopened past the cut
// says it ended early, where a clip past a whole file's end does not.
TEST(FrameReaderDamage, FailuresAreMetAtTheFailedFrameAndACutIsToldFromTheEnd) {
    test::TempDir dir;
    const auto make = [&](const std::string& name, bool indexFirst) {
        const fs::path file = dir / name;
        std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=32x18:rate=10:duration=4", "-c:v", "prores_ks"};
        if (indexFirst) args.insert(args.end(), {"-movflags", "+faststart"});
        args.push_back(file.string());
        test::ffmpeg(args);
        return file;
    };
    const auto failure = [](MediaFrameReader& reader, double t) -> std::string {
        try {
            reader.frame(t);
        } catch (const MediaError& e) {
            return e.what();
        }
        return "no failure";
    };

    const fs::path garbled = make("garbled.mov", false);
    auto frames = test::proResFrames(garbled);
    ASSERT_EQ(frames.size(), 40u);
    test::garble(garbled, frames[15].first, frames[25].first);
    MediaFrameReader one(garbled, MediaInfo::load(garbled));
    for (int i = 0; i < 15; ++i) ASSERT_NE(one.frame(i / 10.0), nullptr) << i;
    const std::string first = failure(one, 1.5);
    EXPECT_EQ(first.rfind("decode (", 0), 0u) << first;
    EXPECT_EQ(failure(one, 1.6), first);

    const fs::path cut = make("cut.mov", true);
    frames = test::proResFrames(cut);
    ASSERT_EQ(frames.size(), 40u);
    test::cutAt(cut, (frames[20].first + frames[20].second) / 2);
    const MediaInfo info = MediaInfo::load(cut);
    MediaFrameReader two(cut, info);
    for (int i = 0; i < 20; ++i) ASSERT_NE(two.frame(i / 10.0), nullptr) << i;
    EXPECT_EQ(failure(two, 2.0).rfind("read sample (", 0), 0u);
    MediaFrameReader three(cut, info);
    std::string late;
    try {
        if (three.frame(3.0) == nullptr) late = three.endedEarly(3.0) ? "ended early" : "no frame";
    } catch (const MediaError& e) {
        late = e.what();
    }
    EXPECT_NE(late, "no frame");
    EXPECT_FALSE(late.empty());

    const fs::path whole = make("whole.mov", false);
    MediaFrameReader four(whole, MediaInfo::load(whole));
    EXPECT_NE(four.frame(3.9), nullptr);
    EXPECT_FALSE(four.endedEarly(3.9));
    EXPECT_NE(four.frame(4.5), nullptr);  // past the end: the last frame, no failure
    EXPECT_FALSE(four.endedEarly(4.5));
    EXPECT_EQ(four.frame(9.0), nullptr);
    EXPECT_FALSE(four.endedEarly(9.0));
}

}  // namespace
}  // namespace qm
