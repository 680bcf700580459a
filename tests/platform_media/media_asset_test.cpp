// Source opening checked against ffprobe on media the ffmpeg command makes for each run.
#include "platform/media/media_asset.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "core/four_cc.h"
#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Each test makes only the media it uses (ctest runs every test in a process of its own).
class MediaAssetTest : public ::testing::Test {
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
            test::ffmpeg({"-f", "lavfi", "-i", video, "-f", "lavfi", "-i", "sine=r=48000:d=0.4", "-ac", "2", "-c:v",
                          "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", out});
        else if (name == "prores_hq.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "prores_ks", "-profile:v", "3", out});
        else if (name == "prores_4444.mov")
            test::ffmpeg({"-f", "lavfi", "-i", video + ",format=yuva444p10le", "-c:v", "prores_ks", "-profile:v", "4",
                          "-pix_fmt", "yuva444p10le", out});
        else if (name == "hapq.avi")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "hap", "-format", "hap_q", "-f", "avi", out});
        else if (name == "ntsc.ts")
            test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=30000/1001:d=0.4", "-c:v", "libx264", "-f", "mpegts", out});
        else if (name == "offset.mkv")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-c:v", "libx264", "-output_ts_offset", "3", out});
        else if (name == "tone.wav")
            test::ffmpeg({"-f", "lavfi", "-i", "sine=r=44100:d=0.3", "-c:a", "pcm_s16le", out});
        else if (name == "wide.mov")
            test::ffmpeg({"-f", "lavfi", "-i", "color=s=16400x16:d=0.04", "-c:v", "prores_ks", "-profile:v", "0", out});
        else if (name == "picture.png")
            test::ffmpeg({"-f", "lavfi", "-i", video, "-frames:v", "1", out});
        else
            ADD_FAILURE() << "no recipe for " << name;
    }

    static std::unique_ptr<test::TempDir> dir_;
};

std::unique_ptr<test::TempDir> MediaAssetTest::dir_;

double ratio(const std::string& text) {
    const auto slash = text.find('/');
    const double num = std::stod(text.substr(0, slash));
    const double den = std::stod(text.substr(slash + 1));
    return den == 0 ? 0 : num / den;
}

// Every fact we report for a stream agrees with ffprobe's view of the same stream.
void expectSameAsFFprobe(const MediaAsset& asset) {
    const json probe = test::ffprobe(asset.path());
    ASSERT_TRUE(probe.is_object());
    ASSERT_EQ(probe["streams"].size(), asset.tracks().size());
    for (const TrackInfo& track : asset.tracks()) {
        SCOPED_TRACE("stream " + std::to_string(track.streamIndex));
        const json& s = probe["streams"][size_t(track.streamIndex)];
        EXPECT_EQ(track.codecId, s["codec_name"].get<std::string>());
        const std::string timeBase = s["time_base"];
        EXPECT_EQ(track.naturalTimeScale, std::stoi(timeBase.substr(timeBase.find('/') + 1)));
        if (s.contains("duration_ts")) {
            EXPECT_NEAR(track.duration.seconds(), std::stod(s["duration"].get<std::string>()), 1e-6);
        } else if (s.contains("tags") && s["tags"].contains("DURATION")) {
            // Matroska's tag of the track: where its last frame ends.
            int hours = 0, minutes = 0;
            double seconds = 0;
            ASSERT_EQ(std::sscanf(s["tags"]["DURATION"].get<std::string>().c_str(), "%d:%d:%lf", &hours, &minutes, &seconds), 3);
            const double start = s.contains("start_time") ? std::stod(s["start_time"].get<std::string>()) : 0;
            EXPECT_NEAR(track.duration.seconds(), hours * 3600 + minutes * 60 + seconds - start, 1e-6);
        } else {
            EXPECT_FALSE(track.duration.isNumeric());
        }
        if (s.contains("start_time")) {
            EXPECT_NEAR(track.startTime.seconds(), std::stod(s["start_time"].get<std::string>()), 1e-6);
        }
        if (track.kind == TrackKind::video) {
            EXPECT_EQ(s["codec_type"], "video");
            EXPECT_EQ(track.width, s["width"].get<int>());
            EXPECT_EQ(track.height, s["height"].get<int>());
            EXPECT_NEAR(track.nominalFrameRate, ratio(s["avg_frame_rate"]), 1e-9);
        } else if (track.kind == TrackKind::audio) {
            EXPECT_EQ(s["codec_type"], "audio");
            EXPECT_EQ(track.sampleRate, std::stoi(s["sample_rate"].get<std::string>()));
            EXPECT_EQ(track.channels, s["channels"].get<int>());
            if (s.contains("channel_layout")) {
                EXPECT_EQ(track.channelLayout, s["channel_layout"].get<std::string>());
            }
        }
    }
    if (probe["format"].contains("duration")) {
        EXPECT_NEAR(asset.duration().seconds(), std::stod(probe["format"]["duration"].get<std::string>()), 1e-6);
    }
}

