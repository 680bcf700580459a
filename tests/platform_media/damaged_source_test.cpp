// H.264 and HEVC read through their decoders, damaged and cut: a picture the decoder says it could
// not decode as coded fails the reading, naming its frame, while streams cut mid-way (as recorders
// and users cut MPEG-TS) are read from their first whole picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/conversion_error.h"
#include "platform/media/asset_reader.h"
#include "platform/media/pixel_buffer.h"
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

// The first frame in display order that damage in stored sample `sample` of a movie starting at 0
// spoils, by ffprobe: its own, or that of a sample stored right after it and shown before it (a
// B-frame predicted from it).
std::string frameSpoiledBy(const fs::path& file, size_t sample, double fps = 24) {
    std::istringstream lines(test::run({"ffprobe", "-v", "quiet", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                        "-of", "csv=p=0", file.string()}).output);
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);) times.push_back(std::stod(line));
    double first = times.at(sample);
    for (size_t i = sample + 1; i < times.size() && times[i] < times[sample]; ++i) first = std::min(first, times[i]);
    return "frame " + std::to_string(std::llround(first * fps));
}

// H.264 damage in pictures of one slice and of four, read on one thread, three and every processor,
// several times each: a burst of bytes in a slice and a slice cut to a fifth, which the decoder
// reports, and a four-slice picture lacking a slice, which it only conceals. Slice threads turned
// concealment off and dropped the errors of pictures of several slices; frame threads of Debian's
// decoder handed a picture out before it was marked concealed, in some runs and not others.
TEST(DamagedSource, DamagedH264PicturesFailInEveryRunAtAnyThreadCount) {
    test::TempDir dir;
    struct Case {
        std::string name;
        int slices;
        size_t sample;
        int slice;
        double kept;  // of the slice's bytes; negative: a burst of bytes in its middle
    };
    for (const Case& c : std::vector<Case>{{"one burst.mp4", 1, 29, 0, -1},
                                           {"one cut.mp4", 1, 13, 0, 0.2},
                                           {"four burst.mp4", 4, 29, 2, -1},
                                           {"four cut.mp4", 4, 13, 1, 0.2},
                                           {"four lacking.mp4", 4, 29, 1, 0},
                                           {"four lacking key.mp4", 4, 24, 2, 0}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / c.name;
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-g",
                      "24", "-bf", "2", "-x264-params", "slices=" + std::to_string(c.slices), file.string()});
        EXPECT_EQ(readDecoded(file, 0).error, "");
        if (c.kept < 0) {
            const auto [at, length] = test::sliceUnit(test::readFile(file), file, c.sample, false, 0, c.slice);
            test::garble(file, at + 4 + length / 2, at + 4 + length / 2 + 12);
        } else {
            test::cutSlice(file, c.sample, false, 0, c.slice, c.kept);
        }
        const std::string expected = frameSpoiledBy(file, c.sample) + " can't be decoded: its data is damaged";
        for (int reading = 0; reading < 4; ++reading)
            for (const int threads : {1, 3, 0}) {
                SCOPED_TRACE(threads);
                EXPECT_EQ(readDecoded(file, threads).error, expected);
            }
    }
}

