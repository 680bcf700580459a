// H.264 and HEVC read through the system's libavcodec, damaged and cut: a picture the decoder says
// it could not decode as coded fails the reading, naming its frame, while streams cut mid-way
// (as recorders and users cut MPEG-TS) are read from their first whole picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <tuple>

#include "core/conversion_error.h"
#include "platform/media/asset_reader.h"
#include "support/damaged_media.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

struct Reading {
    size_t frames = 0;
    bool firstIsKey = false;
    std::string error;  // the words that ended the reading, empty where it completed
};

Reading readDecoded(const fs::path& file, int threads, MediaTime start = MediaTime::invalid()) {
    VideoReaderSettings settings;
    settings.threads = threads;
    settings.start = start;
    Reading r;
    try {
        auto reader = VideoSampleReader::open(file, settings);
        while (auto s = reader->next()) {
            if (r.frames++ == 0) r.firstIsKey = s->keyFrame;
        }
    } catch (const ConversionError& e) {
        r.error = e.payload();
    } catch (const MediaError& e) {
        r.error = e.what();
    }
    return r;
}

// ffprobe's decoded frames and, of those, the ones from the first key frame on.
std::pair<size_t, size_t> probedFrames(const fs::path& file) {
    const auto r = test::run({"ffprobe", "-v", "quiet", "-select_streams", "v:0", "-show_entries", "frame=key_frame", "-of",
                              "csv=p=0", file.string()});
    size_t all = 0, fromKey = 0;
    for (size_t at = 0; (at = r.output.find_first_of("01", at)) != std::string::npos; ++at) {
        ++all;
        if (fromKey > 0 || r.output[at] == '1') ++fromKey;
    }
    return {all, fromKey};
}

fs::path movie(const test::TempDir& dir, const std::string& name, const std::string& codec, const std::string& seconds = "2") {
    const fs::path out = dir / name;
    std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=" + seconds, "-pix_fmt", "yuv420p", "-c:v", codec};
    if (codec == "libx265") args.insert(args.end(), {"-x265-params", "log-level=error:keyint=24"});
    else args.insert(args.end(), {"-g", "24"});
    args.push_back(out.string());
    test::ffmpeg(args);
    return out;
}

