// Movie writing checked by ffprobe and by decoding every output with the ffmpeg command. What each
// output format writes is checked through the transcoder (transcoder_formats_test.cpp).
#include "platform/media/movie_writer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/resource.h>

#include "core/four_cc.h"
#include "support/movie_boxes.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using Input = MovieWriter::Input;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int32_t kScale = 12800;

// A moving gradient in the encoder's own format (8-bit or 10-bit planes, video range).
PixelBufferRef picture(uint32_t format, int index, int width = kWidth, int height = kHeight) {
    PixelBufferRef b = PixelBuffer::create(width, height, format);
    const bool deep = format != kPixelFormatYUV420P;
    for (int p = 0; p < b->planeCount(); ++p) {
        for (int y = 0; y < b->planeHeight(p); ++y) {
            uint8_t* row = b->data(p) + y * b->bytesPerRow(p);
            for (int x = 0; x < b->planeWidth(p); ++x) {
                int v8 = p == 0 ? 16 + (x * 3 + y * 2 + index * 5) % 219 : p == 3 ? 255 : 96 + p * 32;
                if (deep) {
                    const uint16_t v = p == 3 ? 1023 : static_cast<uint16_t>(v8 * 4);
                    row[2 * x] = static_cast<uint8_t>(v & 0xFF);
                    row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
                } else {
                    row[x] = static_cast<uint8_t>(v8);
                }
            }
        }
    }
    return b;
}

AudioSampleBuffer tone(int rate, int channels, int frames, int64_t startFrame, AudioSampleFormat format,
                       MediaTime offset = MediaTime::zero()) {
    AudioSampleBuffer b;
    b.format = {rate, channels, format};
    b.frameCount = frames;
    b.time = offset + MediaTime::make(startFrame, rate);
    const int bps = bytesPerSample(format);
    const bool planar = isPlanar(format);
    b.planes.assign(planar ? channels : 1, std::vector<uint8_t>(static_cast<size_t>(frames) * bps * (planar ? 1 : channels)));
    for (int i = 0; i < frames; ++i) {
        const double v = 0.25 * std::sin(2 * M_PI * 440.0 * double(startFrame + i) / rate);
        for (int c = 0; c < channels; ++c) {
            uint8_t* at = planar ? b.planes[c].data() + i * bps : b.planes[0].data() + (i * channels + c) * bps;
            if (format == AudioSampleFormat::int16) {
                const int16_t s = static_cast<int16_t>(std::lround(v * 32767));
                std::memcpy(at, &s, 2);
            } else if (format == AudioSampleFormat::int24) {
                const int32_t s = static_cast<int32_t>(std::lround(v * 8388607)) * 256;
                std::memcpy(at, &s, 4);
            } else {
                const float s = static_cast<float>(v);
                std::memcpy(at, &s, 4);
            }
        }
    }
    return b;
}

MovieVideoSettings videoSettings(uint32_t codecType) {
    MovieVideoSettings v;
    v.codecType = codecType;
    v.width = kWidth;
    v.height = kHeight;
    v.timeScale = kScale;
    v.expectedFrameRate = 25;
    v.averageBitRate = 500000;
    v.maxKeyFrameInterval = 50;
    return v;
}

const json* stream(const json& probe, const std::string& type) {
    for (const auto& s : probe["streams"])
        if (s["codec_type"] == type) return &s;
    return nullptr;
}

// The ffmpeg command decodes every frame of the file without reporting an error.
int64_t decodedFrames(const fs::path& file) {
    const auto r = test::run({"ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", file.string(), "-map", "0:v",
                              "-f", "framemd5", "-"});
    EXPECT_EQ(r.exitCode, 0) << file;
    int64_t frames = 0;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') ++frames;
    return frames;
}

class WriterTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