// Intact H.264 of the kinds cameras, encoders and remuxers write, read on every processor: every
// picture as FFmpeg's own decoding gives it (`-fps_mode passthrough`, in the decoder's layout), none
// refused, none missing or repeated.
TEST(DamagedSource, IntactH264ReadsPictureForPictureAsFFmpegDecodesIt) {
    test::TempDir dir;
    const std::vector<std::string> source{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2"};
    const std::string plain = (dir / "plain.mp4").string();
    const std::vector<std::pair<std::string, std::vector<std::string>>> kinds{
        {"plain.mp4", {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-g", "50", "-bf", "2"}},
        {"slices.mkv", {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-x264-params", "slices=4"}},
        {"refresh.mp4", {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=20"}},
        {"mbaff.ts", {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-flags", "+ildct+ilme", "-x264-params", "tff=1"}},
        {"cavlc.mp4", {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "baseline"}},
        {"ten.mov", {"-pix_fmt", "yuv420p10le", "-c:v", "libx264"}},
        {"422.mp4", {"-pix_fmt", "yuv422p10le", "-c:v", "libx264"}},
        // Cut by copying from mid-group: an edit list leaves out the samples before the cut.
        {"trimmed.mp4", {"-ss", "0.7", "-i", plain, "-c", "copy"}},
    };
    for (const auto& [name, args] : kinds) {
        SCOPED_TRACE(name);
        const fs::path file = dir / name;
        std::vector<std::string> all = args[0] == "-ss" ? std::vector<std::string>{} : source;
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(file.string());
        test::ffmpeg(all);
        VideoReaderSettings settings;
        settings.threads = 0;
        auto reader = VideoSampleReader::open(file, settings);
        std::vector<PixelBufferRef> pictures;
        while (auto s = reader->next()) pictures.push_back(s->pixels);
        const std::string theirs =
            test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo", "-"})
                .output;
        ASSERT_FALSE(pictures.empty());
        const size_t sampleBytes = name == "ten.mov" || name == "422.mp4" ? 2 : 1;
        size_t frameBytes = 0;
        for (int p = 0; p < pictures[0]->planeCount(); ++p)
            frameBytes += size_t(pictures[0]->planeWidth(p) * pictures[0]->planeHeight(p)) * sampleBytes;
        ASSERT_EQ(frameBytes * pictures.size(), theirs.size());
        for (size_t i = 0; i < pictures.size(); ++i) {
            std::string ours;
            for (int p = 0; p < pictures[i]->planeCount(); ++p)
                for (int y = 0; y < pictures[i]->planeHeight(p); ++y)
                    ours.append(reinterpret_cast<const char*>(pictures[i]->data(p)) + size_t(y) * pictures[i]->bytesPerRow(p),
                                size_t(pictures[i]->planeWidth(p)) * sampleBytes);
            EXPECT_TRUE(ours == theirs.substr(i * frameBytes, frameBytes)) << "picture " << i;
        }
    }
}

// Colour that only the container describes (x264 and x265 remuxed with tags, MOV's 'colr', a
// Matroska range, GStreamer's openh264enc, whose caps' colorimetry goes to the container alone)
// and colour both describe (the coded stream's holds, the range FFmpeg's libx265 states too):
// every picture in BGRA as ffmpeg converts its own decoding. FFmpeg's HEVC decoder drops the
// container's description, so there its conversion is told what holds.
TEST(DamagedSource, IntactColourTheContainerDescribesReadsAsFFmpegConvertsIt) {
    test::TempDir dir;
    const std::vector<std::string> ntsc{"-colorspace", "smpte170m", "-color_primaries", "smpte170m", "-color_trc", "smpte170m"};
    for (const auto& [name, args] : {std::pair{"h264.mp4", std::vector<std::string>{"-c:v", "libx264"}},
                                     {"bt709.mp4", {"-c:v", "libx264", "-colorspace", "bt709", "-color_primaries", "bt709",
                                                    "-color_trc", "bt709"}},
                                     {"hevc.mp4", {"-c:v", "libx265", "-x265-params", "log-level=error"}},
                                     {"y4m", {"-f", "yuv4mpegpipe"}}}) {
        std::vector<std::string> all{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=1", "-pix_fmt", "yuv420p"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back((dir / name).string());
        test::ffmpeg(all);
    }
    // The x265 command line states no range, where FFmpeg's libx265 states limited range.
    ASSERT_EQ(test::run({"x265", "--log-level", "error", "--y4m", (dir / "y4m").string(), "-o", (dir / "x265.hevc").string()}).exitCode, 0)
        << "the x265 command line (x265)";
    test::ffmpeg({"-framerate", "25", "-i", (dir / "x265.hevc").string(), "-c", "copy", (dir / "x265.mp4").string()});
    const auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        std::string name, from;  // from: remuxed from that encoding, else GStreamer's muxer `tags[0]`
        std::vector<std::string> tags;
        std::string stated;  // the description ffmpeg's conversion is told
    };
    for (const Case& c : std::vector<Case>{
             {"tagged.mp4", "h264.mp4", ntsc, ""},
             {"tagged.mov", "h264.mp4", plus(ntsc, {"-movflags", "+write_colr"}), ""},
             // No matrix said: BT.709 here, BT.601 in ffmpeg.
             {"full.mkv", "h264.mp4", {"-color_range", "pc"}, ":in_color_matrix=bt709"},
             {"tagged full.mp4", "h264.mp4", plus(ntsc, {"-color_range", "pc"}), ""},
             {"both.mkv", "bt709.mp4", plus(ntsc, {"-color_range", "pc"}), ""},
             {"hevc tagged.mp4", "hevc.mp4", ntsc, ":in_color_matrix=smpte170m:in_range=tv"},
             {"hevc full.mkv", "x265.mp4", plus(ntsc, {"-color_range", "pc"}), ":in_color_matrix=smpte170m:in_range=pc"},
             {"hevc stated.mkv", "hevc.mp4", plus(ntsc, {"-color_range", "pc"}), ":in_color_matrix=smpte170m:in_range=tv"},
             {"openh264.mp4", "", {"mp4mux"}, ""},
             {"openh264.mkv", "", {"matroskamux"}, ""}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / c.name;
        if (c.from.empty()) {
            ASSERT_EQ(test::run({"gst-launch-1.0", "-q", "videotestsrc", "num-buffers=25", "pattern=smpte", "!",
                                 "video/x-raw,format=I420,width=320,height=240,framerate=25/1", "!", "openh264enc", "!",
                                 "h264parse", "!", c.tags[0], "!", "filesink", "location=" + file.string()})
                          .exitCode,
                      0)
                << "GStreamer's openh264enc, h264parse and muxers (gstreamer1.0-plugins-bad, -good)";
        } else {
            test::ffmpeg(plus(plus({"-i", (dir / c.from).string(), "-c", "copy"}, c.tags), {file.string()}));
        }
        VideoReaderSettings settings;
        settings.threads = 0;
        settings.pixelFormat = kPixelFormatBGRA;
        auto reader = VideoSampleReader::open(file, settings);
        std::string ours;
        while (auto s = reader->next())
            for (int y = 0; y < s->pixels->height(); ++y)
                ours.append(reinterpret_cast<const char*>(s->pixels->data() + size_t(y) * s->pixels->bytesPerRow()),
                            size_t(s->pixels->width()) * 4);
        const std::string theirs =
            test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:v", "-fps_mode", "passthrough", "-vf",
                       "scale=flags=bicubic+accurate_rnd+full_chroma_int" + c.stated, "-f", "rawvideo", "-pix_fmt", "bgra", "-"})
                .output;
        const size_t frameBytes = 320 * 240 * 4;
        ASSERT_EQ(ours.size(), 25 * frameBytes);
        ASSERT_EQ(theirs.size(), ours.size());
        for (size_t i = 0; i < 25; ++i)
            EXPECT_TRUE(ours.compare(i * frameBytes, frameBytes, theirs, i * frameBytes, frameBytes) == 0) << "picture " << i;
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

// Each picture of a reading in the decoder's layout (8-bit), and the words that ended it.
std::pair<std::vector<std::string>, std::string> readOwnLayout(const fs::path& file, int threads) {
    VideoReaderSettings settings;
    settings.threads = threads;
    std::pair<std::vector<std::string>, std::string> r;
    try {
        auto reader = VideoSampleReader::open(file, settings);
        while (auto s = reader->next()) {
            std::string& bytes = r.first.emplace_back();
            for (int p = 0; p < s->pixels->planeCount(); ++p)
                for (int y = 0; y < s->pixels->planeHeight(p); ++y)
                    bytes.append(reinterpret_cast<const char*>(s->pixels->data(p)) + size_t(y) * s->pixels->bytesPerRow(p),
                                 size_t(s->pixels->planeWidth(p)));
        }
    } catch (const ConversionError& e) {
        r.second = e.payload();
    } catch (const MediaError& e) {
        r.second = e.what();
    }
    return r;
}

// A raw H.264 or HEVC stream (units after start codes) cut to begin at the `nth` unit of `type`
// (counted from 0), after the units before its first slice where `head`.
std::string cutAtUnit(const std::string& raw, bool hevc, int type, int nth, bool head) {
    std::optional<size_t> firstSlice, cut;
    for (size_t at = raw.find(std::string("\0\0\1", 3)); at != std::string::npos && !cut; at = raw.find(std::string("\0\0\1", 3), at + 3)) {
        const int unit = hevc ? uint8_t(raw[at + 3]) >> 1 & 0x3F : uint8_t(raw[at + 3]) & 0x1F;
        if (!firstSlice && (hevc ? unit < 32 : unit == 1 || unit == 5)) firstSlice = at;
        if (unit == type && nth-- == 0) cut = at;
    }
    EXPECT_TRUE(firstSlice && cut);
    return (head ? raw.substr(0, firstSlice.value_or(0)) : "") + raw.substr(cut.value_or(0));
}

// Streams that begin at a random-access point with pictures before it that they lack, stamped in
// decoding order by their writers, read from their first whole picture: HEVC cut at its first CRA,
// whose RASL pictures the decoder leaves out, as GStreamer's MPEG-TS muxer writes it and ffmpeg
// remuxes that into Matroska and MP4; x264's intra refresh with B-frames cut at its second
// recovery point (mkvmerge, ffmpeg's MP4, GStreamer's MPEG-TS), whose first pictures stay unmade
// until they are whole; an open-GOP movie split by mkvmerge at a key frame whose leading B
// pictures refer to the part before it. Each reads as ffmpeg decodes it, picture for picture, at
// any thread count; the account owed the pictures the decoder never makes and refused them.
TEST(DamagedSource, StreamsBegunAtARandomAccessPointReadAsFFmpegDecodesThem) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4.8", "-pix_fmt", "yuv420p", (dir / "source.y4m").string()});
    ASSERT_EQ(test::run({"x265", "--log-level", "error", "--keyint", "20", "--bframes", "2", "-o", (dir / "raw.hevc").string(),
                         (dir / "source.y4m").string()}).exitCode, 0) << "the x265 command line (x265)";
    ASSERT_EQ(test::run({"x264", "--quiet", "--intra-refresh", "--keyint", "20", "-o", (dir / "raw.264").string(),
                         (dir / "source.y4m").string()}).exitCode, 0) << "the x264 command line (x264)";
    test::writeFile(dir / "cra.hevc", cutAtUnit(test::readFile(dir / "raw.hevc"), true, 21, 0, true));
    test::writeFile(dir / "recovery.264", cutAtUnit(test::readFile(dir / "raw.264"), false, 7, 2, false));
    const auto gstreamer = [&](const std::string& raw, const std::string& parser, const fs::path& out) {
        ASSERT_EQ(test::run({"gst-launch-1.0", "-q", "filesrc", "location=" + (dir / raw).string(), "!", parser, "!", "mpegtsmux", "!",
                             "filesink", "location=" + out.string()}).exitCode, 0) << "GStreamer's parsers and MPEG-TS muxer";
    };
    gstreamer("cra.hevc", "h265parse", dir / "cra.ts");
    test::ffmpeg({"-i", (dir / "cra.ts").string(), "-c", "copy", (dir / "cra.mkv").string()});
    test::ffmpeg({"-i", (dir / "cra.ts").string(), "-c", "copy", (dir / "cra.mp4").string()});
    gstreamer("recovery.264", "h264parse", dir / "recovery.ts");
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "recovery.mkv").string(), (dir / "recovery.264").string()}).exitCode, 0);
    test::ffmpeg({"-r", "25", "-i", (dir / "recovery.264").string(), "-c", "copy", (dir / "recovery.mp4").string()});
    test::ffmpeg({"-i", (dir / "source.y4m").string(), "-c:v", "libx264", "-x264-params", "open-gop=1:keyint=20:min-keyint=20:scenecut=0:bframes=3",
                  (dir / "open.mkv").string()});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "split.mkv").string(), "--split", "parts:00:00:01.5-00:00:03.5", (dir / "open.mkv").string()})
                  .exitCode,
              0);
    for (const std::string name : {"cra.ts", "cra.mkv", "cra.mp4", "recovery.mkv", "recovery.mp4", "recovery.ts", "split.mkv"}) {
        const fs::path file = dir / name;
        const std::string theirs =
            test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo", "-"})
                .output;
        const size_t frameBytes = 320 * 240 * 3 / 2;
        EXPECT_GT(theirs.size(), 30 * frameBytes) << name;
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(name + " threads " + std::to_string(threads));
            const auto [pictures, error] = readOwnLayout(file, threads);
            EXPECT_EQ(error, "");
            EXPECT_EQ(pictures.size(), theirs.size() / frameBytes);
            for (size_t i = 0; i < pictures.size() && (i + 1) * frameBytes <= theirs.size(); ++i)
                EXPECT_TRUE(pictures[i] == theirs.substr(i * frameBytes, frameBytes)) << "picture " << i;
        }
    }
}

