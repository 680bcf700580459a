// Probing checked against ffprobe on media the ffmpeg command makes for each run.
#include "engine/media_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <sstream>
#include <cstdio>
#include <thread>
#include <tuple>
#include <vector>

#include "core/conversion_error.h"
#include "core/four_cc.h"
#include "platform/media/asset_reader.h"
#include "platform/media/media_error.h"
#include "support/movie_boxes.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Each test makes only the media it uses (ctest runs every test in a process of its own).
class ProbeTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string path(const std::string& name) {
        if (!dir_) dir_ = std::make_unique<test::TempDir>();
        const fs::path file = *dir_ / name;
        if (!fs::exists(file)) make(name, file.string());
        return file.string();
    }

    static void make(const std::string& name, const std::string& out) {
        const std::string video = "testsrc2=s=64x48:r=25:d=0.4";
        if (name == "h264_aac.mp4")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-f", "lavfi", "-i", "sine=r=48000:d=0.4", "-c:v", "libx264",
                          "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", out});
        else if (name == "prores_hq.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "prores_ks", "-profile:v", "3", out});
        else if (name == "prores_4444.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video + ",format=yuva444p10le", "-c:v", "prores_ks", "-profile:v", "4",
                          "-pix_fmt", "yuva444p10le", out});
        else if (name == "hap.mov" || name == "hap_q.mov" || name == "hap_alpha.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "hap", "-format", name.substr(0, name.size() - 4), out});
        else if (name == "ntsc.mov")
            test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=80x60:r=30000/1001:d=0.4", "-c:v", "libx264", "-pix_fmt",
                          "yuv420p", out});
        else if (name == "tone.wav")
            test::ffmpeg({"-f", "lavfi", "-i", "sine=r=44100:d=0.3", "-c:a", "pcm_s16le", out});
        else if (name == "ffv1.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "ffv1", out});
        else if (name == "vp9.webm")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libvpx-vp9", "-deadline", "realtime", out});
        else if (name == "rle_argb.mov" || name == "rle_rgb.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "qtrle", "-pix_fmt", name == "rle_argb.mov" ? "argb" : "rgb24",
                          out});
        else if (name == "movie.flv" || name == "movie.mpg")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", name == "movie.flv" ? "flv" : "mpeg2video", out});
        else if (name == "picture.png")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-frames:v", "1", out});
        else if (name == "subs.mkv") {
            test::writeFile(*dir_ / "subs.srt", "1\n00:00:00,000 --> 00:00:01,000\nhello\n");
            test::ffmpeg({"-i", (*dir_ / "subs.srt").string(), out});
        } else
            ADD_FAILURE() << "no recipe for " << name;
    }

    // The first stream of the given type in ffprobe's answer.
    static json firstStream(const std::string& file, const std::string& type) {
        const json probe = test::ffprobe(path(file));
        for (const auto& s : probe["streams"])
            if (s["codec_type"] == type) return s;
        return json();
    }

    static std::unique_ptr<test::TempDir> dir_;
};

std::unique_ptr<test::TempDir> ProbeTest::dir_;

double ratio(const std::string& text) {
    const auto slash = text.find('/');
    return std::stod(text.substr(0, slash)) / std::stod(text.substr(slash + 1));
}

int timeScaleOf(const json& stream) {
    const std::string tb = stream["time_base"];
    return std::stoi(tb.substr(tb.find('/') + 1));
}

void expectVideoFacts(const MediaInfo& info, const json& stream) {
    EXPECT_EQ(fourCCString(info.codecType), stream["codec_tag_string"].get<std::string>());
    EXPECT_EQ(info.width, stream["width"].get<int>());
    EXPECT_EQ(info.height, stream["height"].get<int>());
    EXPECT_EQ(info.frameRate, double(float(ratio(stream["avg_frame_rate"]))));
    EXPECT_NEAR(info.duration.seconds(), std::stod(stream["duration"].get<std::string>()), 1e-6);
    EXPECT_EQ(info.naturalTimeScale, timeScaleOf(stream));
}

