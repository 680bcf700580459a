// Source sample reading checked against ffprobe on media the ffmpeg command makes for each run.
#include "platform/media/asset_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "core/conversion_error.h"
#include "core/four_cc.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Each test makes only the media it asks for (ctest runs every test in its own process).
class ReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = std::make_unique<test::TempDir>(); }
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string path(const std::string& name) {
        const fs::path file = *dir_ / name;
        if (!fs::exists(file)) make(name, file.string());
        return file.string();
    }

    static void make(const std::string& name, const std::string& file) {
        const std::string video = "testsrc2=s=64x48:r=25:d=0.8";
        if (name == "bframes.mp4") {
            // B-frames reorder presentation against decoding; the MP4 carries an edit list for them.
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libx264", "-bf", "3", "-g", "12", "-pix_fmt", "yuv420p",
                          file});
        } else if (name == "vfr.mov") {
            // Variable frame rate: uneven gaps between frames.
            test::ffmpeg({"-f", "lavfi", "-i", video, "-vf", "setpts='if(lt(N,6),N*2,12+(N-6)*5)/25/TB'",
                          "-fps_mode", "passthrough", "-c:v", "libx264", "-bf", "2", "-pix_fmt", "yuv420p", file});
        } else if (name == "start.ts") {
            // Tracks that start after zero.
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mpegts", file});
        } else if (name == "offset.mkv") {
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libx264", "-pix_fmt", "yuv420p", "-output_ts_offset",
                          "3", file});
        } else if (name == "offset_av.mkv") {
            test::ffmpeg({"-f", "lavfi", "-i", video, "-f", "lavfi", "-i", "sine=r=48000:d=0.8", "-c:v", "libx264",
                          "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", "-output_ts_offset", "3", file});
        } else if (name == "blue709.mov") {
            // A flat colour stored with the BT.709 matrix, video range, and tagged so.
            test::ffmpeg({"-f", "lavfi", "-i", "color=c=0x3366CC:s=64x48:r=25:d=0.2", "-vf",
                          "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p10le", "-colorspace", "bt709",
                          "-color_primaries", "bt709", "-color_trc", "bt709", "-c:v", "libx264", file});
        } else if (name == "hapq.mov") {
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "hap", "-format", "hap_q", "-movflags", "+faststart",
                          file});
        } else if (name == "hap.avi") {
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "hap", "-f", "avi", file});
        } else if (name == "stereo.mov") {
            // Left channel a tone, right channel silent.
            test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=0.5*sin(440*2*PI*t)|0:s=44100:d=0.5", "-c:a", "pcm_s16le",
                          file});
        } else if (name == "picture.png") {
            test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48", "-frames:v", "1", file});
        } else if (name == "wide.mov") {
            // Wider than any side we take; PNG keeps it a few bytes.
            test::ffmpeg({"-f", "lavfi", "-i", "color=s=16400x2:d=0.04", "-c:v", "png", file});
        } else if (decodedFormatArgs().count(name) != 0) {
            std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.12"};
            for (const auto& a : decodedFormatArgs().at(name)) args.push_back(a);
            args.push_back(file);
            test::ffmpeg(args);
        } else if (name == "six.mov") {
            test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=0.1|0.2|0.3|0.4|0.5|0.6:c=5.1:s=44100:d=0.5", "-c:a",
                          "pcm_s16le", file});
        }
    }

    // Small movies whose decoders put out each of the formats that pass on unconverted.
    static const std::map<std::string, std::vector<std::string>>& decodedFormatArgs() {
        static const std::map<std::string, std::vector<std::string>> args = {
            {"prores4444a.mov", {"-vf", "format=yuva444p10le", "-c:v", "prores_ks", "-profile:v", "4"}},
            {"prores4444.mov", {"-vf", "format=yuv444p10le", "-c:v", "prores_ks", "-profile:v", "4"}},
            {"hevc10.mp4", {"-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                            "log-level=error"}},
            {"mjpeg420.mov", {"-pix_fmt", "yuvj420p", "-c:v", "mjpeg"}},
            {"vp9_full.webm", {"-pix_fmt", "yuv420p", "-color_range", "pc", "-c:v", "libvpx-vp9", "-deadline", "realtime",
                               "-cpu-used", "8"}},
            {"mjpeg422.mov", {"-pix_fmt", "yuvj422p", "-c:v", "mjpeg"}},
            {"h264_422.mp4", {"-pix_fmt", "yuv422p", "-c:v", "libx264", "-preset", "ultrafast"}},
            {"h264_444.mp4", {"-pix_fmt", "yuv444p", "-c:v", "libx264", "-preset", "ultrafast"}},
            {"ffv1_420p12.mkv", {"-pix_fmt", "yuv420p12le", "-c:v", "ffv1"}},
            {"ffv1_422p12.mkv", {"-pix_fmt", "yuv422p12le", "-c:v", "ffv1"}},
            {"png_rgb24.mov", {"-pix_fmt", "rgb24", "-c:v", "png"}},
        };
        return args;
    }

    static std::unique_ptr<test::TempDir> dir_;
};

std::unique_ptr<test::TempDir> ReaderTest::dir_;

struct ProbeFrames {
    std::vector<MediaTime> times;  // best-effort timestamps, presentation order
    MediaTime streamStart;
};

int64_t number(const json& value) {
    return value.is_string() ? std::stoll(value.get<std::string>()) : value.get<int64_t>();
}

// ffprobe's decoded frames of the first video stream, with its own time base.
ProbeFrames probeFrames(const std::string& file) {
    const auto r = test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_frames", "-show_streams",
                              "-show_entries", "frame=best_effort_timestamp:stream=time_base,start_pts", "-of", "json",
                              file});
    const json j = json::parse(r.output);
    const std::string tb = j["streams"][0]["time_base"];
    const int32_t num = std::stoi(tb.substr(0, tb.find('/')));
    const int32_t den = std::stoi(tb.substr(tb.find('/') + 1));
    ProbeFrames result;
    for (const auto& f : j["frames"]) result.times.push_back(MediaTime::make(number(f["best_effort_timestamp"]) * num, den));
    result.streamStart = MediaTime::make(number(j["streams"][0]["start_pts"]) * num, den);
    return result;
}