// Whole MPEG-TS files give every frame ffprobe decodes, however they end: the last sample filling its
// last transport packet exactly (a filler unit of the right length in the last picture), the last
// stamps leaving a gap (the first samples of a B-frame movie remuxed), plain encodes whose stamps
// end unevenly, M2TS (192-byte packets) and 204-byte packets whose last one lacks some of its
// error correction.
TEST(DamagedSource, WholeTransportStreamsAreReadWhole) {
    test::TempDir dir;
    std::vector<fs::path> files;
    for (const auto& [codec, format] : {std::pair{"libx264", "h264"}, std::pair{"libx265", "hevc"}}) {
        const fs::path raw = dir / (std::string("raw.") + format);
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=25:d=1", "-c:v", codec, "-bf", "0", "-g", "25", "-pix_fmt", "yuv420p",
                      "-x265-params", "log-level=error", "-f", format, raw.string()});
        const std::string bytes = test::readFile(raw);
        const fs::path ts = dir / (std::string("filled ") + format + ".ts");
        // The filler grows by the stuffing the muxer put into the stream's last transport packet
        // until there is none: a few runs of the muxer, not one for every length.
        bool filled = false;
        for (size_t length = 0, run = 0; run < 8 && !filled; ++run) {
            const std::string filler = std::string("\0\0\0\x01", 4) + (std::string(format) == "h264" ? "\x0c" : "\x4c\x01");
            test::writeFile(raw, bytes + filler + std::string(length, '\xff') + "\x80");
            test::ffmpeg({"-r", "25", "-i", raw.string(), "-c", "copy", "-f", "mpegts", ts.string()});
            const std::string out = test::readFile(ts);
            for (size_t at = out.size() - 188;; at -= 188) {
                const auto* p = reinterpret_cast<const uint8_t*>(out.data() + at);
                if (((p[1] & 0x1F) << 8 | p[2]) != 0x100) continue;
                filled = (p[3] & 0x20) == 0;
                if (!filled) length += size_t(p[4]) + 1;
                break;
            }
        }
        ASSERT_TRUE(filled) << format;
        files.push_back(ts);
    }
    const fs::path bFrames = dir / "b.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-c:v", "libx264", "-bf", "3", "-g", "25", "-pix_fmt", "yuv420p",
                  bFrames.string()});
    for (const std::string count : {"36", "53"}) {
        files.push_back(dir / ("first " + count + ".ts"));
        test::ffmpeg({"-i", bFrames.string(), "-map", "0", "-c", "copy", "-frames:v", count, "-f", "mpegts", files.back().string()});
    }
    files.push_back(dir / "b.m2ts");
    test::ffmpeg({"-i", bFrames.string(), "-c", "copy", "-f", "mpegts", "-mpegts_m2ts_mode", "1", files.back().string()});
    {
        // Without the null packets that pad it to whole units, as other writers leave it.
        std::string m2ts = test::readFile(files.back());
        while (m2ts.size() >= 192 && (uint8_t(m2ts[m2ts.size() - 187]) & 0x1F) == 0x1F && uint8_t(m2ts[m2ts.size() - 186]) == 0xFF)
            m2ts.resize(m2ts.size() - 192);
        test::writeFile(files.back(), m2ts);
    }
    for (const std::string count : {"50", "77"}) {
        files.push_back(dir / ("plain " + count + ".ts"));
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=25", "-frames:v", count, "-c:v", "libx264", "-g", "25", "-bf", "2",
                      "-pix_fmt", "yuv420p", files.back().string()});
    }
    {
        // In 204-byte packets, error correction after each, the last one's cut short: the packet
        // itself is whole, and so is the picture it ends.
        const std::string narrow = test::readFile(dir / "plain 50.ts");
        std::string wide;
        for (size_t at = 0; at + 188 <= narrow.size(); at += 188) wide += narrow.substr(at, 188) + std::string(16, '\0');
        files.push_back(dir / "plain 50 wide.ts");
        test::writeFile(files.back(), wide.substr(0, wide.size() - 10));
    }
    for (const fs::path& file : files) {
        const size_t expected = probedFrames(file).first;
        EXPECT_GT(expected, 20u) << file.filename();
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
            const Reading r = readDecoded(file, threads);
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(r.frames, expected);
        }
    }
}

// Every picture of a reading in BGRA by its time, and the words that ended it.
std::pair<std::map<MediaTime, std::string>, std::string> readPictures(const fs::path& file, int threads) {
    VideoReaderSettings settings;
    settings.threads = threads;
    settings.pixelFormat = kPixelFormatBGRA;
    std::pair<std::map<MediaTime, std::string>, std::string> r;
    try {
        auto reader = VideoSampleReader::open(file, settings);
        while (auto s = reader->next()) {
            std::string& bytes = r.first[s->time];
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

// Each picture read is the intact file's at its time.
void expectIntactPictures(const std::map<MediaTime, std::string>& pictures, const std::map<MediaTime, std::string>& intact) {
    for (const auto& [t, picture] : pictures) {
        const auto same = intact.find(t);
        EXPECT_TRUE(same != intact.end() && same->second == picture) << "picture at " << t.seconds();
    }
}

// The pictures read are the intact file's from its `from`-th on, one after another.
void expectIntactRun(const std::map<MediaTime, std::string>& pictures, const std::map<MediaTime, std::string>& intact,
                     size_t from) {
    auto same = std::next(intact.begin(), std::ptrdiff_t(std::min(from, intact.size())));
    size_t i = from;
    for (const auto& [t, picture] : pictures) {
        EXPECT_TRUE(same != intact.end() && same->first == t && same->second == picture) << "picture " << i;
        if (same != intact.end()) ++same;
        ++i;
    }
}

// The sample at `seconds` garbled over 12 bytes from `offset`; returns its place in stored order.
int garbleSampleAt(const fs::path& file, double seconds, size_t offset) {
    std::istringstream packets(test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                          "packet=pts_time,pos,size", "-of", "csv=p=0", file.string()}).output);
    int sample = 0;
    for (std::string line; std::getline(packets, line); ++sample) {
        double t = 0;
        size_t size = 0, pos = 0;
        if (std::sscanf(line.c_str(), "%lf,%zu,%zu", &t, &size, &pos) != 3 || std::abs(t - seconds) > 0.001) continue;
        test::garble(file, pos + offset, pos + offset + 12);
        return sample;
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
        const std::string named = frameSpoiledBy(file, size_t(garbleSampleAt(file, c.seconds, c.offset)), 25);
        const int damaged = std::stoi(named.substr(6));
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(threads);
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_EQ(error, named + " can't be decoded: its data is damaged");
            EXPECT_GE(pictures.size(), 26u);
            EXPECT_LE(pictures.size(), size_t(damaged));
            expectIntactRun(pictures, intact.first, 0);
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
             {"libx264", {"-g", "12", "-bf", "3", "-x264-params", "open-gop=1"}, 1, "frame 1 can't be decoded: its data is damaged", 0, 1},
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
            expectIntactRun(pictures, intact.first, c.from);
        }
    }
}

// Files cut short that no index lists give only whole pictures, each the intact file's at its time:
// neither the sample the file ends inside nor pictures shown after one it lacks (B-frames).
// Matroska stating its segment's length fails naming the first frame lacking (by ffprobe's packet
// positions); Matroska written live and MPEG-TS, which state none, end there, also at a transport
// packet's end (only the decoder sees the damage: H.264's says so, HEVC's says nothing, and a
// whole file may end there the same way), and with video packet lengths stated (the parser gives
// the short packet's flag to the one before it). Cut between two whole samples, an MPEG-TS is
// read whole, as a remux of its first samples is: pictures shown after a gap are still right.
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
            std::vector<size_t> cuts{bytes.size() * 3 / 10, bytes.size() * 6 / 10, bytes.size() * 9 / 10};
            if (m < 2 || codec == "libx264") cuts.push_back(bytes.size() / 376 * 188);
            // Right before the first B-frame after the middle: the samples held are whole.
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
                    expectIntactPictures(pictures, intact.first);
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

// A multi-slice H.264 MPEG-TS (four slices, intra refresh, HRD, access unit delimiters, interlaced)
// and an HEVC one of closed groups with B-frames, cut at arbitrary bytes: the last sample, which
// the file ends inside, is never a picture, whatever the decoder marks on it, nor one shown after a
// sample the file lacks (cut inside the transport packet that begins it), so the pictures read are
// the intact file's first ones, one after another without a gap, at any thread count.
TEST(DamagedSource, TransportStreamsCutInsideASampleGiveOnlyRightPictures) {
    test::TempDir dir;
    const fs::path slices = dir / "slices.ts", hevc = dir / "hevc.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=6", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-x264-params",
                  "slices=4:intra-refresh=1:nal-hrd=vbr:vbv-maxrate=3000:vbv-bufsize=3000:pic-struct=1:aud=1:tff=1",
                  slices.string()});
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                  "log-level=error", hevc.string()});
    // Closed groups of pictures, cut where a transport packet ends: a last sample the decoder
    // refuses ends the pictures after those sent before it, which it dropped with the refusal.
    const fs::path closed = dir / "closed.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                  "log-level=error:open-gop=0:keyint=25", closed.string()});
    // Where the file is cut, in thousandths: some HEVC cuts end inside a packet of the program tables.
    for (const auto& [whole, cuts] : {std::pair{slices, std::vector<size_t>{300, 400, 530, 650, 710, 770, 840, 900, 970}},
                                      std::pair{hevc, std::vector<size_t>{460, 490, 550, 700, 820, 931}},
                                      std::pair{closed, std::vector<size_t>{610, 640, 905}}}) {
        const auto intact = readPictures(whole, 1);
        ASSERT_EQ(intact.first.size(), whole == slices ? 150u : 100u);
        const std::string bytes = test::readFile(whole);
        for (const size_t cut : cuts) {
            const fs::path file = dir / ("cut " + std::to_string(cut) + whole.filename().string());
            const size_t at = bytes.size() * cut / 1000;
            test::writeFile(file, bytes.substr(0, whole == closed ? at - at % 188 : at));
            for (const int threads : {1, 3, 0}) {
                SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
                const auto [pictures, error] = readPictures(file, threads);
                EXPECT_EQ(error, "");
                EXPECT_GT(pictures.size(), cut * intact.first.size() / 1500);
                expectIntactRun(pictures, intact.first, 0);
            }
        }
    }
}

// An MPEG-TS losing a transport packet inside a sample fails naming the first picture that sample
// spoils, after the whole pictures before it, at any thread count: the demuxer gives the sample's
// incomplete mark to the one before it, which was named instead and never read. Stored 13 is a P
// picture shown at 16, after the B pictures 13-15 predicted from it; stored 16 a B picture at 15.
TEST(DamagedSource, AnMpegTsSampleMissingAPacketIsNamedByItsPicture) {
    test::TempDir dir;
    const fs::path whole = dir / "whole.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g", "25",
                  "-b_strategy", "0", whole.string()});
    const auto intact = readPictures(whole, 1);
    const std::string bytes = test::readFile(whole);
    for (const auto& [sample, frame] : {std::pair{13, 13}, std::pair{16, 15}}) {
        // Without the second transport packet of the video's PES packet `sample`.
        std::string damaged;
        for (size_t at = 0, starts = 0, inside = 0; at + 188 <= bytes.size(); at += 188) {
            const bool video = ((uint8_t(bytes[at + 1]) & 0x1F) << 8 | uint8_t(bytes[at + 2])) == 0x100;
            if (video) inside = (uint8_t(bytes[at + 1]) & 0x40) ? (++starts, 0) : inside + 1;
            if (!video || starts != size_t(sample) + 1 || inside != 1) damaged += bytes.substr(at, 188);
        }
        const fs::path file = dir / ("without " + std::to_string(sample) + ".ts");
        test::writeFile(file, damaged);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_EQ(error, "read sample (frame " + std::to_string(frame) + " is incomplete in the file)");
            EXPECT_EQ(pictures.size(), size_t(frame));
            expectIntactRun(pictures, intact.first, 0);
        }
    }
}