std::string tagOf(const json& probe, size_t stream) { return probe["streams"][stream]["codec_tag_string"]; }

TEST_F(MediaAssetTest, QuickTimeMoviesReportTheSampleEntryTags) {
    auto mp4 = MediaAsset::open(path("h264_aac.mp4"));
    expectSameAsFFprobe(*mp4);
    ASSERT_EQ(mp4->tracks(TrackKind::video).size(), 1u);
    const TrackInfo video = mp4->tracks(TrackKind::video)[0];
    EXPECT_EQ(video.codecType, fourCC('a', 'v', 'c', '1'));
    EXPECT_TRUE(video.decoderAvailable);
    EXPECT_EQ(video.depth, 24);
    const TrackInfo audio = mp4->tracks(TrackKind::audio).at(0);
    EXPECT_EQ(audio.codecType, fourCC('a', 'a', 'c', ' '));  // the audio format, not the sample entry 'mp4a'

    for (auto [file, tag] : {std::pair{"prores_hq.mov", "apch"}, std::pair{"prores_4444.mov", "ap4h"}}) {
        auto mov = MediaAsset::open(path(file));
        expectSameAsFFprobe(*mov);
        EXPECT_EQ(fourCCString(mov->tracks().at(0).codecType), tag);
        EXPECT_EQ(fourCCString(mov->tracks().at(0).codecType), tagOf(test::ffprobe(path(file)), 0));
        // The compressor name of the sample description.
        EXPECT_TRUE(mov->tracks().at(0).formatName.has_value());
    }
    EXPECT_EQ(MediaAsset::open(path("prores_4444.mov"))->tracks().at(0).depth, 32);
}

TEST_F(MediaAssetTest, OtherContainersNameTheCodecByItsQuickTimeTag) {
    auto ts = MediaAsset::open(path("ntsc.ts"));
    expectSameAsFFprobe(*ts);
    const TrackInfo video = ts->tracks().at(0);
    EXPECT_EQ(video.codecType, fourCC('a', 'v', 'c', '1'));  // the stream type 0x1b is no FourCC

    // Matroska has no per-stream length; the offset shows as the start time.
    auto mkv = MediaAsset::open(path("offset.mkv"));
    expectSameAsFFprobe(*mkv);
    EXPECT_NEAR(mkv->tracks().at(0).startTime.seconds(), 3.0, 1e-9);
    EXPECT_EQ(mkv->tracks().at(0).codecType, fourCC('a', 'v', 'c', '1'));

    // Hap in AVI keeps its variant tag.
    auto avi = MediaAsset::open(path("hapq.avi"));
    expectSameAsFFprobe(*avi);
    EXPECT_EQ(fourCCString(avi->tracks().at(0).codecType), "HapY");
}

TEST_F(MediaAssetTest, AudioFilesHaveOnlyAudioAndPicturesNothing) {
    auto wav = MediaAsset::open(path("tone.wav"));
    expectSameAsFFprobe(*wav);
    ASSERT_EQ(wav->tracks().size(), 1u);
    EXPECT_EQ(wav->tracks()[0].kind, TrackKind::audio);
    EXPECT_EQ(wav->tracks()[0].codecType, fourCC('l', 'p', 'c', 'm'));
    EXPECT_EQ(wav->tracks()[0].channelLayout, "mono");

    auto png = MediaAsset::open(path("picture.png"));
    EXPECT_TRUE(png->tracks().empty());
    EXPECT_NE(png->containerName(), "");
}