TEST_F(ProbeTest, VideoFilesMatchFfprobe) {
    const struct { const char* file; const char* name; SourceDecoder decoder; bool alpha, audio; } cases[] = {
        {"h264_aac.mp4", "H.264", SourceDecoder::native(), false, true},
        {"prores_hq.mov", "ProRes 422 HQ", SourceDecoder::native(), false, false},
        {"prores_4444.mov", "ProRes 4444", SourceDecoder::native(), true, false},
        {"hap.mov", "Hap", SourceDecoder::hap(fourCCCode("Hap1")), false, false},
        {"hap_q.mov", "Hap Q", SourceDecoder::hap(fourCCCode("HapY")), false, false},
        {"hap_alpha.mov", "Hap Alpha", SourceDecoder::hap(fourCCCode("Hap5")), true, false},
        {"ntsc.mov", "H.264", SourceDecoder::native(), false, false},  // 30000/1001 as the nominal float rate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const MediaInfo info = MediaInfo::load(path(c.file));
        expectVideoFacts(info, firstStream(c.file, "video"));
        EXPECT_EQ(info.codecName, c.name);
        EXPECT_EQ(info.decoder, c.decoder);
        EXPECT_EQ(info.hasAlpha, c.alpha);
        EXPECT_EQ(info.hasAudio, c.audio);
    }
}

// Browser and screen recordings stamp frames on a 1 ms time base at uneven times and state no
// rate (ffprobe: r_frame_rate 1000/1, avg_frame_rate 0/0); their rate is that of their frames.
TEST(ProbeRecordings, UnevenMillisecondStampsTakeTheRateOfTheirFrames) {
    test::TempDir dir;
    const struct { const char* file; const char* rate; const char* drop; bool audio, live; double expected; } cases[] = {
        {"vp9_30.webm", "30", "", false, false, 30},
        {"vp9_30_live.webm", "30", "", false, true, 30},  // no length stated
        {"vp9_24_opus_live.webm", "24", "", true, true, 24},
        {"h264_25.mkv", "25", "", false, false, 25},
        // One frame in seven dropped: 25.71 fps, near no usual rate, so as measured.
        {"vp9_dropping.webm", "30", "select='not(eq(mod(n\\,7)\\,6))',", false, false, 30.0 * 6 / 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = dir / c.file;
        std::vector<std::string> args = {"-f", "lavfi", "-i", std::string("testsrc2=s=64x48:d=3:r=") + c.rate};
        if (c.audio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=d=3", "-c:a", "libopus"});
        args.insert(args.end(), {"-vf", std::string(c.drop) + "settb=1/1000,setpts='PTS+0.006*sin(N*1.7)/TB'", "-fps_mode",
                                 "vfr", "-r", "1000", "-enc_time_base", "1:1000", "-live", c.live ? "1" : "0", "-c:v",
                                 file.extension() == ".mkv" ? "libx264" : "libvpx-vp9", "-deadline", "realtime", file.string()});
        test::ffmpeg(args);
        const json stream = test::ffprobe(file)["streams"][0];
        EXPECT_EQ(stream["r_frame_rate"], "1000/1");
        EXPECT_EQ(stream["avg_frame_rate"], "0/0");
        const MediaInfo info = MediaInfo::load(file);
        if (c.expected == std::round(c.expected)) {
            EXPECT_EQ(info.frameRate, c.expected);
        } else {
            EXPECT_NEAR(info.frameRate, c.expected, 0.05);
        }
        EXPECT_NEAR(info.duration.seconds(), 3, 0.05);
        EXPECT_EQ(info.hasAudio, c.audio);
    }
}

TEST_F(ProbeTest, AudioOnlyFilesNeedPermission) {
    try {
        MediaInfo::load(path("tone.wav"));
        FAIL() << "an audio file passed as a movie";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::noVideoTrack);
        EXPECT_STREQ(e.what(), "The file has no video track.");
    }
    const MediaInfo info = MediaInfo::load(path("tone.wav"), true);
    const json stream = firstStream("tone.wav", "audio");
    MediaInfo expected;
    expected.codecType = fourCC('l', 'p', 'c', 'm');
    expected.codecName = "PCM";
    expected.decoder = SourceDecoder::native();
    expected.frameRate = 30.0;
    expected.naturalTimeScale = 48000;
    expected.hasAudio = true;
    expected.duration = info.duration;
    EXPECT_EQ(info, expected);
    EXPECT_NEAR(info.duration.seconds(), std::stod(stream["duration"].get<std::string>()), 1e-6);
}

TEST_F(ProbeTest, FilesWithoutPicturesHaveNoVideoTrack) {
    for (bool allowAudioOnly : {false, true}) {
        for (const char* file : {"subs.mkv", "picture.png"}) {
            SCOPED_TRACE(std::string(file) + (allowAudioOnly ? " audio allowed" : ""));
            try {
                MediaInfo::load(path(file), allowAudioOnly);
                ADD_FAILURE() << "probed";
            } catch (const ConversionError& e) {
                EXPECT_EQ(e.kind(), ConversionError::Kind::noVideoTrack);
            }
        }
    }
}

// A movie trimmed without re-encoding (B-frames, an edit list leaving out the samples before the
// cut) whose last sample is stored shorter than the rest, as trimming tools leave it: the average
// over the samples strays from 25 per second, the rate the frames step at, which is its rate.
TEST(ProbeRecordings, TrimmedMoviesTakeTheRateTheirFramesStepAt) {
    test::TempDir dir;
    const auto source = dir / "source.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=6", "-c:v", "libx264", "-bf", "3", "-g", "100",
                  "-pix_fmt", "yuv420p", source.string()});
    for (const char* ext : {"mp4", "mov"}) {
        SCOPED_TRACE(ext);
        const auto trimmed = dir / (std::string("trimmed.") + ext);
        test::ffmpeg({"-ss", "2.7", "-i", source.string(), "-t", "3", "-c", "copy", trimmed.string()});
        ASSERT_TRUE(test::shortenLastSample(trimmed, 64));
        const json stream = test::ffprobe(trimmed)["streams"][0];
        ASSERT_EQ(stream["r_frame_rate"], "25/1");
        ASSERT_NE(stream["avg_frame_rate"], "25/1");
        EXPECT_EQ(MediaInfo::load(trimmed).frameRate, 25.0);
    }
}