// The last sample of an MPEG-TS that ends whole (its last transport packet stuffed, as writers end
// a sample) is damage, not a cut, where the decoder refuses it or it is empty: the reading fails
// naming it, after the pictures before it, at any thread count. Both read one picture or more
// short, without a word, as a file cut inside its last sample does.
TEST(DamagedSource, TheLastSampleOfAWholeMpegTsIsDamageNotACut) {
    test::TempDir dir;
    const fs::path whole = dir / "whole.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g", "25",
                  "-b_strategy", "0", whole.string()});
    const auto intact = readPictures(whole, 1);
    ASSERT_EQ(intact.first.size(), 75u);
    const auto spans = test::videoSampleSpans(whole);
    const fs::path garbled = dir / "garbled.ts", empty = dir / "empty.ts";
    fs::copy_file(whole, garbled);
    test::garble(garbled, spans.back().first + 40, spans.back().first + 52);
    fs::copy_file(whole, empty);
    test::emptyPes(empty, spans.size() - 1);
    // And in M2TS, a time code before each transport packet.
    const fs::path m2ts = dir / "garbled.m2ts";
    test::ffmpeg({"-i", whole.string(), "-c", "copy", "-f", "mpegts", "-mpegts_m2ts_mode", "1", m2ts.string()});
    const auto m2tsSpans = test::videoSampleSpans(m2ts);
    test::garble(m2ts, m2tsSpans.back().first + 40, m2tsSpans.back().first + 52);
    for (const fs::path& file : {garbled, empty, m2ts}) {
        std::optional<std::string> verdict;
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_NE(error.find("frame 7"), std::string::npos) << error;
            expectIntactRun(pictures, intact.first, 0);
            if (!verdict) verdict = error;
            EXPECT_EQ(error, *verdict);
        }
    }
}

// Every sample a file lists gives its own picture, or the reading fails naming the first picture in
// display order it can't give, after every picture before it, each the intact file's: the same on
// one thread, three and every processor. Frame threads left out, without a word, the pictures of a
// damaged stretch that a decoder begun again at a recovery point could not make (libx264's intra
// refresh, and the x264 command line's with HRD, access unit delimiters, picture timing and
// interlacing); a sample the file lists as empty failed the reading without naming its frame;
// B-frames decoded where a P picture was dropped from the file, predicted from it, passed; and so
// did an HEVC B picture whose one slice was removed, which gave no picture, and a B picture the
// file lists without data in MP4, Matroska or MPEG-TS, which the demuxer drops without a word.
TEST(DamagedSource, EverySampleGivesItsPictureOrTheReadingFailsThere) {
    test::TempDir dir;
    const auto encode = [&](const std::string& name, const std::vector<std::string>& codec) {
        std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=10", "-pix_fmt", "yuv420p"};
        args.insert(args.end(), codec.begin(), codec.end());
        args.push_back((dir / name).string());
        test::ffmpeg(args);
        return dir / name;
    };
    const fs::path refresh = encode("refresh.mp4", {"-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=30"});
    const fs::path proRes = encode("prores.mov", {"-c:v", "prores_ks"});
    const fs::path plain = encode("plain.mp4", {"-c:v", "libx264"});
    const fs::path hevc = encode("hevc.mp4", {"-c:v", "libx265", "-x265-params", "log-level=error"});
    const fs::path cli = dir / "cli.mkv";
    ASSERT_EQ(test::run({"x264", "--quiet", "--nal-hrd", "vbr", "--vbv-maxrate", "3000", "--vbv-bufsize", "3000", "--aud",
                         "--pic-struct", "--intra-refresh", "--tff", "--keyint", "30", "-o", cli.string(),
                         encode("source.y4m", {}).string()})
                  .exitCode,
              0);
    const fs::path plainMkv = dir / "plain.mkv", plainTs = dir / "plain.ts";
    test::ffmpeg({"-i", plain.string(), "-c", "copy", plainMkv.string()});
    test::ffmpeg({"-i", plain.string(), "-c", "copy", plainTs.string()});
    struct Case {
        fs::path file;
        size_t sample;
        int offset;  // of 12 garbled bytes into the sample; -1: listed empty; -2: dropped; -3: its slice removed
    };
    // Stored 4 and 7 of the plain movie are B pictures none refers to: the demuxers drop them empty.
    for (const Case& c : std::vector<Case>{{refresh, 51, 20}, {cli, 40, 60}, {cli, 100, 60}, {proRes, 26, -1}, {plain, 4, -1},
                                           {plainMkv, 7, -1}, {plainTs, 4, -1}, {plain, 5, -2}, {hevc, 3, -3}}) {
        const auto intact = readPictures(c.file, 1);
        ASSERT_EQ(intact.first.size(), 250u);
        const fs::path file = dir / (std::to_string(c.sample) + " " + c.file.filename().string());
        if (c.offset == -2) {
            test::ffmpeg({"-i", c.file.string(), "-c", "copy", "-bsf:v", "noise=drop=eq(n\\," + std::to_string(c.sample) + ")", file.string()});
        } else if (fs::copy_file(c.file, file); c.offset == -1 && file.extension() == ".mkv") {
            test::emptyBlock(file, c.sample);
        } else if (c.offset == -1 && file.extension() == ".ts") {
            test::emptyPes(file, c.sample);
        } else if (c.offset == -1) {
            test::emptySample(file, c.sample);
        } else if (c.offset == -3) {
            test::cutSlice(file, c.sample, true, 0, 0, 0);
        } else {
            const size_t at = test::videoSampleSpans(file).at(c.sample).first + size_t(c.offset);
            test::garble(file, at, at + 12);
        }
        // (MPEG-TS stamps start later: the frame is the MP4's it was copied from.)
        const std::string frame = frameSpoiledBy(c.file == plainTs ? plain : c.file, c.sample, 25);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_EQ(error, frame + " can't be decoded: " + (c.offset == -1 ? "its sample in the file is empty" : "its data is damaged"));
            EXPECT_EQ(pictures.size(), size_t(std::stoi(frame.substr(6))));
            expectIntactRun(pictures, intact.first, 0);
        }
    }
}

// A flipped bit in noisy movies, read on one thread, three and every processor: a P picture shown
// right before a key frame of a four-slice movie, which frame threads give marked damaged, and
// decoding it again on one thread began at the key frame after it, leaving it out with the B
// pictures predicted from it, unnamed; and a picture of libx264's intra refresh, which decoded
// again from its recovery point gave nothing more ("none of the video's 46 frames"). The reading
// fails naming the first picture spoiled, after the intact pictures before it.
TEST(DamagedSource, DamageInNoisyMoviesFailsAlikeAtAnyThreadCount) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=3,noise=alls=25:allf=t+u", "-pix_fmt", "yuv420p",
                  (dir / "noisy.y4m").string()});
    struct Case {
        std::string name;
        std::vector<std::string> codec;
        size_t sample, offset;
        char bit;
        size_t frame;
    };
    // Stored 67 of the first is frame 69, after B pictures 67 and 68.
    for (const Case& c : std::vector<Case>{{"slices.mp4", {"-g", "30", "-x264-params", "slices=4"}, 67, 28225, 16, 67},
                                           {"refresh.mp4", {"-g", "30", "-intra-refresh", "1", "-bf", "3"}, 29, 11257, 4, 29}}) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / c.name;
        std::vector<std::string> args{"-i", (dir / "noisy.y4m").string(), "-c:v", "libx264"};
        args.insert(args.end(), c.codec.begin(), c.codec.end());
        args.push_back(file.string());
        test::ffmpeg(args);
        const auto intact = readPictures(file, 1);
        std::string bytes = test::readFile(file);
        bytes[test::videoSampleSpans(file).at(c.sample).first + c.offset] ^= c.bit;
        test::writeFile(file, bytes);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(threads);
            const auto [pictures, error] = readPictures(file, threads);
            EXPECT_EQ(error, "frame " + std::to_string(c.frame) + " can't be decoded: its data is damaged");
            EXPECT_EQ(pictures.size(), c.frame);
            expectIntactRun(pictures, intact.first, 0);
        }
    }
}

// Lacing bits set in the flags of a Matroska block of libx264's intra refresh: frame threads
// decoded again from the recovery point before the damage, where the pictures shown around it
// are not yet whole, and named frame 69 where one thread names 71, the picture of that block.
TEST(DamagedSource, IntraRefreshDecodedAgainNamesTheFrameOneThreadNames) {
    test::TempDir dir;
    const fs::path file = dir / "refresh.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=3", "-f", "lavfi", "-i", "cellauto=s=640x360:r=25:rule=110:seed=1",
                  "-filter_complex", "[0][1]blend=all_mode=addition:all_opacity=0.35,noise=alls=20:allf=t,format=yuv420p",
                  "-frames:v", "75", "-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=30", "-fflags", "+bitexact",
                  file.string()});
    std::string bytes = test::readFile(file);
    // The block's track number, stamp, then its flags.
    bytes[test::videoSampleSpans(file).at(72).first + 3] |= 0x04;
    test::writeFile(file, bytes);
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(readPictures(file, threads).second, "frame 71 can't be decoded: its data is damaged");
    }
}