// Hap samples pass through byte for byte, with their FourCC and compressor name.
TEST_F(WriterTest, CompressedSamplesPassThroughUnchanged) {
    struct Variant {
        const char* format;
        const char* tag;
        const char* name;
    };
    for (const Variant& variant : {Variant{"hap", "Hap1", "Hap"}, Variant{"hap_alpha", "Hap5", "Hap Alpha"},
                                   Variant{"hap_q", "HapY", "Hap Q"}}) {
        SCOPED_TRACE(variant.tag);
        const fs::path source = dir / (std::string(variant.format) + "-source.mov");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.4,format=rgba", "-c:v", "hap", "-format",
                      variant.format, source.string()});
        VideoReaderSettings rs;
        rs.mode = VideoReaderSettings::Mode::compressed;
        auto reader = VideoSampleReader::open(source, rs);
        const fs::path out = dir / (std::string(variant.format) + "-out.mov");
        auto w = MovieWriter::create(out, MovieFileType::quickTime);
        MovieVideoSettings vs = videoSettings(fourCCCode(variant.tag));
        vs.formatName = variant.name;
        vs.depth = std::string(variant.tag) == "Hap5" ? 32 : 24;
        w->addVideoInput(vs);
        w->startWriting();
        w->startSession(reader->track().timeRangeStart);
        while (auto s = reader->next()) w->appendCompressedSample(s->bytes, s->time, s->duration);
        w->finishWriting();

        auto hashes = [](const fs::path& f) {
            return test::run({"ffmpeg", "-v", "error", "-i", f.string(), "-map", "0:v", "-c", "copy", "-f", "framemd5",
                              "-"})
                .output;
        };
        auto lastColumns = [](const std::string& text) {
            std::vector<std::string> rows;
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);)
                if (!line.empty() && line[0] != '#') rows.push_back(line.substr(line.find(',', line.find(',') + 1)));
            return rows;
        };
        EXPECT_EQ(lastColumns(hashes(out)), lastColumns(hashes(source)));
        ASSERT_EQ(lastColumns(hashes(out)).size(), 10u);
        const json probe = test::ffprobe(out);
        const json* v = stream(probe, "video");
        ASSERT_TRUE(v);
        EXPECT_EQ((*v)["codec_tag_string"], variant.tag);
        EXPECT_EQ((*v)["tags"]["encoder"], variant.name);
        EXPECT_EQ((*v)["color_primaries"], "bt709");
        EXPECT_EQ(decodedFrames(out), 10);
    }

}

// Audio may not run more than about a second ahead of the video, nor video ahead of audio;
// finishing one input releases the other.
TEST_F(WriterTest, InputsStayWithinASecondOfEachOther) {
    auto w = MovieWriter::create(dir / "interleave.mov", MovieFileType::quickTime);
    w->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'o')));
    ASSERT_TRUE(w->addAudioInput({MovieAudioSettings::Codec::pcm16, 48000, 2, 0, false}));
    EXPECT_FALSE(w->isReadyForMoreMediaData(Input::audio));  // not started
    w->startWriting();
    int64_t audioAt = 0;
    while (w->isReadyForMoreMediaData(Input::audio)) {
        w->appendAudio(tone(48000, 2, 4800, audioAt, AudioSampleFormat::int16));
        audioAt += 4800;
        ASSERT_LT(audioAt, 48000 * 5);
    }
    // Stopped after a second plus at most one buffer.
    EXPECT_GT(audioAt, 48000);
    EXPECT_LE(audioAt, 48000 + 4800 * 2);
    EXPECT_TRUE(w->isReadyForMoreMediaData(Input::video));
    EXPECT_FALSE(w->waitUntilReady(Input::audio, std::chrono::milliseconds(1)));
    const uint32_t fmt = MovieWriter::encoderPixelFormat(fourCC('a', 'p', 'c', 'o'));
    int frame = 0;
    while (!w->isReadyForMoreMediaData(Input::audio)) {
        w->appendPixelBuffer(picture(fmt, frame), MediaTime::make(frame, 25));
        ++frame;
        ASSERT_LT(frame, 100);
    }
    EXPECT_GE(frame, 3);
    // Now video runs ahead until it too must wait.
    while (w->isReadyForMoreMediaData(Input::video)) {
        w->appendPixelBuffer(picture(fmt, frame), MediaTime::make(frame, 25));
        ++frame;
        ASSERT_LT(frame, 200);
    }
    EXPECT_LE(frame / 25.0, audioAt / 48000.0 + 1.0 + 0.04 + 1e-9);
    w->markAsFinished(Input::audio);
    EXPECT_TRUE(w->isReadyForMoreMediaData(Input::video));
    w->markAsFinished(Input::video);
    EXPECT_FALSE(w->isReadyForMoreMediaData(Input::video));
    w->finishWriting();
    EXPECT_EQ(decodedFrames(dir / "interleave.mov"), frame);
}