// Raw AC-3, E-AC-3 and DTS streams and WavPack files are of a kind not taken, said so, not files
// without video.
TEST(ProbeRefusals, RawAc3AndEac3AreKindsNotTaken) {
    test::TempDir dir;
    const struct { const char* file; const char* codec; const char* name; } cases[] = {
        {"sound.ac3", "ac3", "raw AC-3"}, {"sound.eac3", "eac3", "raw E-AC-3"}, {"sound.dts", "dca", "raw DTS"},
        {"sound.wv", "wavpack", "WavPack"}};
    for (const auto& [fileName, codec, name] : cases) {
        SCOPED_TRACE(fileName);
        const auto file = dir / fileName;
        test::ffmpeg({"-f", "lavfi", "-i", "sine=r=48000:d=0.5", "-ac", "2", "-c:a", codec, "-strict", "-2", file.string()});
        for (bool allowAudioOnly : {false, true}) {
            try {
                MediaInfo::load(file, allowAudioOnly);
                ADD_FAILURE() << "probed";
            } catch (const ConversionError& e) {
                EXPECT_EQ(e.description(), std::string("Reading failed: ") + name +
                                               " files can't be read; sound is read from movies and from WAV, W64, AIFF, CAF, "
                                               "MP3, FLAC and AAC (ADTS) files");
            }
        }
    }
}