// A sample stored twice in a Matroska file owes two pictures: VP9's decoder gives both, on one thread
// and on frame threads alike (frame threads gave one, and the second, stamped alike, was not missed).
TEST(DamagedSource, ASampleStoredTwiceGivesTwoPicturesAtAnyThreadCount) {
    test::TempDir dir;
    const fs::path file = dir / "vp9.webm";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-pix_fmt", "yuv420p", "-c:v", "libvpx-vp9", "-deadline",
                  "realtime", "-g", "25", file.string()});
    test::repeatBlock(file, 42);
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const Reading r = readDecoded(file, threads);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.frames, 76u);
    }
}

// A whole read gives a picture for every sample the file holds, however the stamps run: x264's intra
// refresh with B-frames muxed by mkvmerge (decoding stamps from the first recovery point on) with a
// sample stored twice owes 76 pictures, and a read that gives fewer fails naming one, at any
// thread count.
TEST(DamagedSource, AReadThatSucceedsGaveEverySamplesPicture) {
    test::TempDir dir;
    const fs::path file = dir / "refresh.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-pix_fmt", "yuv420p", (dir / "source.y4m").string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--intra-refresh", "--keyint", "30", "-o", (dir / "refresh.264").string(),
                         (dir / "source.y4m").string()}).exitCode, 0);
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", file.string(), (dir / "refresh.264").string()}).exitCode, 0);
    for (const size_t block : {40u, 52u}) {
        const fs::path twice = dir / ("twice" + std::to_string(block) + ".mkv");
        fs::copy_file(file, twice);
        test::repeatBlock(twice, block);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(twice.filename().string() + " threads " + std::to_string(threads));
            const Reading r = readDecoded(twice, threads);
            if (r.error.empty()) EXPECT_EQ(r.frames, 76u);
            else EXPECT_NE(r.error.find("can't be decoded"), std::string::npos) << r.error;
        }
    }
}

// A noisy 640 x 360 movie of 75 pictures, whose pictures code to sizes a camera's would.
fs::path noisyY4m(const fs::path& dir) {
    const fs::path y4m = dir / "noisy.y4m";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=3", "-f", "lavfi", "-i", "cellauto=s=640x360:r=25:rule=110:seed=1",
                  "-filter_complex", "[0][1]blend=all_mode=addition:all_opacity=0.35,noise=alls=20:allf=t,format=yuv420p",
                  "-frames:v", "75", y4m.string()});
    return y4m;
}

// The reading fails naming a frame, in the same words on one thread, three and every processor.
void expectOneVerdictNamingAFrame(const fs::path& file) {
    std::optional<std::string> verdict;
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const Reading r = readDecoded(file, threads);
        EXPECT_NE(r.error.find("can't be decoded"), std::string::npos) << r.error;
        if (!verdict) verdict = r.error;
        EXPECT_EQ(r.error, *verdict);
    }
}

// x264's intra refresh with B-frames muxed by mkvmerge, stamped in decoding order from its first
// recovery point on, with bytes garbled in a sample past that point: frame threads meet the damage
// late, and decoded again on one thread, every sample is accounted for as a read on one processor
// accounts for it. Begun again at the recovery point, the account named a picture decoded before
// the damage but shown after it (frame 37 for 40, 61 for 64).
TEST(DamagedSource, DamageInIntraRefreshStampedInDecodingOrderIsNamedAlikeAtAnyThreadCount) {
    test::TempDir dir;
    const fs::path intact = dir / "refresh.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3,noise=alls=20:allf=t", "-pix_fmt", "yuv420p",
                  (dir / "noise.y4m").string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--threads", "1", "--intra-refresh", "--keyint", "30", "-o",
                         (dir / "refresh.264").string(), (dir / "noise.y4m").string()}).exitCode, 0);
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", intact.string(), "--default-duration", "0:25fps",
                         (dir / "refresh.264").string()}).exitCode, 0);
    for (const size_t sample : {40u, 64u}) {
        const fs::path file = dir / ("bytes" + std::to_string(sample) + ".mkv");
        fs::copy_file(intact, file);
        const auto span = test::videoSampleSpans(file).at(sample);
        test::garble(file, span.first + span.second / 2, span.first + span.second / 2 + 12);
        SCOPED_TRACE(file.filename().string());
        expectOneVerdictNamingAFrame(file);
    }
}

// A VP9 picture removed from a Matroska file of noisy pictures: frame threads give the error only
// when told to drain, which failed the reading in the decoder's own words; decoded again on one
// thread it names the frame, as one thread does.
TEST(DamagedSource, AVp9PictureRemovedIsNamedAtAnyThreadCount) {
    test::TempDir dir;
    const fs::path file = dir / "vp9.mkv";
    test::ffmpeg({"-i", noisyY4m(dir.path()).string(), "-c:v", "libvpx-vp9", "-b:v", "1M", "-deadline", "realtime", "-cpu-used", "8",
                  "-threads", "1", file.string()});
    test::removeBlock(file, 54);
    expectOneVerdictNamingAFrame(file);
}

// Raw x264 (HRD, access unit delimiters, picture timing, interlaced) remuxed into MP4 carries
// decoding stamps, so pictures given later stand at earlier times: decoding again on one thread
// took a picture not yet given out for one given before it and left it out. A sample zeroed in
// such a file is named alike at any thread count.
TEST(DamagedSource, DecodingAgainLeavesOutOnlyPicturesGivenOut) {
    test::TempDir dir;
    ASSERT_EQ(test::run({"x264", "--quiet", "--threads", "1", "--nal-hrd", "vbr", "--vbv-maxrate", "4000", "--vbv-bufsize", "4000",
                         "--aud", "--pic-struct", "--tff", "-o", (dir / "raw.264").string(), noisyY4m(dir.path()).string()}).exitCode, 0);
    const fs::path file = dir / "hrd.mp4";
    test::ffmpeg({"-r", "25", "-i", (dir / "raw.264").string(), "-c", "copy", file.string()});
    const auto [at, size] = test::videoSampleSpans(file).at(21);
    std::string bytes = test::readFile(file);
    std::fill_n(bytes.begin() + std::ptrdiff_t(at), size, '\0');
    test::writeFile(file, bytes);
    expectOneVerdictNamingAFrame(file);
}

// libx264's intra refresh, damaged late in a refresh: frame threads decoding again on one thread
// from the recovery point before the damage got no picture whole before it and named the next
// picture instead of the damaged one; decoding again begins where the pictures are whole by then.
TEST(DamagedSource, DecodingIntraRefreshAgainNamesTheDamagedPicture) {
    test::TempDir dir;
    const fs::path file = dir / "refresh.mkv";
    test::ffmpeg({"-i", noisyY4m(dir.path()).string(), "-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=30", "-threads",
                  "1", file.string()});
    const auto [at, size] = test::videoSampleSpans(file).at(72);
    test::garble(file, at + size / 2, at + size / 2 + 12);
    expectOneVerdictNamingAFrame(file);
}

// A stream whose SPS allows gaps in frame numbers lacks no reference where they skip: x264's open
// groups of pictures with a reference picture and the B-frames predicted from it left out before a
// key frame read whole (every picture FFmpeg decodes), at any thread count; where the SPS does not
// allow gaps, the pictures decoded after the skip fail.
TEST(DamagedSource, FrameNumbersSkipOnlyWhereTheStreamAllowsIt) {
    test::TempDir dir;
    const fs::path whole = dir / "open.mp4", cut = dir / "cut.mp4", allowed = dir / "allowed.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=8", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-x264-params",
                  "open_gop=1:keyint=50:min-keyint=50:scenecut=0", whole.string()});
    // Stored 48 is the key frame of 2 s; 44 the P picture before it, 45-47 its B-frames, 49-50 the
    // key frame's leading B-frames.
    test::ffmpeg({"-i", whole.string(), "-c", "copy", "-bsf:v",
                  "noise=drop=eq(n\\,44)+eq(n\\,45)+eq(n\\,46)+eq(n\\,47)+eq(n\\,49)+eq(n\\,50)", cut.string()});
    fs::copy_file(cut, allowed);
    test::allowFrameNumberGaps(allowed);
    const size_t expected = probedFrames(allowed).first;
    EXPECT_EQ(expected, 194u);
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const Reading r = readDecoded(allowed, threads);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.frames, expected);
        const std::string refused = readDecoded(cut, threads).error;
        EXPECT_NE(refused.find("can't be decoded: its data is damaged"), std::string::npos) << refused;
    }
}