// Once the audio has ended, video packets reach the file as they come instead of piling up in
// the muxer's queue waiting for audio that will never arrive.
TEST_F(WriterTest, EndedInputDoesNotHoldBackTheOther) {
    const fs::path file = dir / "short-audio.mov";
    auto w = MovieWriter::create(file, MovieFileType::quickTime);
    MovieVideoSettings vs = videoSettings(fourCC('a', 'p', 'c', 'h'));
    vs.width = 320;
    vs.height = 240;
    w->addVideoInput(vs);
    ASSERT_TRUE(w->addAudioInput({MovieAudioSettings::Codec::pcm16, 48000, 2, 0, false}));
    w->startWriting();
    w->appendAudio(tone(48000, 2, 4800, 0, AudioSampleFormat::int16));
    w->markAsFinished(Input::audio);
    for (int i = 0; i < 100; ++i)
        w->appendPixelBuffer(picture(kPixelFormatYUV422P10, i, 320, 240), MediaTime::make(i, 25));
    // Still under its hidden name while being written.
    fs::path writing;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with(".short-audio.mov.")) writing = entry.path();
    const auto before = fs::file_size(writing);
    w->finishWriting();
    EXPECT_GT(before, fs::file_size(file) / 2);
}

// Audio before the session start is cut off at the exact sample; frames before it are dropped.
TEST_F(WriterTest, SessionStartTrimsEarlierMedia) {
    const fs::path file = dir / "trim.mov";
    auto w = MovieWriter::create(file, MovieFileType::quickTime);
    w->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'h')));
    ASSERT_TRUE(w->addAudioInput({MovieAudioSettings::Codec::pcm16, 48000, 2, 0, false}));
    w->startWriting();
    w->startSession(MediaTime::make(2, 1));
    const uint32_t fmt = MovieWriter::encoderPixelFormat(fourCC('a', 'p', 'c', 'h'));
    for (int i = 0; i < 10; ++i) w->appendPixelBuffer(picture(fmt, i), MediaTime::make(45 + i, 25));  // 1.8 s ...
    // 1.5 s ... 2.5 s of audio: the first half second is cut.
    w->appendAudio(tone(48000, 2, 48000, 0, AudioSampleFormat::int16, MediaTime::make(3, 2)));
    w->finishWriting();
    const json probe = test::ffprobe(file);
    EXPECT_EQ((*stream(probe, "video"))["nb_frames"], "5");
    EXPECT_EQ((*stream(probe, "audio"))["duration_ts"], 24000);
}

// A rotated track keeps its display matrix: players and our reader see the same transform.
TEST_F(WriterTest, TransformIsKept) {
    const fs::path file = dir / "rotated.mov";
    auto w = MovieWriter::create(file, MovieFileType::quickTime);
    MovieVideoSettings vs = videoSettings(fourCC('a', 'p', 'c', 'o'));
    vs.transform = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};  // a quarter turn
    w->addVideoInput(vs);
    w->startWriting();
    for (int i = 0; i < 2; ++i)
        w->appendPixelBuffer(picture(kPixelFormatYUV422P10, i), MediaTime::make(i, 25), MediaTime::make(1, 25));
    w->finishWriting();
    EXPECT_EQ(VideoSampleReader::open(file, {})->track().transform, vs.transform);
    const auto r = test::run({"ffprobe", "-v", "error", "-show_entries", "stream_side_data=rotation", "-of", "csv=p=0",
                              file.string()});
    EXPECT_NE(r.output.find("90"), std::string::npos) << r.output;
}

// Files written while alive may not grow past `bytes` (writes beyond fail with EFBIG instead of
// raising SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = old_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*handler_)(int) = nullptr;
};