// Damage the decoder reports, with one decoder thread and with the processors' count: the first key
// frame's slice cut to a fifth (plain HEVC read 48 whole-looking frames of it) and a burst of
// bytes in a later slice.
TEST(DamagedSource, DamageTheDecoderReportsFailsNamingItsFrame) {
    test::TempDir dir;
    struct Case {
        std::string name, codec;
        size_t sample;
        bool cut;
        std::string frame;
    };
    for (const Case& c : std::vector<Case>{{"key cut.mov", "libx265", 0, true, "frame 0"},
                                           {"key cut.mp4", "libx264", 0, true, "frame 0"},
                                           {"burst.mp4", "libx264", 24, false, "frame 24"}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = movie(dir, c.name, c.codec);
        EXPECT_EQ(readDecoded(file, 0).error, "");
        if (c.cut) {
            test::cutSliceToAFifth(file, c.sample, c.codec == "libx265");
        } else {
            const auto span = test::videoSampleSpans(file).at(c.sample);
            test::garble(file, span.first + span.second / 2, span.first + span.second / 2 + 12);
        }
        // The same verdict in every reading, with any number of threads: H.264 frame threads would
        // hand out a picture before its concealment is marked on it, in some readings and not others.
        for (int reading = 0; reading < (c.codec == "libx265" ? 1 : 8); ++reading)
            for (const int threads : {1, 3, 0}) {
                SCOPED_TRACE(threads);
                const Reading r = readDecoded(file, threads);
                EXPECT_EQ(r.error, c.frame + " can't be decoded: its data is damaged");
            }
    }
}

// x265's buffering period and picture timing written as one SEI message, which this decoder misreads
// and passes over, are no damage: in MP4, Matroska and MPEG-TS (whose units follow start codes)
// every frame ffprobe decodes is read. A slice cut short in the sample that holds such a message
// still fails its picture.
TEST(DamagedSource, UnitsBesideThePictureTheDecoderPassesOverAreNoDamage) {
    test::TempDir dir;
    for (const std::string ext : {"mp4", "mkv", "ts"}) {
        const fs::path file = dir / ("hrd." + ext);
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=1", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                      "log-level=error:keyint=24:hrd=1:vbv-maxrate=4000:vbv-bufsize=4000:single-sei=1", file.string()});
        SCOPED_TRACE(file.filename());
        for (const int threads : {1, 0}) {
            const Reading r = readDecoded(file, threads);
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(r.frames, probedFrames(file).first);
        }
    }
    test::cutSliceToAFifth(dir / "hrd.mp4", 0, true);
    for (const int threads : {1, 0}) EXPECT_EQ(readDecoded(dir / "hrd.mp4", threads).error, "frame 0 can't be decoded: its data is damaged");
}

// Streams that start mid-way are no damage: an H.264 MPEG-TS with its first 37 % cut off gives the
// 100 frames ffprobe counts, and H.264 and HEVC streams cut at arbitrary bytes are read from their
// first key frame, as many frames as ffprobe decodes from there.
TEST(DamagedSource, StreamsCutMidwayReadFromTheirFirstWholePicture) {
    test::TempDir dir;
    const fs::path h264 = dir / "h264.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=8", "-c:v", "libx264", "-g", "50", "-pix_fmt", "yuv420p",
                  h264.string()});
    const fs::path hevc = dir / "hevc.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-c:v", "libx265", "-x265-params",
                  "log-level=error:keyint=25:open-gop=1", "-pix_fmt", "yuv420p", hevc.string()});
    const std::string h264Bytes = test::readFile(h264), hevcBytes = test::readFile(hevc);
    {
        test::writeFile(dir / "h264 37.ts", h264Bytes.substr(h264Bytes.size() * 37 / 100));
        const Reading r = readDecoded(dir / "h264 37.ts", 0);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.frames, 100u);
        EXPECT_EQ(probedFrames(dir / "h264 37.ts").first, 100u);
    }
    // Read from the middle of an open group of pictures, whose leading pictures reference the group
    // before: those are left out, not refused.
    for (const auto& [codec, params] : {std::pair{"libx264", "-x264-params"}, std::pair{"libx265", "-x265-params"}}) {
        const fs::path open = dir / (std::string(codec) + " open.mp4");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-c:v", codec, params,
                      std::string(codec) == "libx264" ? "open_gop=1:keyint=25" : "log-level=error:open-gop=1:keyint=25",
                      "-pix_fmt", "yuv420p", open.string()});
        for (const double at : {1.0, 1.5, 2.02}) {
            SCOPED_TRACE(open.filename().string() + " from " + std::to_string(at));
            const Reading r = readDecoded(open, 0, MediaTime::fromSeconds(at, 25));
            EXPECT_EQ(r.error, "");
            EXPECT_GE(r.frames, size_t(100 - at * 25 - 1));
        }
    }
    for (const auto& [bytes, name] : {std::pair{&h264Bytes, "h264"}, std::pair{&hevcBytes, "hevc"}}) {
        for (const size_t cut : {size_t(1), size_t(187), size_t(12345), bytes->size() / 3 + 7, bytes->size() / 2 + 101}) {
            const fs::path file = dir / (std::string(name) + " " + std::to_string(cut) + ".ts");
            test::writeFile(file, bytes->substr(cut));
            SCOPED_TRACE(file.filename());
            for (const int threads : {1, 0}) {
                const Reading r = readDecoded(file, threads);
                EXPECT_EQ(r.error, "");
                EXPECT_TRUE(r.firstIsKey);
                EXPECT_EQ(r.frames, probedFrames(file).second);
            }
        }
    }
}

// Every picture of a reading in BGRA, and the words that ended it.
std::pair<std::vector<std::string>, std::string> readPictures(const fs::path& file, int threads) {
    VideoReaderSettings settings;
    settings.threads = threads;
    settings.pixelFormat = kPixelFormatBGRA;
    std::pair<std::vector<std::string>, std::string> r;
    try {
        auto reader = VideoSampleReader::open(file, settings);
        while (auto s = reader->next()) {
            std::string& bytes = r.first.emplace_back();
            for (int y = 0; y < s->pixels->height(); ++y)
                bytes.append(reinterpret_cast<const char*>(s->pixels->data() + size_t(y) * s->pixels->bytesPerRow()),
                             size_t(s->pixels->width()) * 4);
        }
    } catch (const ConversionError& e) {
        r.second = e.payload();
    } catch (const MediaError& e) {
        r.second = e.what();
    }
    return r;
}