// Raw H.264 and HEVC with B-frames remuxed by ffmpeg carry their decoding order's stamps as
// presentation stamps: no picture comes at its own sample's time, yet every one is there. So do
// x264's intra refresh with B-frames muxed by mkvmerge from the first recovery point on, and two
// streams joined where the SPS changes after B-frames, muxed by mkvmerge, stamp a few pictures out
// of their order (their pictures were left out or refused). They read whole, as many pictures as
// ffprobe decodes, at any thread count.
TEST(DamagedSource, RawStreamsRemuxedWithDecodingStampsReadWhole) {
    test::TempDir dir;
    std::vector<fs::path> files;
    for (const auto& [codec, format] : {std::pair{"libx264", "h264"}, std::pair{"libx265", "hevc"}}) {
        const fs::path raw = dir / (std::string("raw.") + format);
        files.push_back(dir / (std::string(format) + ".mp4"));
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", codec, "-bf", "3",
                      "-x265-params", "log-level=error", "-f", format, raw.string()});
        test::ffmpeg({"-r", "25", "-i", raw.string(), "-c", "copy", files.back().string()});
    }
    const auto mkvmerge = [&](const std::string& name, std::vector<std::string> args) {
        files.push_back(dir / name);
        args.insert(args.begin(), {"mkvmerge", "-q", "-o", files.back().string()});
        ASSERT_EQ(test::run(args).exitCode, 0) << "mkvmerge (mkvtoolnix)";
    };
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-pix_fmt", "yuv420p", (dir / "source.y4m").string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--intra-refresh", "--keyint", "30", "-o", (dir / "refresh.264").string(),
                         (dir / "source.y4m").string()}).exitCode, 0);
    mkvmerge("refresh.mkv", {(dir / "refresh.264").string()});
    std::string joined;
    for (const std::string size : {"320x240", "160x96"}) {
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=25:d=4", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3",
                      "-f", "h264", (dir / (size + ".264")).string()});
        joined += test::readFile(dir / (size + ".264"));
    }
    test::writeFile(dir / "joined.264", joined);
    mkvmerge("joined.mkv", {"--default-duration", "0:25fps", (dir / "joined.264").string()});
    for (const fs::path& file : files) {
        const size_t expected = probedFrames(file).first;
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
            const Reading r = readDecoded(file, threads);
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(r.frames, expected);
        }
    }
}

// A movie of 50 pictures with B-frames, read on one thread, three and every processor: the reading
// fails naming a frame, the same each time, after as many pictures as the frame's number.
void expectStructureDamageNamed(const fs::path& file, const std::string& why) {
    std::optional<std::string> verdict;
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(file.filename().string() + " threads " + std::to_string(threads));
        const auto [pictures, error] = readPictures(file, threads);
        EXPECT_NE(error.find(why), std::string::npos) << error;
        if (!verdict) verdict = error;
        EXPECT_EQ(error, *verdict);
        const size_t named = error.find("frame ");
        ASSERT_NE(named, std::string::npos) << error;
        EXPECT_EQ(pictures.size(), size_t(std::stoi(error.substr(named + 6))));
    }
}

fs::path fiftyPictures(const test::TempDir& dir, const std::string& name) {
    const fs::path out = dir / name;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g",
                  "25", out.string()});
    return out;
}

// A length of `bytesLong` bytes at `lengthAt` in a Matroska file's bytes changed by `by`.
void grow(std::string& bytes, size_t lengthAt, size_t bytesLong, int64_t by) {
    const uint64_t length = test::ebmlNumber(bytes, lengthAt, false).first + uint64_t(by);
    for (size_t k = 0; k < bytesLong; ++k) bytes[lengthAt + k] = char(length >> (8 * (bytesLong - 1 - k)));
    bytes[lengthAt] = char(uint8_t(bytes[lengthAt]) | 0x80 >> (bytesLong - 1));
}

// The cluster holding the block 50 bytes shorter than it is.
void shortenCluster(std::string& bytes, const test::MatroskaBlock& b) {
    const size_t lengthAt = b.enclosing.back().first;
    grow(bytes, lengthAt, test::ebmlNumber(bytes, lengthAt, false).second, -50);
}

// Matroska whose structure is damaged where its demuxer drops blocks and reads on, saying so only
// on its log: a block's track number one the file lacks ("Invalid track number"), a block's size
// one or seven bytes too long ("invalid as first byte of an EBML number"), lacing bits set on a
// block ("Error parsing frame sizes"), a cluster's size 50 bytes short ("exceeds containing master
// element"). Each read 45 to 49 pictures and succeeded.
TEST(DamagedSource, MatroskaStructureDamageFailsTheReading) {
    test::TempDir dir;
    const fs::path intact = fiftyPictures(dir, "intact.mkv");
    const auto damaged = [&](const std::string& name, const std::function<void(std::string&, const test::MatroskaBlock&)>& change) {
        const fs::path file = dir / name;
        std::string bytes = test::readFile(intact);
        const std::optional<test::MatroskaBlock> block = test::matroskaBlock(bytes, 20, false);
        if (block) change(bytes, *block);
        test::writeFile(file, bytes);
        return file;
    };
    for (const fs::path& file : {
             damaged("track.mkv", [](std::string& bytes, const test::MatroskaBlock& b) { bytes[b.data] = char(0x89); }),
             damaged("size1.mkv", [&](std::string& bytes, const test::MatroskaBlock& b) { grow(bytes, b.at + b.idLength, b.sizeLength, 1); }),
             damaged("size7.mkv", [&](std::string& bytes, const test::MatroskaBlock& b) { grow(bytes, b.at + b.idLength, b.sizeLength, 7); }),
             damaged("lacing.mkv", [](std::string& bytes, const test::MatroskaBlock& b) { bytes[b.data + 3] = char(bytes[b.data + 3] | 0x06); }),
             damaged("cluster.mkv", shortenCluster)})
        expectStructureDamageNamed(file, "can't be decoded: ");
}

// x264's own Matroska states no segment length, so its last cluster ends the file as a cut one
// would: with that cluster's length 50 bytes short, the tail of its last block, read as an element
// running past the file's end, passed for a cut and the pictures before it read with success.
// The file cut inside that block still reads as cut.
TEST(DamagedSource, LiveMatroskaClusterTooShortIsNoCut) {
    test::TempDir dir;
    const fs::path y4m = dir / "source.y4m", live = dir / "live.mkv", damaged = dir / "short.mkv", cut = dir / "cut.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", y4m.string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--bframes", "3", "-o", live.string(), y4m.string()}).exitCode, 0);
    std::string bytes = test::readFile(live);
    const std::optional<test::MatroskaBlock> last = test::matroskaBlock(bytes, 49, false);
    ASSERT_TRUE(last && last->end() == bytes.size() && last->enclosing.back().second == bytes.size());
    test::writeFile(cut, bytes.substr(0, last->data + last->size / 2));
    shortenCluster(bytes, *last);
    test::writeFile(damaged, bytes);
    expectStructureDamageNamed(damaged, "can't be decoded: the file's structure is damaged there");
    // The block's tail where the cluster now ends reading as a SimpleBlock's header, which only a
    // cluster holds.
    bytes.replace(last->end() - 50, 2, "\xA3\x10");
    test::writeFile(damaged, bytes);
    expectStructureDamageNamed(damaged, "can't be decoded: the file's structure is damaged there");
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const auto [pictures, error] = readPictures(cut, threads);
        EXPECT_EQ(error, "");
        EXPECT_GE(pictures.size(), 45u);
    }
}

// MP4 whose sample tables disagree: the sizes list one sample fewer than the durations ("wrong
// sample count", 49 pictures read), the durations one fewer than the sizes, the chunks one more,
// and one sample's composition offset so large that it is shown far past the track's end (48
// pictures read).
TEST(DamagedSource, Mp4SampleTablesThatDisagreeFailTheReading) {
    test::TempDir dir;
    const fs::path intact = fiftyPictures(dir, "intact.mp4");
    const std::string bytes = test::readFile(intact);
    const auto put32 = [](std::string& b, size_t i, uint32_t v) { b.replace(i, 4, std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}); };
    const auto get32 = [](const std::string& b, size_t i) {
        return uint32_t(uint8_t(b[i])) << 24 | uint32_t(uint8_t(b[i + 1])) << 16 | uint32_t(uint8_t(b[i + 2])) << 8 | uint8_t(b[i + 3]);
    };
    // After the type: version and flags, then stsz's fixed size and count; stts's, ctts's and stsc's count of entries, then the entries.
    const size_t stsz = bytes.find("stsz") + 4, stts = bytes.find("stts") + 4, ctts = bytes.find("ctts") + 4;
    const size_t stsc = bytes.find("stsc") + 4;
    ASSERT_NE(bytes.find("ctts"), std::string::npos);
    std::map<std::string, std::string> files;
    files["stsz.mp4"] = bytes;
    put32(files["stsz.mp4"], stsz + 8, get32(bytes, stsz + 8) - 1);
    files["stts.mp4"] = bytes;
    put32(files["stts.mp4"], stts + 8, get32(bytes, stts + 8) - 1);
    // Its chunks given a sample more than the sizes list.
    files["stsc.mp4"] = bytes;
    put32(files["stsc.mp4"], stsc + 12, get32(bytes, stsc + 12) + 1);
    // The entry of stored sample 10: entries of one sample each with B-frames.
    files["ctts.mp4"] = bytes;
    size_t entry = 0;
    for (uint32_t first = 0; first + get32(bytes, ctts + 8 + 8 * entry) <= 10; ++entry) first += get32(bytes, ctts + 8 + 8 * entry);
    put32(files["ctts.mp4"], ctts + 8 + 8 * entry + 4, 0x7FFF0000);
    for (const auto& [name, content] : files) {
        test::writeFile(dir / name, content);
        expectStructureDamageNamed(dir / name, "can't be decoded: the file's structure is damaged there");
    }
}