std::vector<VideoSample> readAll(const std::string& file, VideoReaderSettings settings) {
    auto reader = VideoSampleReader::open(file, settings);
    std::vector<VideoSample> samples;
    while (auto s = reader->next()) samples.push_back(std::move(*s));
    EXPECT_EQ(reader->status(), VideoSampleReader::Status::completed);
    return samples;
}

// Decoded frames: the same count and the same presentation times as ffprobe, durations that
// tile the time line, and the track start ffprobe reports.
TEST_F(ReaderTest, DecodedTimesMatchFFprobe) {
    for (const char* name : {"bframes.mp4", "vfr.mov", "start.ts", "offset.mkv"}) {
        SCOPED_TRACE(name);
        const ProbeFrames expected = probeFrames(path(name));
        ASSERT_FALSE(expected.times.empty());
        auto reader = VideoSampleReader::open(path(name), {});
        EXPECT_EQ(reader->track().timeRangeStart, expected.streamStart);
        std::vector<VideoSample> samples;
        while (auto s = reader->next()) samples.push_back(std::move(*s));
        ASSERT_EQ(samples.size(), expected.times.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(samples[i].time, expected.times[i]) << "frame " << i;
            ASSERT_TRUE(samples[i].pixels);
            EXPECT_EQ(samples[i].pixels->width(), 64);
            EXPECT_EQ(samples[i].pixels->pixelFormat(), kPixelFormatYUV420P);  // as decoded
            if (i + 1 < samples.size()) {
                EXPECT_EQ(samples[i].time + samples[i].duration, expected.times[i + 1]);
            }
            EXPECT_GT(samples[i].duration.seconds(), 0.0);
        }
    }
}

TEST_F(ReaderTest, NonZeroStartsAreKept) {
    // Audio keeps its place on the same time line, so it stays in sync with the video.
    auto audio = AudioSampleReader::open(path("offset_av.mkv"), {48000, 2, AudioSampleFormat::float32});
    ASSERT_TRUE(audio);
    const auto first = audio->next();
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->time.seconds(), 3.0, 0.001);
}