// Six channels in a QuickTime movie are marked discrete, in order, and a layout that cannot be
// written fails the movie rather than publishing it without one.
TEST_F(WriterTest, ManyChannelsGetADiscreteLayoutOrFailTheMovie) {
    auto write = [&](const fs::path& file) {
        auto w = MovieWriter::create(file, MovieFileType::quickTime);
        w->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'o')));
        EXPECT_TRUE(w->addAudioInput({MovieAudioSettings::Codec::pcm24, 48000, 6, 0, true}));
        w->startWriting();
        w->appendAudio(tone(48000, 6, 9600, 0, AudioSampleFormat::int24));
        for (int i = 0; i < 5; ++i) w->appendPixelBuffer(picture(kPixelFormatYUV422P10, i), MediaTime::make(i, 25));
        return w;
    };
    const fs::path first = dir / "six.mov";
    write(first)->finishWriting();
    const auto layouts = test::soundChannelLayouts(first);
    ASSERT_TRUE(layouts);
    ASSERT_EQ(layouts->size(), 1u);
    EXPECT_EQ((*layouts)[0].layoutTag, (147u << 16) | 6u);
    EXPECT_EQ((*stream(test::ffprobe(first), "audio"))["channels"], 6);

    // The same movie again where the file may hold what the muxer writes but not the box.
    const fs::path second = dir / "again.mov";
    test::writeFile(second, "old");
    auto w = write(second);
    {
        FileSizeLimit limit(fs::file_size(first) - 24);
        EXPECT_THROW(w->finishWriting(), MediaError);
    }
    EXPECT_EQ(w->status(), MovieWriter::Status::failed);
    EXPECT_EQ(w->errorText().rfind("finish (channel layout: ", 0), 0u) << w->errorText();
    w->cancelWriting();
    EXPECT_TRUE(test::readFile(second) == "old");
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}

// In a folder others may write to, the hidden movie's name can be swapped for a link while the
// run goes: the movie is written through the file the run made, whatever stands under the name
// now, and the run fails rather than publish what is not its movie.
TEST_F(WriterTest, AHiddenNameSwappedForALinkIsNeitherWrittenThroughNorPublished) {
    const fs::path file = dir / "swapped.mov";
    test::writeFile(dir / "victim.txt", "victim's text");
    auto w = MovieWriter::create(file, MovieFileType::quickTime);
    w->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'o')));
    EXPECT_TRUE(w->addAudioInput({MovieAudioSettings::Codec::pcm24, 48000, 6, 0, true}));
    w->startWriting();
    fs::path hidden;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with(".swapped.mov.")) hidden = entry.path();
    ASSERT_FALSE(hidden.empty());
    fs::rename(hidden, dir / "moved");
    fs::create_symlink(dir / "victim.txt", hidden);
    w->appendAudio(tone(48000, 6, 9600, 0, AudioSampleFormat::int24));
    for (int i = 0; i < 5; ++i) w->appendPixelBuffer(picture(kPixelFormatYUV422P10, i), MediaTime::make(i, 25));
    EXPECT_THROW(w->finishWriting(), MediaError);
    EXPECT_EQ(w->status(), MovieWriter::Status::failed);
    w->cancelWriting();
    EXPECT_EQ(test::readFile(dir / "victim.txt"), "victim's text");
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    // What the run wrote is its own complete movie, with its channel layout, under the name it
    // was moved to.
    const auto layouts = test::soundChannelLayouts(dir / "moved");
    ASSERT_TRUE(layouts);
    EXPECT_EQ((*layouts)[0].layoutTag, (147u << 16) | 6u);
}