// MPEG-TS: a transport packet lost from the last PES packet (its continuity count skips; 49
// pictures read, as though the file were cut there), and an empty PES packet in 204-byte
// transport packets, which passed where the 188-byte copy is refused.
TEST(DamagedSource, MpegTsPacketsLostOrEmptyFailInAnyPacketSize) {
    test::TempDir dir;
    const fs::path ts = dir / "intact.ts";
    test::ffmpeg({"-i", fiftyPictures(dir, "intact.mp4").string(), "-c", "copy", ts.string()});
    const std::string bytes = test::readFile(ts);
    // The last PES packet of the video's PID (0x100): its second transport packet dropped.
    size_t lastStart = 0, second = 0;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        if (((uint8_t(bytes[at + 1]) & 0x1F) << 8 | uint8_t(bytes[at + 2])) != 0x100) continue;
        if (uint8_t(bytes[at + 1]) & 0x40) lastStart = at, second = 0;
        else if (second == 0) second = at;
    }
    ASSERT_GT(second, lastStart);
    test::writeFile(dir / "lost.ts", bytes.substr(0, second) + bytes.substr(second + 188));
    expectStructureDamageNamed(dir / "lost.ts", "is incomplete in the file");
    const fs::path empty = dir / "empty.ts";
    fs::copy_file(ts, empty);
    test::emptyPes(empty, 4);
    std::string wide;
    const std::string narrow = test::readFile(empty);
    for (size_t at = 0; at + 188 <= narrow.size(); at += 188) wide += narrow.substr(at, 188) + std::string(16, '\0');
    test::writeFile(dir / "empty204.ts", wide);
    expectStructureDamageNamed(empty, "can't be decoded: its sample in the file is empty");
    expectStructureDamageNamed(dir / "empty204.ts", "can't be decoded: its sample in the file is empty");
}

// Matroska written live by ffmpeg, its first cluster (the key frame alone, of noisy pictures) 50
// bytes short: the demuxer drops that block while the file is opened and says so only then, which
// was told at the end, naming the picture after the last one read instead of the first.
TEST(DamagedSource, MatroskaBlockDroppedWhileOpeningIsNamed) {
    test::TempDir dir;
    const fs::path file = dir / "live.mkv";
    test::ffmpeg({"-i", noisyY4m(dir.path()).string(), "-c:v", "libx265", "-x265-params", "log-level=error", "-f", "matroska", "-live",
                  "1", file.string()});
    std::string bytes = test::readFile(file);
    const std::optional<test::MatroskaBlock> first = test::matroskaBlock(bytes, 0, false);
    ASSERT_TRUE(first && first->enclosing.back().second == first->end());
    shortenCluster(bytes, *first);
    test::writeFile(file, bytes);
    expectStructureDamageNamed(file, "frame 0 can't be decoded: the file's structure is damaged there");
}

// HEVC in MPEG-TS losing a transport packet, which its decoder passes over: from the next to last
// PES packet, the demuxer's short mark, handed on to the last, had the file read as cut inside it;
// from the first (the key frame), the mark is lost while the file is opened. Both read short or
// whole with success, in 188-byte packets and in 204.
TEST(DamagedSource, MpegTsPacketLostFromHevcFailsTheReading) {
    test::TempDir dir;
    const fs::path ts = dir / "intact.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                  "log-level=error", ts.string()});
    const std::string bytes = test::readFile(ts);
    for (const size_t pes : {0u, 48u}) {
        // The second transport packet of the video's (PID 0x100) PES packet `pes` of 50.
        size_t starts = 0, second = 0;
        for (size_t at = 0, inside = 0; at + 188 <= bytes.size(); at += 188) {
            if (((uint8_t(bytes[at + 1]) & 0x1F) << 8 | uint8_t(bytes[at + 2])) != 0x100) continue;
            inside = (uint8_t(bytes[at + 1]) & 0x40) ? (++starts, 0) : inside + 1;
            if (starts == pes + 1 && inside == 1) second = at;
        }
        ASSERT_EQ(starts, 50u);
        ASSERT_GT(second, 0u);
        const std::string lost = bytes.substr(0, second) + bytes.substr(second + 188);
        std::string wide;
        for (size_t at = 0; at + 188 <= lost.size(); at += 188) wide += lost.substr(at, 188) + std::string(16, '\0');
        const std::string name = "lost" + std::to_string(pes);
        test::writeFile(dir / (name + ".ts"), lost);
        test::writeFile(dir / (name + "-204.ts"), wide);
        expectStructureDamageNamed(dir / (name + ".ts"), "is incomplete in the file");
        expectStructureDamageNamed(dir / (name + "-204.ts"), "is incomplete in the file");
    }
}

// QuickTime of samples of one size (raw pictures) whose size table states 50,000,000 of them: what
// the reader kept of the samples the other tables lack grew with that count (3.9 GB), so the read is
// made apart, under a 2 GB limit of address space. The file holds 76 samples at most:
// the reading fails naming the first picture past the 75 read.
TEST(DamagedSource, ASampleTableStatingMoreSamplesThanTheFileHoldsFailsInBoundedMemory) {
    test::TempDir dir;
    const fs::path file = dir / "lying.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=16x16:r=25", "-frames:v", "75", "-c:v", "rawvideo", "-pix_fmt", "uyvy422",
                  file.string()});
    std::string bytes = test::readFile(file);
    const size_t stsz = bytes.find("stsz") + 4;
    ASSERT_EQ(bytes.substr(stsz + 4, 4), std::string("\0\0\x02\0", 4));  // one size for all: 512 bytes
    bytes.replace(stsz + 8, 4, "\x02\xFA\xF0\x80");
    test::writeFile(file, bytes);
    int verdict[2] = {-1, -1};
    ASSERT_EQ(pipe(verdict), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's shadow takes terabytes of address space: there the verdict alone is held.
        const rlimit limit{size_t(2) << 30, size_t(2) << 30};
        setrlimit(RLIMIT_AS, &limit);
#endif
        std::string words;
        try {
            const auto [pictures, error] = readPictures(file, 1);
            words = std::to_string(pictures.size()) + " " + error;
        } catch (const std::bad_alloc&) {
            words = "out of memory";
        }
        [[maybe_unused]] const ssize_t n = write(verdict[1], words.data(), words.size());
        _exit(0);
    }
    close(verdict[1]);
    std::string words;
    char buffer[256];
    for (ssize_t n; (n = read(verdict[0], buffer, sizeof buffer)) > 0;) words.append(buffer, size_t(n));
    close(verdict[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(words, "75 frame 75 can't be decoded: the file's structure is damaged there");
}

// HEVC in MP4 whose sync-sample table no longer lists its first sample: the table is only a hint,
// and the stream's own IDR picture decodes whole as ffmpeg decodes it. One processor's read
// refused it ("frame 22 can't be decoded"), or read 48 pictures, none of them right; every read
// gives the intact file's 50 pictures, at any thread count.
TEST(DamagedSource, ASyncSampleTableThatLeavesOutTheFirstSampleReadsTheStreamsOwnPictures) {
    test::TempDir dir;
    const fs::path intact = dir / "intact.mp4", unlisted = dir / "unlisted.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-c:v", "libx265", "-x265-params", "log-level=error:keyint=25",
                  "-pix_fmt", "yuv420p", intact.string()});
    std::string bytes = test::readFile(intact);
    // stss: version and flags, the count, then the samples listed; the first, sample 1, left out.
    const size_t stss = bytes.find("stss") + 4;
    const auto get32 = [&](size_t i) {
        return uint32_t(uint8_t(bytes[i])) << 24 | uint32_t(uint8_t(bytes[i + 1])) << 16 | uint32_t(uint8_t(bytes[i + 2])) << 8 | uint8_t(bytes[i + 3]);
    };
    const uint32_t count = get32(stss + 4);
    ASSERT_GE(count, 2u);
    ASSERT_EQ(get32(stss + 8), 1u);
    bytes.replace(stss + 8, 4 * (count - 1), bytes.substr(stss + 12, 4 * (count - 1)));
    bytes[stss + 7] = char(count - 1);
    test::writeFile(unlisted, bytes);
    const auto whole = readPictures(intact, 1);
    ASSERT_EQ(whole.second, "");
    ASSERT_EQ(whole.first.size(), 50u);
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const auto [pictures, error] = readPictures(unlisted, threads);
        EXPECT_EQ(error, "");
        EXPECT_EQ(pictures.size(), 50u);
        expectIntactPictures(pictures, whole.first);
    }
}

// AVI whose `movi` chunk states another size than its index lists: the demuxer reads the size the
// chunk states, swallowing the chunk after it (49 pictures read with success on all processors,
// refused on one) or cutting its own short (refused as "a frame"). The reading fails naming the
// sample's frame, after the pictures before it, the same at any thread count.
TEST(DamagedSource, AnAviChunkStatingAnotherSizeThanItsIndexFailsTheReading) {
    test::TempDir dir;
    const fs::path intact = dir / "intact.avi";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g", "25",
                  intact.string()});
    const std::string bytes = test::readFile(intact);
    // The chunks of `movi` in turn, to the index: their places and sizes.
    std::vector<std::pair<size_t, uint32_t>> chunks;
    for (size_t at = bytes.find("movi") + 4; at + 8 <= bytes.size() && bytes.compare(at, 4, "idx1") != 0;) {
        const uint32_t size = uint32_t(uint8_t(bytes[at + 4])) | uint32_t(uint8_t(bytes[at + 5])) << 8 |
                              uint32_t(uint8_t(bytes[at + 6])) << 16 | uint32_t(uint8_t(bytes[at + 7])) << 24;
        chunks.emplace_back(at, size);
        at += 8 + size + (size & 1);
    }
    ASSERT_EQ(chunks.size(), 50u);
    for (const auto& [chunk, by] : {std::pair{20, 1000000}, std::pair{33, 1000000}, std::pair{48, 3}, std::pair{48, -7}}) {
        std::string damaged = bytes;
        const uint32_t size = chunks[size_t(chunk)].second + uint32_t(by);
        for (int k = 0; k < 4; ++k) damaged[chunks[size_t(chunk)].first + 4 + size_t(k)] = char(size >> (8 * k));
        const fs::path file = dir / ("chunk" + std::to_string(chunk) + "by" + std::to_string(by) + ".avi");
        test::writeFile(file, damaged);
        expectStructureDamageNamed(file, "can't be decoded: the file's structure is damaged there");
    }
}