// A requested format is converted with the source's own matrix: a flat colour stored with the
// BT.709 matrix comes back as the RGB that the BT.709 equations give for its stored Y'CbCr.
TEST_F(ReaderTest, ConversionUsesTheSourceMatrix) {
    const auto raw = test::run({"ffmpeg", "-v", "error", "-i", path("blue709.mov"), "-frames:v", "1", "-f", "rawvideo",
                                "-pix_fmt", "yuv420p10le", "-"});
    ASSERT_EQ(raw.output.size(), 64u * 48 * 3);  // 4:2:0, two bytes a sample
    auto sample = [&](size_t at) { return double(uint8_t(raw.output[at]) | uint8_t(raw.output[at + 1]) << 8); };
    const double y = (sample(2 * (20 * 64 + 30)) - 64) / 876;
    const double cb = (sample(2 * (64 * 48 + 10 * 32 + 15)) - 512) / 896;
    const double cr = (sample(2 * (64 * 48 + 32 * 24 + 10 * 32 + 15)) - 512) / 896;
    const double r = 255 * (y + 1.5748 * cr);
    const double g = 255 * (y - 0.1873 * cb - 0.4681 * cr);
    const double b = 255 * (y + 1.8556 * cb);

    VideoReaderSettings settings;
    settings.pixelFormat = kPixelFormatBGRA;
    const auto samples = readAll(path("blue709.mov"), settings);
    ASSERT_FALSE(samples.empty());
    const uint8_t* p = samples[0].pixels->data() + 20 * samples[0].pixels->bytesPerRow() + 30 * 4;
    EXPECT_NEAR(p[0], b, 1.5);
    EXPECT_NEAR(p[1], g, 1.5);
    EXPECT_NEAR(p[2], r, 1.5);
    EXPECT_EQ(p[3], 255);
    settings.pixelFormat = kPixelFormatRGBA64LE;
    const auto deep = readAll(path("blue709.mov"), settings);
    ASSERT_EQ(deep[0].pixels->pixelFormat(), kPixelFormatRGBA64LE);
    const auto* q = reinterpret_cast<const uint16_t*>(deep[0].pixels->data() + 20 * deep[0].pixels->bytesPerRow()) + 30 * 4;
    EXPECT_NEAR(q[0] / 257.0, r, 1.0);
    EXPECT_NEAR(q[1] / 257.0, g, 1.0);
    EXPECT_NEAR(q[2] / 257.0, b, 1.0);
    EXPECT_EQ(deep[0].pixels->colorTags().matrix, ColorMatrix::bt709);
}

