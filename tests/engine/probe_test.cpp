// Probing checked against ffprobe on media the ffmpeg command makes for each run.
#include "engine/media_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "core/conversion_error.h"
#include "core/four_cc.h"
#include "platform/media/media_error.h"
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
        else if (name == "late.ts")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libx264", "-f", "mpegts", out});
        else if (name == "tone.wav")
            test::ffmpeg({"-f", "lavfi", "-i", "sine=r=44100:d=0.3", "-c:a", "pcm_s16le", out});
        else if (name == "ffv1.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "ffv1", out});
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

TEST_F(ProbeTest, H264WithAac) {
    const MediaInfo info = MediaInfo::load(path("h264_aac.mp4"));
    expectVideoFacts(info, firstStream("h264_aac.mp4", "video"));
    EXPECT_EQ(info.codecName, "H.264");
    EXPECT_EQ(info.decoder, SourceDecoder::native());
    EXPECT_TRUE(info.hasAudio);
    EXPECT_FALSE(info.hasAlpha);
    EXPECT_EQ(info.frameRate, 25.0);
}

TEST_F(ProbeTest, ProResFlavoursAndAlpha) {
    const MediaInfo hq = MediaInfo::load(path("prores_hq.mov"));
    expectVideoFacts(hq, firstStream("prores_hq.mov", "video"));
    EXPECT_EQ(hq.codecName, "ProRes 422 HQ");
    EXPECT_EQ(hq.decoder, SourceDecoder::native());
    EXPECT_FALSE(hq.hasAlpha);
    EXPECT_FALSE(hq.hasAudio);

    const MediaInfo p4444 = MediaInfo::load(path("prores_4444.mov"));
    expectVideoFacts(p4444, firstStream("prores_4444.mov", "video"));
    EXPECT_EQ(p4444.codecName, "ProRes 4444");
    EXPECT_TRUE(p4444.hasAlpha);
}

TEST_F(ProbeTest, HapVariantsGoToTheHapDecoder) {
    struct Case {
        const char* file;
        const char* code;
        const char* name;
        bool alpha;
    };
    for (const Case& c : {Case{"hap.mov", "Hap1", "Hap", false}, Case{"hap_q.mov", "HapY", "Hap Q", false},
                          Case{"hap_alpha.mov", "Hap5", "Hap Alpha", true}}) {
        SCOPED_TRACE(c.file);
        const MediaInfo info = MediaInfo::load(path(c.file));
        expectVideoFacts(info, firstStream(c.file, "video"));
        EXPECT_EQ(info.codecType, fourCCCode(c.code));
        EXPECT_EQ(info.decoder, SourceDecoder::hap(fourCCCode(c.code)));
        EXPECT_EQ(info.codecName, c.name);
        EXPECT_EQ(info.hasAlpha, c.alpha);
    }
}

TEST_F(ProbeTest, NtscRateIsTheNominalFloatRate) {
    const MediaInfo info = MediaInfo::load(path("ntsc.mov"));
    expectVideoFacts(info, firstStream("ntsc.mov", "video"));
    EXPECT_EQ(info.frameRate, double(float(30000.0 / 1001.0)));
    EXPECT_EQ(info.width, 80);
}

TEST_F(ProbeTest, LateStartingTransportStream) {
    const json stream = firstStream("late.ts", "video");
    ASSERT_GT(std::stod(stream["start_time"].get<std::string>()), 0.5);
    const MediaInfo info = MediaInfo::load(path("late.ts"));
    EXPECT_EQ(info.codecType, fourCC('a', 'v', 'c', '1'));  // ffprobe shows the stream type, not a FourCC
    EXPECT_EQ(info.codecName, "H.264");
    EXPECT_EQ(info.width, stream["width"].get<int>());
    EXPECT_EQ(info.frameRate, double(float(ratio(stream["avg_frame_rate"]))));
    EXPECT_NEAR(info.duration.seconds(), std::stod(stream["duration"].get<std::string>()), 1e-6);
    EXPECT_EQ(info.naturalTimeScale, 90000);
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
    EXPECT_EQ(info.codecType, fourCC('l', 'p', 'c', 'm'));
    EXPECT_EQ(info.codecName, "PCM");
    EXPECT_EQ(info.decoder, SourceDecoder::native());
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.frameRate, 30.0);
    EXPECT_EQ(info.naturalTimeScale, 48000);
    EXPECT_TRUE(info.hasAudio);
    EXPECT_FALSE(info.hasAlpha);
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

TEST_F(ProbeTest, UnreadableFilesFailWithTheOpenStep) {
    const std::string movie = test::readFile(path("prores_hq.mov"));
    test::writeFile(*dir_ / "empty.mov", "");
    test::writeFile(*dir_ / "notes.mov", "Shot list: 1. wide, 2. close.\n");
    test::writeFile(*dir_ / "cut.mov", movie.substr(0, movie.size() / 2));
    for (const char* file : {"empty.mov", "notes.mov", "cut.mov"}) {
        try {
            MediaInfo::load(path(file), true);
            ADD_FAILURE() << file << " probed";
        } catch (const MediaError& e) {
            EXPECT_EQ(e.step(), "open") << file;
            EXPECT_STREQ(e.what(), "open (Invalid data found when processing input)") << file;
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
    EXPECT_EQ(codecName(fourCC('H', 'a', 'p', 'M')), "Hap Q Alpha");
    EXPECT_EQ(codecName(fourCC('H', 'a', 'p', 'A')), "Hap Alpha-Only");
    EXPECT_EQ(codecName(fourCC('H', 'a', 'p', '7')), "Hap R");
    EXPECT_EQ(codecName(fourCC('m', 'u', 'x', 'a')), "HEVC with Alpha");
    EXPECT_EQ(codecName(fourCC('a', 'v', 'c', '3')), "H.264");
    EXPECT_EQ(codecName(fourCC('D', 'X', 'D', 'I')), "DXV");
    EXPECT_EQ(codecName(fourCC('a', 'p', '4', 'x')), "ProRes 4444 XQ");
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

TEST(CodecNames, AlphaByCodecOrDepth32) {
    VideoFormatDescription d{fourCC('a', 'v', 'c', '1'), 8, 8, std::nullopt, 24};
    EXPECT_FALSE(hasAlphaCodec(d.codecType, d));
    d.depth = 32;
    EXPECT_TRUE(hasAlphaCodec(d.codecType, d));
    d.depth.reset();
    EXPECT_FALSE(hasAlphaCodec(d.codecType, d));
    for (const char* code : {"Hap5", "HapM", "HapA", "ap4h", "ap4x", "png ", "muxa", "nclc", "DXD3", "DXDI"})
        EXPECT_TRUE(hasAlphaCodec(fourCCCode(code), VideoFormatDescription{})) << code;
    EXPECT_FALSE(hasAlphaCodec(fourCCCode("Hap1"), VideoFormatDescription{}));
}

TEST(SourceDecoders, ChoiceAndEquality) {
    EXPECT_EQ(chooseDecoder(fourCCCode("HapM"), false), SourceDecoder::hap(fourCCCode("HapM")));
    EXPECT_EQ(chooseDecoder(fourCCCode("Hap7"), true), SourceDecoder::unsupported(fourCCCode("Hap7")));
    EXPECT_EQ(chooseDecoder(fourCCCode("nclc"), false), SourceDecoder::notchLC());
    EXPECT_EQ(chooseDecoder(fourCCCode("DXD3"), false), SourceDecoder::dxv());
    EXPECT_EQ(chooseDecoder(fourCCCode("DXDI"), false), SourceDecoder::dxv());
    EXPECT_EQ(chooseDecoder(fourCCCode("apch"), true), SourceDecoder::native());
    EXPECT_EQ(chooseDecoder(fourCCCode("dvc "), true), SourceDecoder::native());
    // On the list but nothing here decodes it.
    EXPECT_EQ(chooseDecoder(fourCCCode("aprn"), false), SourceDecoder::unsupported(fourCCCode("aprn")));
    EXPECT_EQ(chooseDecoder(fourCCCode("dvc"), true).kind, SourceDecoder::Kind::unsupported);  // the blank matters
    EXPECT_NE(SourceDecoder::hap(1), SourceDecoder::hap(2));
    EXPECT_EQ((SourceDecoder{SourceDecoder::Kind::native, 5}), SourceDecoder::native());
    EXPECT_NE(SourceDecoder::unsupported(1), SourceDecoder::hap(1));

    MediaInfo a;
    a.duration = MediaTime::make(1, 2);
    MediaInfo b = a;
    b.duration = MediaTime::make(300, 600);
    EXPECT_EQ(a, b);
    b.naturalTimeScale = 601;
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace qm