// A raw ADTS frame whose header lost its length stops the demuxer there: the file is refused
// naming where its frames stop, not listed as the half before it. A tag after the last frame is
// no damage.
TEST(ProbeRefusals, RawAdtsStoppingBeforeItsEndIsRefused) {
    test::TempDir dir;
    const auto file = dir / "sound.aac", tagged = dir / "tagged.aac";
    test::ffmpeg({"-f", "lavfi", "-i", "sine=r=48000:d=5", "-c:a", "aac", file.string()});
    std::string bytes = test::readFile(file);
    test::writeFile(tagged, bytes + "TAG" + std::string(125, ' '));
    EXPECT_NEAR(MediaInfo::load(tagged, true).duration.seconds(), 5.0, 0.05);
    // The first frame from 2.5 s on.
    const std::string listed = test::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts_time,pos",
                                          "-of", "csv=p=0", file.string()}).output;
    std::istringstream lines(listed);
    size_t pos = 0;
    for (std::string line; std::getline(lines, line);) {
        double t = 0;
        if (std::sscanf(line.c_str(), "%lf,%zu", &t, &pos) == 2 && t >= 2.5) break;
    }
    ASSERT_GT(pos, 0u);
    std::fill_n(bytes.begin() + std::ptrdiff_t(pos) + 3, 4, '\0');
    test::writeFile(file, bytes);
    try {
        const MediaInfo info = MediaInfo::load(file, true);
        ADD_FAILURE() << "listed as " << info.duration.seconds() << " s";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("can't be read from 2."), std::string::npos) << e.what();
    }
}

// Raw H.264 and HEVC streams are refused as raw streams not taken, by the probe and the reader,
// not as files without video.
TEST(ProbeRefusals, RawH264AndHevcStreamsAreKindsNotTaken) {
    test::TempDir dir;
    for (const auto& [codec, format, name] :
         {std::tuple{"libx264", "h264", "H.264"}, std::tuple{"libx265", "hevc", "HEVC"}}) {
        SCOPED_TRACE(codec);
        const auto file = dir / (std::string("movie.") + (std::string(format) == "h264" ? "264" : "265"));
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.2", "-c:v", codec, "-x265-params", "log-level=error",
                      "-f", format, file.string()});
        const std::string expected = std::string("Reading failed: raw ") + name +
                                     " streams can't be read; movies are read from QuickTime (MOV, MP4), Matroska (MKV, "
                                     "WebM), AVI, MXF and MPEG-TS files";
        for (bool allowAudioOnly : {false, true}) {
            try {
                MediaInfo::load(file, allowAudioOnly);
                ADD_FAILURE() << "probed";
            } catch (const ConversionError& e) {
                EXPECT_EQ(e.description(), expected);
            }
        }
        try {
            VideoSampleReader::open(file, {});
            ADD_FAILURE() << "opened";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.description(), expected);
        }
    }
}

// A movie in a container that is not read is refused naming the container, by the probe and by the
// reader alike, whether or not sound alone would do.
TEST_F(ProbeTest, MoviesInContainersNotReadNameTheContainer) {
    for (const auto& [file, container] : {std::pair{"movie.flv", "FLV"}, std::pair{"movie.mpg", "MPEG-PS"}}) {
        SCOPED_TRACE(file);
        const std::string expected = std::string("Reading failed: the ") + container +
                                     " container can't be read; movies are read from QuickTime (MOV, MP4), Matroska "
                                     "(MKV, WebM), AVI, MXF and MPEG-TS files";
        for (bool allowAudioOnly : {false, true}) {
            try {
                MediaInfo::load(path(file), allowAudioOnly);
                ADD_FAILURE() << "probed";
            } catch (const ConversionError& e) {
                EXPECT_EQ(e.description(), expected);
            }
        }
        try {
            VideoSampleReader::open(path(file), {});
            ADD_FAILURE() << "opened";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.description(), expected);
        }
    }
}

TEST_F(ProbeTest, CodecsOffTheListAreUnsupportedWithTheirName) {
    const MediaInfo info = MediaInfo::load(path("ffv1.mov"));
    const json stream = firstStream("ffv1.mov", "video");
    EXPECT_EQ(info.decoder, SourceDecoder::unsupported(fourCC('F', 'F', 'V', '1')));
    // No name of our own: the compressor name the file carries.
    EXPECT_EQ(info.codecName, stream["tags"]["encoder"].get<std::string>());
    EXPECT_EQ(ConversionError::unsupportedCodec(info.codecName).description(),
              "Codec " + stream["tags"]["encoder"].get<std::string>() + " can't be decoded.");
}

TEST_F(ProbeTest, OnlyQuickTimeNamesTheCompressorInItsEncoderTag) {
    // WebM's tag names the library that wrote the stream ("Lavc59.37.100 libvpx-vp9").
    ASSERT_NE(firstStream("vp9.webm", "video")["tags"].value("ENCODER", ""), "");
    EXPECT_EQ(MediaInfo::load(path("vp9.webm")).codecName, "vp09");
}