// Pictures in the formats decoders put out are handed on as decoded: the same bytes as ffmpeg's
// own decode into the same format, whether the reader shares the decoder's memory (intra-frame
// codecs) or copies it (pictures the decoder keeps as references). They stay valid after the
// reader is gone.
TEST_F(ReaderTest, DecodedFormatsPassUnconverted) {
    struct Case {
        const char* file;
        const char* avFormat;
        uint32_t pixelFormat;
        size_t bytesPerSample;  // per plane sample: all components of a packed pixel
    };
    const Case cases[] = {
        {"prores4444a.mov", "yuva444p12le", kPixelFormatYUVA444P12, 2},
        {"prores4444.mov", "yuv444p12le", kPixelFormatYUV444P12, 2},
        {"hevc10.mp4", "yuv420p10le", kPixelFormatYUV420P10, 2},
        {"mjpeg420.mov", "yuvj420p", kPixelFormatYUVJ420P, 1},
        // Full range in a format that does not say so itself: named as the JPEG format.
        {"vp9_full.webm", "yuv420p", kPixelFormatYUVJ420P, 1},
        {"mjpeg422.mov", "yuvj422p", kPixelFormatYUVJ422P, 1},
        {"h264_422.mp4", "yuv422p", kPixelFormatYUV422P, 1},
        {"h264_444.mp4", "yuv444p", kPixelFormatYUV444P, 1},
        {"ffv1_420p12.mkv", "yuv420p12le", kPixelFormatYUV420P12, 2},
        {"ffv1_422p12.mkv", "yuv422p12le", kPixelFormatYUV422P12, 2},
        {"png_rgb24.mov", "rgb24", kPixelFormatRGB24, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = path(c.file);
        std::vector<VideoSample> samples = readAll(file, {});
        const auto raw = test::run({"ffmpeg", "-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt", c.avFormat, "-"});
        ASSERT_EQ(samples.size(), 3u);
        // ffmpeg's frames follow one another plane by plane, rows without padding.
        size_t at = 0;
        for (const VideoSample& sample : samples) {
            const PixelBuffer& picture = *sample.pixels;
            ASSERT_EQ(picture.pixelFormat(), c.pixelFormat) << fourCCString(picture.pixelFormat());
            ASSERT_EQ(picture.width(), 64);
            ASSERT_EQ(picture.height(), 48);
            // The JPEG formats say they are full range, also where the stream does not.
            if (c.pixelFormat != kPixelFormatRGB24) {
                const bool full = c.pixelFormat == kPixelFormatYUVJ420P || c.pixelFormat == kPixelFormatYUVJ422P;
                EXPECT_EQ(picture.colorTags().range == ColorRange::full, full);
            }
            for (int p = 0; p < picture.planeCount(); ++p) {
                const size_t rowBytes = size_t(picture.planeWidth(p)) * c.bytesPerSample;
                for (int y = 0; y < picture.planeHeight(p); ++y, at += rowBytes) {
                    ASSERT_LE(at + rowBytes, raw.output.size());
                    ASSERT_EQ(std::memcmp(picture.data(p) + picture.bytesPerRow(p) * size_t(y), raw.output.data() + at, rowBytes), 0)
                        << "plane " << p << " row " << y;
                }
            }
        }
        EXPECT_EQ(at, raw.output.size());
    }
}

// A start time skips the frames that end before it and keeps the one that covers it.
TEST_F(ReaderTest, StartSkipsEarlierFrames) {
    const ProbeFrames all = probeFrames(path("bframes.mp4"));
    VideoReaderSettings settings;
    settings.start = all.times[10] + MediaTime::make(1, 100);  // 10 ms into frame 10 (40 ms long)
    const auto samples = readAll(path("bframes.mp4"), settings);
    ASSERT_EQ(samples.size(), 10u);
    EXPECT_EQ(samples[0].time, all.times[10]);
}

// Compressed samples are the stored bytes, exactly: the same per-packet hashes as ffmpeg's
// stream copy.
TEST_F(ReaderTest, CompressedSamplesAreTheStoredBytes) {
    for (const auto& [name, codecType] : {std::pair{"hapq.mov", fourCC('H', 'a', 'p', 'Y')},
                                          std::pair{"hap.avi", fourCC('H', 'a', 'p', '1')}}) {
        SCOPED_TRACE(name);
        VideoReaderSettings settings;
        settings.mode = VideoReaderSettings::Mode::compressed;
        auto reader = VideoSampleReader::open(path(name), settings);
        EXPECT_EQ(reader->track().codecType, codecType);
        std::vector<VideoSample> samples;
        while (auto s = reader->next()) samples.push_back(std::move(*s));
        const auto copy = test::run({"ffmpeg", "-v", "error", "-i", path(name), "-map", "0:v", "-c", "copy", "-f",
                                     "framemd5", "-hash", "md5", "-"});
        std::vector<std::string> sizes;
        std::istringstream lines(copy.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == '#') continue;
            std::vector<std::string> fields;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell.substr(cell.find_first_not_of(' ')));
            sizes.push_back(fields.at(4));
        }
        ASSERT_EQ(samples.size(), sizes.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(std::to_string(samples[i].bytes.size()), sizes[i]);
            EXPECT_EQ(samples[i].time, MediaTime::make(static_cast<int64_t>(i), 25)) << i;
            EXPECT_EQ(samples[i].duration, MediaTime::make(1, 25));
            EXPECT_FALSE(samples[i].pixels);
        }
        // The bytes themselves: the stored sample is found verbatim in the file.
        const std::string file = test::readFile(path(name));
        for (const auto& s : samples)
            EXPECT_NE(file.find(std::string(s.bytes.begin(), s.bytes.end())), std::string::npos);
    }
}

// A sample cut short by a truncated file is an error, never skipped.
TEST_F(ReaderTest, TruncatedSampleIsAnError) {
    const std::string whole = test::readFile(path("hapq.mov"));
    test::writeFile(path("cut.mov"), whole.substr(0, whole.size() - 200));
    VideoReaderSettings settings;
    settings.mode = VideoReaderSettings::Mode::compressed;
    auto reader = VideoSampleReader::open(path("cut.mov"), settings);
    size_t count = 0;
    try {
        while (reader->next()) ++count;
        FAIL() << "no error after " << count << " samples";
    } catch (const MediaError& e) {
        EXPECT_EQ(e.step(), "read sample");
    }
    EXPECT_EQ(reader->status(), VideoSampleReader::Status::failed);
    EXPECT_LT(count, 20u);
}

TEST_F(ReaderTest, AMovieWithoutSoundHasNoAudioReader) {
    EXPECT_EQ(AudioSampleReader::open(path("bframes.mp4"), {}), nullptr);
}