// The sample at `seconds` garbled over 12 bytes from `offset`; returns its place in display order at
// 25 frames a second.
int garbleSampleAt(const fs::path& file, double seconds, size_t offset) {
    std::istringstream packets(test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                          "packet=pts_time,pos,size", "-of", "csv=p=0", file.string()}).output);
    for (std::string line; std::getline(packets, line);) {
        double t = 0;
        size_t size = 0, pos = 0;
        if (std::sscanf(line.c_str(), "%lf,%zu,%zu", &t, &size, &pos) != 3 || std::abs(t - seconds) > 0.001) continue;
        test::garble(file, pos + offset, pos + offset + 12);
        return int(std::lround(t * 25));
    }
    ADD_FAILURE() << "no sample at " << seconds;
    return -1;
}

// Damage in one picture of the second group (key frames every second): at any thread count the
// reading gives every picture decoded before it, each the intact file's, and fails naming the
// damaged picture by its place in display order; a start at the next key frame (as the editor asks
// for a frame, half a frame early) reads from there without a word.
TEST(DamagedSource, DamageIsNamedByThePictureShownAndSparesThePicturesBeforeIt) {
    test::TempDir dir;
    struct Case {
        std::string name, codec;
        double seconds;  // a P picture's time
        size_t offset;   // into its sample: the slice data, or the header the decoder checks
    };
    for (const Case& c : std::vector<Case>{{"hevc.mp4", "libx265", 1.36, 8}, {"vp9.webm", "libvpx-vp9", 1.32, 8},
                                           {"h264.mp4", "libx264", 1.40, 40}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / c.name;
        std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-pix_fmt", "yuv420p", "-c:v", c.codec};
        if (c.codec == "libx265") args.insert(args.end(), {"-x265-params", "log-level=error:keyint=25:min-keyint=25"});
        else args.insert(args.end(), {"-g", "25", "-keyint_min", "25"});
        if (c.codec == "libvpx-vp9") args.insert(args.end(), {"-deadline", "realtime"});
        args.push_back(file.string());
        test::ffmpeg(args);
        const auto intact = readPictures(file, 0);
        ASSERT_EQ(intact.first.size(), 75u);
        const int damaged = garbleSampleAt(file, c.seconds, c.offset);
        const std::string named = "frame " + std::to_string(damaged);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(threads);
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_EQ(error, named + " can't be decoded: its data is damaged");
            EXPECT_GE(pictures.size(), 26u);
            EXPECT_LE(pictures.size(), size_t(damaged));
            for (size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(pictures[i] == intact.first[i]) << "picture " << i;
            const Reading fromKey = readDecoded(file, threads, MediaTime::make(2 * 50 - 1, 50));
            EXPECT_EQ(fromKey.error, "");
            EXPECT_EQ(fromKey.frames, 25u);
            EXPECT_TRUE(fromKey.firstIsKey);
        }
    }
}

// A sample dropped from a stream (as a bit-stream filter drops a packet): HEVC's decoder would
// decode the pictures predicted from it from a grey stand-in, and H.264's would too, without an
// error. The reading fails at the first of them, the same at any thread count, after the whole
// pictures before it. Without its first key frame, a stream is one cut mid-way: it reads whole
// from the next.
TEST(DamagedSource, APictureWhoseReferenceIsMissingIsDamaged) {
    test::TempDir dir;
    struct Case {
        std::string codec;
        std::vector<std::string> params;
        int dropped;       // the sample left out, in stored order
        std::string error;
        size_t from, count;  // the intact pictures read
    };
    for (const Case& c : std::vector<Case>{
             {"libx265", {"-x265-params", "log-level=error:keyint=24:wpp=0"}, 2, "frame 1 can't be decoded: its data is damaged", 0, 1},
             {"libx264", {"-g", "12", "-bf", "3", "-x264-params", "open-gop=1"}, 1, "frame 2 can't be decoded: its data is damaged", 0, 1},
             {"libx264", {"-g", "12", "-bf", "3", "-x264-params", "open-gop=1"}, 0, "", 12, 36}}) {
        SCOPED_TRACE(c.codec + " without sample " + std::to_string(c.dropped));
        const fs::path whole = dir / (c.codec + ".mkv"), dropped = dir / (c.codec + std::to_string(c.dropped) + ".mkv");
        std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=2", "-pix_fmt", "yuv420p", "-c:v", c.codec};
        args.insert(args.end(), c.params.begin(), c.params.end());
        args.push_back(whole.string());
        test::ffmpeg(args);
        test::ffmpeg({"-i", whole.string(), "-c", "copy", "-bsf:v", "noise=drop=eq(n\\," + std::to_string(c.dropped) + ")",
                      dropped.string()});
        const auto intact = readPictures(whole, 0);
        ASSERT_EQ(intact.first.size(), 48u);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(threads);
            const auto [pictures, error] = readPictures(dropped, threads);
            EXPECT_EQ(error, c.error);
            ASSERT_EQ(pictures.size(), c.count);
            for (size_t i = 0; i < pictures.size(); ++i)
                EXPECT_TRUE(pictures[i] == intact.first[c.from + i]) << "picture " << c.from + i;
        }
    }
}