// Raw ADTS and MP3 without a Xing header state no length; the library's bit-rate guess is seconds
// off where the rate varies (noise, then a tone). Such a file lasts as long as ffmpeg's decode of it;
// a length the file states (Xing) is kept.
TEST(MediaAssetLengths, FilesThatStateNoLengthAreListedWithTheSoundTheyHold) {
    test::TempDir dir;
    for (const std::string codec : {"aac:noise.aac", "libmp3lame:bare.mp3", "libmp3lame:xing.mp3"}) {
        const fs::path file = dir / codec.substr(codec.find(':') + 1), pcm = dir / "decoded.raw";
        test::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=d=4:r=44100:a=0.5", "-f", "lavfi", "-i", "sine=d=4:r=44100", "-filter_complex",
                      "concat=n=2:v=0:a=1", "-c:a", codec.substr(0, codec.find(':')), "-q:a", "2", "-write_xing",
                      file.filename() == "xing.mp3" ? "1" : "0", "-f", file.extension() == ".mp3" ? "mp3" : "adts", file.string()});
        test::ffmpeg({"-i", file.string(), "-f", "s16le", "-ac", "1", pcm.string()});
        const double held = file.filename() == "xing.mp3" ? std::stod(test::ffprobe(file)["format"]["duration"].get<std::string>())
                                                          : double(fs::file_size(pcm)) / 2 / 44100;
        const auto asset = MediaAsset::open(file);
        EXPECT_NEAR(asset->duration().seconds(), held, 1e-6) << file;
        EXPECT_NEAR(asset->tracks().at(0).duration.seconds(), held, 1e-6) << file;
    }
}

TEST_F(MediaAssetTest, UnreadableFilesFailAtTheOpenStepWithTheLibraryText) {
    const auto expectOpenError = [](const fs::path& file, const std::string& text) {
        try {
            MediaAsset::open(file);
            ADD_FAILURE() << file << " opened";
        } catch (const MediaError& e) {
            EXPECT_EQ(e.step(), "open") << file;
            EXPECT_EQ(std::string(e.what()), "open (" + text + ")") << file;
        }
    };
    const std::string movie = test::readFile(path("h264_aac.mp4"));
    test::writeFile(*dir_ / "empty.mov", "");
    expectOpenError(*dir_ / "empty.mov", "Invalid data found when processing input");
    test::writeFile(*dir_ / "text.mov", "This is not a movie at all.\n");
    expectOpenError(*dir_ / "text.mov", "Invalid data found when processing input");
    test::writeFile(*dir_ / "truncated.mp4", movie.substr(0, movie.size() / 3));
    expectOpenError(*dir_ / "truncated.mp4", "Invalid data found when processing input");
    expectOpenError(*dir_ / "missing.mov", "No such file or directory");
    // A name that looks like another protocol is still only a file name.
    expectOpenError(*dir_ / "concat:a.mov|b.mov", "No such file or directory");
}

TEST_F(MediaAssetTest, PicturesWiderThan16384AreRefused) {
    const json probe = test::ffprobe(path("wide.mov"));
    ASSERT_EQ(probe["streams"][0]["width"].get<int>(), 16400);
    try {
        MediaAsset::open(path("wide.mov"));
        FAIL() << "opened";
    } catch (const MediaError& e) {
        EXPECT_EQ(e.step(), "video size");
        EXPECT_STREQ(e.what(), "video size (16400 \u00D7 16 pixels; sides above 16384 are not supported)");
    }
}

TEST(HapFrames, VariantFromTheFirstSectionHeader) {
    const auto code = [](std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> v(bytes);
        return hapCodecTypeFromFrame(v.data(), v.size());
    };
    EXPECT_EQ(code({0x10, 0, 0, 0xBB}), fourCC('H', 'a', 'p', '1'));
    EXPECT_EQ(code({0x10, 0, 0, 0xAE}), fourCC('H', 'a', 'p', '5'));
    EXPECT_EQ(code({0x10, 0, 0, 0xCF}), fourCC('H', 'a', 'p', 'Y'));
    EXPECT_EQ(code({0x10, 0, 0, 0xB1}), fourCC('H', 'a', 'p', 'A'));
    EXPECT_EQ(code({0x10, 0, 0, 0xAC}), fourCC('H', 'a', 'p', '7'));
    EXPECT_EQ(code({0, 0, 0, 0x0D, 1, 0, 0, 0}), fourCC('H', 'a', 'p', 'M'));
    EXPECT_EQ(code({0x10, 0, 0, 0x3B}), 0u);  // no such compressor
    EXPECT_EQ(code({0x10, 0, 0}), 0u);
    EXPECT_EQ(hapCodecTypeFromFrame(nullptr, 8), 0u);
}

}  // namespace
}  // namespace qm