// The reader opens files as the probe does: playlists that name other files, pictures and
// oversized sources are refused, though libavformat alone would open them all.
TEST_F(ReaderTest, RefusesWhatTheProbeRefuses) {
    const std::string list = (*dir_ / "list.ffconcat").string();
    path("bframes.mp4");
    test::writeFile(list, "ffconcat version 1.0\nfile bframes.mp4\n");
    EXPECT_EQ(test::run({"ffprobe", "-v", "error", list}).exitCode, 0);  // a movie to libavformat
    for (const std::string& file : {list, path("picture.png")}) {
        SCOPED_TRACE(file);
        try {
            VideoSampleReader::open(file, {});
            FAIL() << "opened";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e, ConversionError::noVideoTrack());
        }
        EXPECT_FALSE(AudioSampleReader::probe(file));
    }
    try {
        VideoSampleReader::open(path("wide.mov"), {});
        FAIL() << "opened";
    } catch (const MediaError& e) {
        EXPECT_NE(std::string(e.what()).find("16384"), std::string::npos) << e.what();
    }
}

struct AudioTotals {
    int64_t frames = 0;
    MediaTime firstTime;
    std::vector<std::vector<uint8_t>> buffers;
};

AudioTotals readAudio(const std::string& file, AudioFormat format) {
    auto reader = AudioSampleReader::open(file, format);
    AudioTotals totals;
    MediaTime expectedNext;
    while (auto b = reader->next()) {
        if (!totals.firstTime.isValid()) totals.firstTime = b->time;
        if (expectedNext.isValid()) {
            EXPECT_EQ(b->time, expectedNext);  // contiguous
        }
        expectedNext = b->time + b->duration();
        EXPECT_EQ(b->format, format);
        totals.frames += b->frameCount;
        totals.buffers.push_back(b->planes[0]);
    }
    return totals;
}

TEST_F(ReaderTest, AudioKeepsChannelsAndRateWhenAsked) {
    const auto info = AudioSampleReader::probe(path("six.mov"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->channels, 6);
    EXPECT_EQ(info->sampleRate, 44100);
    const AudioTotals t = readAudio(path("six.mov"), {44100, 6, AudioSampleFormat::int24});
    EXPECT_EQ(t.frames, 22050);  // 0.5 s at 44.1 kHz, no sample lost or added
    EXPECT_EQ(t.firstTime, MediaTime::zero());
    // Channel order kept: the fourth channel (LFE) holds 0.4, i.e. 0.4 x 2^31 in the upper bits.
    const auto* words = reinterpret_cast<const int32_t*>(t.buffers.at(0).data());
    EXPECT_NEAR(words[3] / 2147483648.0, 0.4, 0.001);
    EXPECT_NEAR(words[5] / 2147483648.0, 0.6, 0.001);
}

TEST_F(ReaderTest, AudioResampledAndChannelsKeptApart) {
    const AudioTotals t = readAudio(path("stereo.mov"), {48000, 2, AudioSampleFormat::int16});
    EXPECT_NEAR(static_cast<double>(t.frames), 24000.0, 32.0);
    int maxLeft = 0, maxRight = 0;
    for (const auto& b : t.buffers) {
        const auto* s = reinterpret_cast<const int16_t*>(b.data());
        for (size_t i = 0; i + 1 < b.size() / 2; i += 2) {
            maxLeft = std::max(maxLeft, std::abs(int(s[i])));
            maxRight = std::max(maxRight, std::abs(int(s[i + 1])));
        }
    }
    EXPECT_NEAR(maxLeft, 16384, 400);
    EXPECT_EQ(maxRight, 0);

    // Planar float: one plane per channel.
    auto reader = AudioSampleReader::open(path("stereo.mov"), {48000, 2, AudioSampleFormat::float32Planar});
    const auto b = reader->next();
    ASSERT_TRUE(b);
    ASSERT_EQ(b->planes.size(), 2u);
    EXPECT_EQ(b->planes[1].size(), static_cast<size_t>(b->frameCount) * 4);
}

TEST_F(ReaderTest, SixChannelsDownmixedToStereo) {
    const AudioTotals t = readAudio(path("six.mov"), {48000, 2, AudioSampleFormat::float32});
    EXPECT_NEAR(static_cast<double>(t.frames), 24000.0, 32.0);
    const auto* f = reinterpret_cast<const float*>(t.buffers.at(2).data());
    EXPECT_GT(f[0], 0.1f);
    EXPECT_GT(f[1], 0.1f);
}

}  // namespace
}  // namespace qm