// Damage the demuxer passes over without a word, where the file lists samples that then give no
// picture or a wrong one (all read with success before): MPEG-TS adaptation fields whose length
// is changed (stuffing run on into the payload, payload swallowed as stuffing, a PES header
// hidden so that the demuxer drops the PES packet), an HEVC PES packet stating a length of 100
// (the demuxer hands on only that much), MP4 durations of 0 (every picture at one time), and a
// fragment decoded before the one before it ends, by its `tfdt` or, in GStreamer's fragments of
// a Matroska file without decoding stamps, by durations in display order. Each is refused alike
// at any thread count; a fragment moved later only leaves a gap and reads whole.
TEST(DamagedSource, DamageTheDemuxerPassesOverFailsTheReading) {
    test::TempDir dir;
    const auto put32 = [](std::string& b, size_t i, uint32_t v) { b.replace(i, 4, std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}); };
    const auto get32 = [](const std::string& b, size_t i) {
        return uint32_t(uint8_t(b[i])) << 24 | uint32_t(uint8_t(b[i + 1])) << 16 | uint32_t(uint8_t(b[i + 2])) << 8 | uint8_t(b[i + 3]);
    };
    // The video's (PID 0x100) transport packets with an adaptation field: where each lies, whether it
    // begins a PES packet.
    const auto fielded = [](const std::string& b) {
        std::vector<std::pair<size_t, bool>> at;
        for (size_t p = 0; p + 188 <= b.size(); p += 188)
            if (((uint8_t(b[p + 1]) & 0x1F) << 8 | uint8_t(b[p + 2])) == 0x100 && (uint8_t(b[p + 3]) & 0x30) == 0x30)
                at.emplace_back(p, (uint8_t(b[p + 1]) & 0x40) != 0);
        return at;
    };
    const fs::path ts = dir / "intact.ts";
    test::ffmpeg({"-i", fiftyPictures(dir, "intact.mp4").string(), "-c", "copy", ts.string()});
    const std::string bytes = test::readFile(ts);
    size_t stuffed = 0, begins = 0;
    for (const auto& [p, start] : fielded(bytes)) {
        if (!start && !stuffed && uint8_t(bytes[p + 4]) > 60 && p > bytes.size() / 3) stuffed = p;
        if (start && !begins && p > bytes.size() / 2) begins = p;
    }
    ASSERT_TRUE(stuffed > 0 && begins > 0);
    for (const auto& [name, at, by, why] : {std::tuple{"short.ts", stuffed, -40, "is incomplete in the file"},
                                            std::tuple{"long.ts", stuffed, 20, "is incomplete in the file"},
                                            std::tuple{"hidden.ts", begins, 3, "can't be decoded: the file's structure is damaged there"}}) {
        std::string damaged = bytes;
        damaged[at + 4] = char(uint8_t(damaged[at + 4]) + by);
        test::writeFile(dir / name, damaged);
        expectStructureDamageNamed(dir / name, why);
    }

    const fs::path hevc = dir / "hevc.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                  "log-level=error", hevc.string()});
    std::string stated = test::readFile(hevc);
    size_t pes = 0;
    for (size_t p = 0; p + 188 <= stated.size(); p += 188) {
        if (((uint8_t(stated[p + 1]) & 0x1F) << 8 | uint8_t(stated[p + 2])) != 0x100 || !(uint8_t(stated[p + 1]) & 0x40) || ++pes != 20)
            continue;
        const size_t header = p + 4 + ((uint8_t(stated[p + 3]) & 0x20) ? 1 + uint8_t(stated[p + 4]) : 0);
        stated[header + 4] = 0;
        stated[header + 5] = 100;
    }
    test::writeFile(dir / "stated.ts", stated);
    expectStructureDamageNamed(dir / "stated.ts", "is incomplete in the file");

    // Without B-frames each picture is shown when it is decoded: the second is the first at a wrong time.
    const fs::path still = dir / "still.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0", still.string()});
    std::string durations = test::readFile(still);
    const size_t stts = durations.find("stts") + 4;
    for (uint32_t k = 0; k < get32(durations, stts + 4); ++k) put32(durations, stts + 8 + 8 * k + 4, 0);
    test::writeFile(still, durations);
    expectStructureDamageNamed(still, "frame 1 can't be decoded: the file's structure is damaged there");

    // Fragments of a second: the second's decoding time moved back by one, and the last's moved later.
    const fs::path fragments = dir / "fragments.mp4";
    test::ffmpeg({"-i", (dir / "intact.mp4").string(), "-c", "copy", "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
                  fragments.string()});
    const std::string fragmented = test::readFile(fragments);
    std::vector<size_t> tfdt;
    for (size_t at = fragmented.find("tfdt"); at != std::string::npos; at = fragmented.find("tfdt", at + 4)) tfdt.push_back(at + 4);
    ASSERT_EQ(tfdt.size(), 2u);
    ASSERT_EQ(fragmented[tfdt[1]], 1);  // 64-bit times
    std::string back = fragmented, later = fragmented;
    put32(back, tfdt[1] + 8, 0);
    put32(later, tfdt[1] + 8, get32(fragmented, tfdt[1] + 8) * 2);
    test::writeFile(dir / "back.mp4", back);
    test::writeFile(dir / "later.mp4", later);
    expectStructureDamageNamed(dir / "back.mp4", "frame 25 can't be decoded: the file's structure is damaged there");
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        const Reading r = readDecoded(dir / "later.mp4", threads);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.frames, 50u);
    }

    // GStreamer's fragments of an mkvmerge Matroska file of B-frames: refused on one processor
    // ("frame 2 … damaged"), 58 of 75 pictures with success on all.
    const fs::path y4m = dir / "source.y4m", raw = dir / "raw.264", mkv = dir / "b.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-pix_fmt", "yuv420p", y4m.string()});
    ASSERT_EQ(test::run({"x264", "--quiet", "--bframes", "3", "--keyint", "25", "-o", raw.string(), y4m.string()}).exitCode, 0);
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", mkv.string(), "--default-duration", "0:25fps", raw.string()}).exitCode, 0);
    for (const std::string muxer : {"mp4mux", "qtmux"}) {
        const fs::path out = dir / ("gst-" + muxer + ".mp4");
        ASSERT_EQ(test::run({"gst-launch-1.0", "-q", "filesrc", "location=" + mkv.string(), "!", "matroskademux", "!", "h264parse", "!",
                             muxer, "fragment-duration=500", "!", "filesink", "location=" + out.string()})
                      .exitCode,
                  0);
        std::optional<std::string> verdict;
        for (int run = 0; run < 2; ++run)
            for (const int threads : {1, 3, 0}) {
                SCOPED_TRACE(muxer + " threads " + std::to_string(threads));
                const Reading r = readDecoded(out, threads);
                EXPECT_NE(r.error.find("can't be decoded: the file's structure is damaged there"), std::string::npos) << r.error;
                if (!verdict) verdict = r.error;
                EXPECT_EQ(r.error, *verdict);
            }
    }
}

// A whole read on frame threads that meets damage late judges it by decoding again on one thread
// from the key frame before it, not from the file's start: 8 s, a P picture garbled at 7.4 s.
// With key frames each second, decoding again from the start sent every sample before it twice
// (about 385 in all for 200). With one key frame, of the 185 samples before the damage only the
// references are sent again (about 100): the others' pictures went out already (some 380 in all).
// The verdict is the one-thread read's, at any thread count.
TEST(DamagedSource, DamageMetLateOnFrameThreadsIsJudgedFromTheKeyFrameBeforeIt) {
    for (const auto& [keyFrames, sentAtMost] : {std::pair{"25", 200 + 50}, std::pair{"250", 200 + 130}}) {
        SCOPED_TRACE(keyFrames);
        test::TempDir dir;
        const fs::path file = dir / "late.mp4";
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=8", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-g",
                      keyFrames, "-keyint_min", "25", file.string()});
        garbleSampleAt(file, 7.4, 40);
        const Reading alone = readDecoded(file, 1);
        ASSERT_NE(alone.error, "");
        for (const int threads : {3, 8}) {
            SCOPED_TRACE(threads);
            VideoReaderSettings settings;
            settings.threads = threads;
            auto reader = VideoSampleReader::open(file, settings);
            std::string error;
            try {
                while (reader->next()) {
                }
            } catch (const ConversionError& e) {
                error = e.payload();
            }
            EXPECT_EQ(error, alone.error);
            EXPECT_LT(reader->samplesDecoded(), sentAtMost);
        }
    }
}

}  // namespace
}  // namespace qm