// Files cut short that no index lists give only whole pictures, each the intact file's: neither the
// sample the file ends inside nor pictures shown after one it lacks (B-frames). Matroska stating
// its segment's length fails naming the first frame lacking (by ffprobe's packet positions);
// Matroska written live and MPEG-TS, which state none, end there, also at a transport packet's end
// (only the decoder sees the damage, if at all), between two whole samples, and with video packet
// lengths stated (the parser gives the short packet's flag to the one before it).
TEST(DamagedSource, FilesCutShortGiveOnlyTheirWholePictures) {
    test::TempDir dir;
    const std::vector<std::vector<std::string>> muxers{
        {"-f", "matroska"}, {"-f", "matroska", "-live", "1"}, {"-f", "mpegts"}, {"-f", "mpegts", "-omit_video_pes_length", "0"}};
    for (const std::string codec : {"libx264", "libx265"}) {
        for (size_t m = 0; m < muxers.size(); ++m) {
            const fs::path whole = dir / (codec + std::to_string(m));
            std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-pix_fmt", "yuv420p", "-c:v", codec};
            if (codec == "libx265") args.insert(args.end(), {"-x265-params", "log-level=error:bframes=3:b-adapt=0"});
            else args.insert(args.end(), {"-bf", "3", "-b_strategy", "0"});
            args.insert(args.end(), muxers[m].begin(), muxers[m].end());
            args.push_back(whole.string());
            test::ffmpeg(args);
            const auto intact = readPictures(whole, 0);
            ASSERT_EQ(intact.first.size(), 100u);
            std::istringstream packets(test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                                  "packet=pts_time,pos,size", "-of", "csv=p=0", whole.string()}).output);
            std::vector<std::tuple<double, size_t, size_t>> spans;  // time, size, position
            for (std::string line; std::getline(packets, line);) {
                double t = 0;
                size_t size = 0, pos = 0;
                if (std::sscanf(line.c_str(), "%lf,%zu,%zu", &t, &size, &pos) == 3) spans.emplace_back(t, size, pos);
            }
            const std::string bytes = test::readFile(whole);
            std::vector<size_t> cuts{bytes.size() * 3 / 10, bytes.size() * 6 / 10, bytes.size() * 9 / 10, bytes.size() / 376 * 188};
            // Right before the first B-frame after the middle: nothing but the gap tells.
            for (size_t k = spans.size() / 2; m >= 2 && k + 1 < spans.size(); ++k)
                if (std::get<0>(spans[k + 1]) < std::get<0>(spans[k])) {
                    cuts.push_back(std::get<2>(spans[k + 1]));
                    break;
                }
            for (const size_t cut : cuts) {
                const fs::path file = dir / ("cut " + std::to_string(cut) + whole.filename().string());
                test::writeFile(file, bytes.substr(0, cut));
                int lacking = 100;
                for (const auto& [t, size, pos] : spans)
                    if (pos + size > cut) lacking = std::min(lacking, int(std::lround(t * 25)));
                for (const int threads : {1, 0}) {
                    SCOPED_TRACE(codec + " " + muxers[m].back() + " cut at " + std::to_string(cut) + " threads " + std::to_string(threads));
                    const auto [pictures, error] = readPictures(file, threads);
                    ASSERT_LE(pictures.size(), intact.first.size());
                    for (size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(pictures[i] == intact.first[i]) << "picture " << i;
                    EXPECT_GT(pictures.size(), 10u);
                    if (m >= 2) {
                        EXPECT_EQ(error, "");
                        continue;
                    }
                    EXPECT_EQ(pictures.size(), size_t(lacking));
                    EXPECT_EQ(error, m == 0 ? "read sample (the file is cut short before frame " + std::to_string(lacking) + ")" : "");
                }
            }
        }
    }
}

}  // namespace
}  // namespace qm