TEST_F(ProbeTest, ParallelProbesAgree) {
    // The Convert queue probes every added file in a task of its own.
    const std::vector<std::string> files = {path("hap_q.mov"), path("h264_aac.mp4"), path("tone.wav")};
    std::vector<MediaInfo> first;
    for (const auto& file : files) first.push_back(MediaInfo::load(file, true));
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                const size_t i = size_t(t + round) % files.size();
                if (!(MediaInfo::load(files[i], true) == first[i])) ++mismatches;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(CodecNames, TableThenCompressorNameThenTrimmedCode) {
    EXPECT_EQ(codecName(fourCC('a', 'v', 'c', '3')), "H.264");
    VideoFormatDescription named{fourCC('p', 'n', 'g', ' '), 8, 8, std::string("PNG Frames"), 32};
    EXPECT_EQ(codecName(named.codecType, &named), "PNG Frames");
    EXPECT_EQ(codecName(named.codecType), "png");
    VideoFormatDescription unnamed{fourCC(' ', 'a', 'b', ' '), 8, 8, std::string(), std::nullopt};
    EXPECT_EQ(codecName(unnamed.codecType, &unnamed), "ab");
    EXPECT_EQ(codecName(1), "0x00000001");
    // A table name wins over the file's own.
    VideoFormatDescription hap{fourCC('H', 'a', 'p', '1'), 8, 8, std::string("Lavc hap"), 24};
    EXPECT_EQ(codecName(hap.codecType, &hap), "Hap");
}

// The codec list first; any other code has alpha exactly when its stated depth is 32.
TEST(AlphaCodecs, ListedCodesThenDepth32) {
    const struct { const char* code; std::optional<int> depth; bool alpha; } cases[] = {
        {"ap4h", 24, true},  {"png ", std::nullopt, true}, {"DXDI", std::nullopt, true},
        {"Hap1", 32, true},  {"Hap1", 24, false},          {"rle ", 32, true},
        {"rle ", 24, false}, {"raw ", std::nullopt, false}, {"avc1", 31, false},
    };
    for (const auto& c : cases) {
        const VideoFormatDescription description{fourCCCode(c.code), 8, 8, std::nullopt, c.depth};
        EXPECT_EQ(hasAlphaCodec(description.codecType, description), c.alpha) << c.code << " " << c.depth.value_or(0);
    }
}

TEST_F(ProbeTest, AnimationMoviesAreRefusedButTheirDepthStillTellsAlpha) {
    const MediaInfo argb = MediaInfo::load(path("rle_argb.mov"));
    EXPECT_EQ(argb.decoder, SourceDecoder::unsupported(fourCCCode("rle ")));
    EXPECT_TRUE(argb.hasAlpha);
    EXPECT_FALSE(MediaInfo::load(path("rle_rgb.mov")).hasAlpha);
}

TEST(SourceDecoders, Choice) {
    const struct { const char* code; bool nativeAvailable; SourceDecoder expected; } cases[] = {
        {"HapM", false, SourceDecoder::hap(fourCCCode("HapM"))},
        {"Hap7", true, SourceDecoder::unsupported(fourCCCode("Hap7"))},
        {"nclc", false, SourceDecoder::notchLC()},
        {"DXDI", false, SourceDecoder::dxv()},
        {"dvc ", true, SourceDecoder::native()},
        {"aprn", false, SourceDecoder::unsupported(fourCCCode("aprn"))},  // on the list, but nothing here decodes it
    };
    for (const auto& c : cases) EXPECT_EQ(chooseDecoder(fourCCCode(c.code), c.nativeAvailable), c.expected) << c.code;
    EXPECT_EQ(chooseDecoder(fourCCCode("dvc"), true).kind, SourceDecoder::Kind::unsupported);  // the blank matters

    // Durations compare as times, not as numerator and denominator.
    MediaInfo a;
    a.duration = MediaTime::make(1, 2);
    MediaInfo b = a;
    b.duration = MediaTime::make(300, 600);
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace qm