TEST_F(WriterTest, FailuresAndCancellation) {
    // A picture in the wrong format fails the writer with a text that says why.
    {
        const fs::path file = dir / "wrong.mov";
        auto w = MovieWriter::create(file, MovieFileType::quickTime);
        w->addVideoInput(videoSettings(fourCC('a', 'p', '4', 'h')));
        w->startWriting();
        EXPECT_THROW(w->appendPixelBuffer(picture(kPixelFormatYUV422P10, 0), MediaTime::zero()), MediaError);
        EXPECT_EQ(w->status(), MovieWriter::Status::failed);
        EXPECT_NE(w->errorText().find("append ("), std::string::npos);
        EXPECT_FALSE(w->isReadyForMoreMediaData(Input::video));
        EXPECT_THROW(w->finishWriting(), MediaError);
        w->cancelWriting();
        EXPECT_FALSE(fs::exists(file));
    }
    // Until it is finished the movie lives under a hidden name, and cancelling removes it; an
    // earlier movie under the name stays until a new one is complete.
    const auto hidden = [&] {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) n += entry.path().filename().string().starts_with(".");
        return n;
    };
    {
        const fs::path file = dir / "cancel.mp4";
        test::writeFile(file, "old");
        auto w = MovieWriter::create(file, MovieFileType::mpeg4);
        w->addVideoInput(videoSettings(fourCC('a', 'v', 'c', '1')));
        w->startWriting();
        for (int i = 0; i < 5; ++i) w->appendPixelBuffer(picture(kPixelFormatYUV420P, i), MediaTime::make(i, 25));
        EXPECT_EQ(test::readFile(file), "old");
        EXPECT_EQ(hidden(), 1);
        w->cancelWriting();
        EXPECT_EQ(w->status(), MovieWriter::Status::cancelled);
        EXPECT_EQ(test::readFile(file), "old");
        EXPECT_EQ(hidden(), 0);

        auto again = MovieWriter::create(file, MovieFileType::mpeg4);
        again->addVideoInput(videoSettings(fourCC('a', 'v', 'c', '1')));
        again->startWriting();
        again->appendPixelBuffer(picture(kPixelFormatYUV420P, 0), MediaTime::zero());
        again->finishWriting();
        EXPECT_EQ(test::ffprobe(file)["streams"].size(), 1u);
        EXPECT_EQ(hidden(), 0);
    }
    // A writer dropped before finishing leaves nothing behind either.
    {
        const fs::path file = dir / "dropped.mov";
        {
            auto w = MovieWriter::create(file, MovieFileType::quickTime);
            w->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'o')));
            w->startWriting();
        }
        EXPECT_FALSE(fs::exists(file));
    }
    // A folder in the way is never removed.
    {
        const fs::path folder = dir / "folder.mov";
        fs::create_directories(folder / "inside");
        test::writeFile(folder / "inside" / "keep.txt", "keep");
        auto f = MovieWriter::create(folder, MovieFileType::quickTime);
        f->addVideoInput(videoSettings(fourCC('a', 'p', 'c', 'o')));
        try {
            f->startWriting();
            FAIL();
        } catch (const MediaError& e) {
            EXPECT_EQ(e.step(), "start");
        }
        f->cancelWriting();
        EXPECT_TRUE(fs::exists(folder / "inside" / "keep.txt"));
    }
    // Unknown codec types are refused when the input is added.
    {
        auto w = MovieWriter::create(dir / "unknown.mov", MovieFileType::quickTime);
        try {
            w->addVideoInput(videoSettings(fourCC('n', 'c', 'l', 'c')));
            FAIL();
        } catch (const MediaError& e) {
            EXPECT_EQ(e.step(), "video input");
        }
    }
    // A picture smaller than HEVC codes is refused in words, not as an encoder that will not open.
    {
        auto w = MovieWriter::create(dir / "tiny.mp4", MovieFileType::mpeg4);
        MovieVideoSettings tiny = videoSettings(fourCC('h', 'v', 'c', '1'));
        tiny.width = 8;
        tiny.height = 16;
        try {
            w->addVideoInput(tiny);
            FAIL();
        } catch (const MediaError& e) {
            EXPECT_STREQ(e.what(), "video input (HEVC needs pictures of at least 16 × 16 pixels, not 8 × 16)");
        }
        // An encoder's own refusal (H.264 codes even sides only) names the encoder and the size.
        auto odd = MovieWriter::create(dir / "odd.mp4", MovieFileType::mpeg4);
        MovieVideoSettings oddSides = videoSettings(fourCC('a', 'v', 'c', '1'));
        oddSides.width = 7;
        oddSides.height = 7;
        try {
            odd->addVideoInput(oddSides);
            FAIL();
        } catch (const MediaError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("video input (the H.264 encoder refused a picture of 7 × 7 pixels: "))
                << e.what();
        }
    }
}

}  // namespace
}  // namespace qm
