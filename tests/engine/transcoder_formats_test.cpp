// Every writable output format, end to end: a small generated source converts, ffprobe confirms
// the container, codec, profile, size, timing, colour tags and audio, and the ffmpeg CLI decodes
// the result. GPU-codec movies are also held to the quality of ffmpeg's own Hap encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/conversion_error.h"
#include "engine/media_frame_reader.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "support/movie_boxes.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

struct Expectation {
    OutputFormat format;
    std::string tag;      // codec tag, or the image codec for sequences
    std::string profile;  // "" when not checked
    std::string pixFmt;   // "" when not checked
    std::string audio;    // audio codec, "" for none
    bool mp4 = false;
};

const std::vector<Expectation>& expectations() {
    static const std::vector<Expectation> table = {
        {OutputFormat::hap, "Hap1", "", "rgb0", "pcm_s16le"},
        {OutputFormat::hapAlpha, "Hap5", "", "rgba", "pcm_s16le"},
        {OutputFormat::hapQ, "HapY", "", "rgb0", "pcm_s16le"},
        {OutputFormat::hapQAlpha, "HapM", "", "rgba", "pcm_s16le"},
        {OutputFormat::dxv3, "DXD3", "", "", "pcm_s24le"},
        {OutputFormat::dxv3Alpha, "DXD3", "", "", "pcm_s24le"},
        {OutputFormat::proRes422Proxy, "apco", "Proxy", "yuv422p10le", "pcm_s24le"},
        {OutputFormat::proRes422LT, "apcs", "LT", "yuv422p10le", "pcm_s24le"},
        {OutputFormat::proRes422, "apcn", "Standard", "yuv422p10le", "pcm_s24le"},
        {OutputFormat::proRes422HQ, "apch", "HQ", "yuv422p10le", "pcm_s24le"},
        {OutputFormat::proRes4444, "ap4h", "4444", "yuva444p12le", "pcm_s24le"},
        {OutputFormat::proRes4444XQ, "ap4x", "XQ", "yuva444p12le", "pcm_s24le"},
        {OutputFormat::h264, "avc1", "High", "yuv420p", "aac", true},
        {OutputFormat::hevc, "hvc1", "Main", "yuv420p", "aac", true},
        // Debian's ffmpeg reads the colour layer alone.
        {OutputFormat::hevcAlpha, "hvc1", "Main", "yuv420p", "pcm_s24le"},
        {OutputFormat::pngSequence, "png", "", "rgba", ""},
        {OutputFormat::tiffSequence, "tiff", "", "rgba64le", ""},
        {OutputFormat::jpegSequence, "mjpeg", "", "yuvj444p", ""},
    };
    return table;
}

class TranscoderFormats : public ::testing::TestWithParam<Expectation> {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir();
        // Odd sides, so the even-side rule of H.264 and HEVC shows; lossless RGB pictures.
        source_ = dir_->path() / "Source Clip.mov";
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=162x122:r=25:d=1", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=48000:duration=1", "-ac", "2", "-vf",
                      "format=rgb24,crop=161:121:0:0", "-c:v", "png", "-c:a", "pcm_s16le", source_.string()});
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static test::TempDir* dir_;
    static fs::path source_;
};

test::TempDir* TranscoderFormats::dir_ = nullptr;
fs::path TranscoderFormats::source_;

TEST_P(TranscoderFormats, ConvertsAndReadsBackInTheFFmpegCLI) {
    const Expectation& e = GetParam();
    if (!isAvailable(e.format)) GTEST_SKIP() << rawValue(e.format) << " is not available here";
    const MediaInfo info = MediaInfo::load(source_);
    ConversionSettings settings;
    settings.format = e.format;
    const fs::path out = outputURL(e.format, source_, dir_->path());
    Transcoder transcoder(source_, out, info, settings);
    std::vector<TranscodeProgress> reports;
    std::mutex lock;
    transcoder.run([&](const TranscodeProgress& p) {
        std::lock_guard guard(lock);
        reports.push_back(p);
    });
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().fraction, 1.0);
    const bool even = e.format == OutputFormat::h264 || e.format == OutputFormat::hevc || e.format == OutputFormat::hevcAlpha;
    const int width = even ? 160 : 161;
    const int height = even ? 120 : 121;

    if (isImageSequence(e.format)) {
        ASSERT_TRUE(fs::is_directory(out));
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        ASSERT_EQ(names.size(), 25u);
        const std::string stem = out.filename().string();
        EXPECT_EQ(names.front(), stem + "_000000." + std::string(fileExtension(e.format)));
        EXPECT_EQ(names.back(), stem + "_000024." + std::string(fileExtension(e.format)));
        const auto probe = test::ffprobe(out / names.front());
        const auto video = test::streamOf(probe, "video");
        EXPECT_EQ(video.value("codec_name", ""), e.tag);
        EXPECT_EQ(video.value("width", 0), width);
        EXPECT_EQ(video.value("height", 0), height);
        EXPECT_EQ(video.value("pix_fmt", ""), e.pixFmt);
        EXPECT_TRUE(test::decodesCleanly(out / names.back()));
        return;
    }

    ASSERT_TRUE(fs::is_regular_file(out));
    const auto probe = test::ffprobe(out);
    const std::string brand = probe["format"]["tags"].value("major_brand", "");
    if (e.mp4) {
        EXPECT_NE(brand, "qt  ") << "an MPEG-4 file";
    } else {
        EXPECT_EQ(brand, "qt  ") << "a QuickTime movie";
    }
    const auto video = test::streamOf(probe, "video");
    ASSERT_FALSE(video.is_null());
    EXPECT_EQ(video.value("codec_tag_string", ""), e.tag);
    if (!e.profile.empty()) {
        EXPECT_EQ(video.value("profile", ""), e.profile);
    }
    EXPECT_EQ(video.value("width", 0), width);
    EXPECT_EQ(video.value("height", 0), height);
    if (!e.pixFmt.empty()) {
        EXPECT_EQ(video.value("pix_fmt", ""), e.pixFmt);
    }
    EXPECT_EQ(video.value("avg_frame_rate", ""), "25/1");
    EXPECT_EQ(video.value("r_frame_rate", ""), "25/1");
    EXPECT_EQ(video.value("color_primaries", ""), "bt709");
    EXPECT_EQ(video.value("color_transfer", ""), "bt709");
    if (e.tag == "DXD3") {
        // ffmpeg's DXV decoder reports its RGB output as the matrix, so read the movie's own tag:
        // a 'colr' atom of kind nclc or nclx with primaries, transfer and matrix all 1 (BT.709).
        const std::string bytes = test::readFile(out);
        const auto at = bytes.find("colrncl");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(bytes.substr(at + 8, 6), std::string("\0\1\0\1\0\1", 6));
    } else {
        EXPECT_EQ(video.value("color_space", ""), "bt709");
    }
    EXPECT_EQ(test::countFrames(out), 25);
    const auto audio = test::streamOf(probe, "audio");
    ASSERT_FALSE(audio.is_null());
    EXPECT_EQ(audio.value("codec_name", ""), e.audio);
    EXPECT_EQ(audio.value("sample_rate", ""), "48000");
    EXPECT_EQ(audio.value("channels", 0), 2);
    // Audio and video start together at zero.
    EXPECT_NEAR(std::stod(video.value("start_time", "1")), 0.0, 1e-3);
    EXPECT_NEAR(std::stod(audio.value("start_time", "1")), 0.0, 0.03);
    EXPECT_TRUE(test::decodesCleanly(out));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, TranscoderFormats, ::testing::ValuesIn(expectations()),
                         [](const auto& info) { return std::string(rawValue(info.param.format)); });

TEST(TranscoderAudio, ChannelsAndRatesFollowTheContainer) {
    test::TempDir dir;
    const auto six = test::makeH264Source(dir.path(), "six.mov", 64, 48, 44100, 6);
    const auto mono = test::makeH264Source(dir.path(), "mono.mov", 64, 48, 96000, 1);
    auto convert = [&](const fs::path& source, OutputFormat format) {
        ConversionSettings settings;
        settings.format = format;
        const fs::path out = outputURL(format, source, dir.path());
        Transcoder(source, out, MediaInfo::load(source), settings).run({});
        return test::streamOf(test::ffprobe(out), "audio");
    };
    auto a = convert(six, OutputFormat::proRes422Proxy);
    EXPECT_EQ(a.value("codec_name", ""), "pcm_s24le");
    EXPECT_EQ(a.value("channels", 0), 6);
    EXPECT_EQ(a.value("sample_rate", ""), "44100");
    a = convert(six, OutputFormat::h264);
    EXPECT_EQ(a.value("codec_name", ""), "aac");
    EXPECT_EQ(a.value("channels", 0), 2);
    EXPECT_EQ(a.value("sample_rate", ""), "44100");
    a = convert(mono, OutputFormat::hevc);
    EXPECT_EQ(a.value("codec_name", ""), "aac");
    EXPECT_EQ(a.value("channels", 0), 1);
    EXPECT_EQ(a.value("sample_rate", ""), "48000");
    ConversionSettings silent;
    silent.format = OutputFormat::hap;
    silent.includeAudio = false;
    const fs::path out = dir / "silent.mov";
    Transcoder(six, out, MediaInfo::load(six), silent).run({});
    EXPECT_TRUE(test::streamOf(test::ffprobe(out), "audio").is_null());
}

// Loud many-channel sound mixed to the two channels of an MP4: every channel of a 7.1 and a 5.1
// source carries the same tone at -6 dBFS, which the plain library remix would sum to +4 dBFS.
// Decoded by ffmpeg, no sample reaches full scale, and the tone is still there.
TEST(TranscoderAudio, AMixToStereoNeverExceedsFullScale) {
    test::TempDir dir;
    for (const std::string layout : {"7.1", "5.1"}) {
        SCOPED_TRACE(layout);
        const int channels = layout == "7.1" ? 8 : 6;
        std::string tones = "0.5*sin(2*PI*440*t)";
        for (int c = 1; c < channels; ++c) tones += "|0.5*sin(2*PI*440*t)";
        const fs::path source = dir / ("loud" + layout + ".mov");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48:r=25:d=1", "-f", "lavfi", "-i",
                      "aevalsrc=" + tones + ":c=" + layout + ":s=48000:d=1", "-c:v", "libx264", "-c:a", "pcm_f32le",
                      source.string()});
        ASSERT_EQ(test::streamOf(test::ffprobe(source), "audio").value("channels", 0), channels);
        ConversionSettings settings;
        settings.format = OutputFormat::h264;
        const fs::path out = dir / ("loud" + layout + ".mp4");
        Transcoder(source, out, MediaInfo::load(source), settings).run({});
        const fs::path raw = dir / "decoded.f32";
        test::ffmpeg({"-i", out.string(), "-vn", "-f", "f32le", "-acodec", "pcm_f32le", raw.string()});
        const std::string bytes = test::readFile(raw);
        fs::remove(raw);
        ASSERT_GE(bytes.size(), 48000u * 2 * 4 * 9 / 10);
        float peak = 0;
        for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
            float sample;
            std::memcpy(&sample, bytes.data() + at, 4);
            peak = std::max(peak, std::abs(sample));
        }
        EXPECT_LT(peak, 1.0f);
        EXPECT_GT(peak, 0.25f);
    }
}

// More than two channels in a QuickTime output are marked discrete, in order, whichever form of
// sound description the muxer picks (16-bit: version 0, 24-bit: 1, above 65535 Hz: 2); mono and
// stereo get no such layout. Every output still plays to the end without an error.
TEST(TranscoderAudio, ManyChannelsAreMarkedDiscreteInOrder) {
    test::TempDir dir;
    struct Case {
        int channels;
        int rate;
        OutputFormat format;
    };
    for (const Case& c : {Case{6, 44100, OutputFormat::proRes422}, Case{6, 48000, OutputFormat::hap},
                          Case{6, 96000, OutputFormat::proRes422}, Case{1, 48000, OutputFormat::proRes422},
                          Case{2, 48000, OutputFormat::hap}}) {
        const std::string name =
            std::to_string(c.channels) + "-" + std::to_string(c.rate) + "-" + std::string(rawValue(c.format));
        SCOPED_TRACE(name);
        const auto source = test::makeH264Source(dir.path(), name + ".mov", 64, 48, c.rate, c.channels);
        ConversionSettings settings;
        settings.format = c.format;
        const fs::path out = dir / ("out-" + name + ".mov");
        Transcoder(source, out, MediaInfo::load(source), settings).run({});
        const auto layouts = test::soundChannelLayouts(out);
        ASSERT_TRUE(layouts) << "boxes do not fill their parents";
        if (c.channels > 2) {
            ASSERT_EQ(layouts->size(), 1u);
            EXPECT_EQ((*layouts)[0].size, 24u);
            EXPECT_EQ((*layouts)[0].versionAndFlags, 0u);
            EXPECT_EQ((*layouts)[0].layoutTag, (147u << 16) | 6u);
            EXPECT_EQ((*layouts)[0].bitmap, 0u);
            EXPECT_EQ((*layouts)[0].descriptions, 0u);
        } else {
            EXPECT_TRUE(std::none_of(layouts->begin(), layouts->end(),
                                     [](const auto& box) { return box.layoutTag >> 16 == 147; }));
        }
        const auto audio = test::streamOf(test::ffprobe(out), "audio");
        EXPECT_EQ(audio.value("channels", 0), c.channels);
        EXPECT_EQ(audio.value("sample_rate", ""), std::to_string(c.rate));
        EXPECT_EQ(test::countFrames(out), 25);
        const auto decoded = test::run({"sh", "-c", "ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1", out.string()});
        EXPECT_EQ(decoded.exitCode, 0);
        EXPECT_EQ(decoded.output, "");
    }
}

// The sound of a file as ffmpeg decodes it (its input arguments, e.g. {"-i", file}), 48 kHz stereo.
std::vector<float> decodedSound(const test::TempDir& dir, std::vector<std::string> input) {
    const fs::path raw = dir / "sound.f32";
    input.insert(input.end(), {"-map", "0:a", "-f", "f32le", "-ac", "2", "-ar", "48000", raw.string()});
    test::ffmpeg(input);
    const std::string bytes = test::readFile(raw);
    fs::remove(raw);
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

// Signal to noise of `ours` against `ref` in dB (a window's worth of interleaved samples).
double snr(const float* ours, const float* ref, size_t count) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < count; ++i) {
        signal += double(ref[i]) * ref[i];
        noise += (double(ours[i]) - ref[i]) * (double(ours[i]) - ref[i]);
    }
    return noise == 0 ? 200 : 10 * std::log10(std::max(signal, 1e-20) / noise);
}

// The source converted to ProRes 422 Proxy, as Convert writes it.
fs::path convertedToProRes(const test::TempDir& dir, const fs::path& source) {
    const fs::path out = dir / "out.mov";
    ConversionSettings settings;
    settings.format = OutputFormat::proRes422Proxy;
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

// ffmpeg's decode of the source's sound placed by its stamps from the first picture on (the
// movie's start); a stamp off by less than `rounding` seconds follows on.
std::vector<float> placedSound(const test::TempDir& dir, const fs::path& source, const std::string& rounding) {
    const std::string lead = test::streamOf(test::ffprobe(source), "video").value("start_time", "0");
    return decodedSound(dir, {"-copyts", "-i", source.string(), "-af",
                              "aresample=async=1:min_hard_comp=" + rounding + ":first_pts=0,atrim=start=" + lead});
}

struct SoundGap {
    const char* file;
    const char* codec;
    friend void PrintTo(const SoundGap& gap, std::ostream* out) { *out << gap.file; }
};

class TranscoderSoundGaps : public ::testing::TestWithParam<SoundGap> {};

// A recording whose sound misses 0.3 s of stamps (a recorder that dropped sound) converts with
// silence there and the sound after it in its place: each quarter second sounds as ffmpeg's
// decode of the source placed by its stamps, within the 2 ms that Matroska's whole-millisecond
// stamps allow, and the sound lasts as long.
TEST_P(TranscoderSoundGaps, AreSilenceInPlace) {
    test::TempDir dir;
    const fs::path source = dir / GetParam().file;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=6", "-f", "lavfi", "-i",
                  "aevalsrc=0.4*sin(2*PI*(60*t+150*t*t))|0.4*sin(2*PI*(700*t-60*t*t)):s=48000:d=6", "-af",
                  "aselect='not(between(t,3,3.3))'", "-c:v", "libx264", "-c:a", GetParam().codec, source.string()});
    const fs::path out = convertedToProRes(dir, source);
    const std::vector<float> ref = placedSound(dir, source, "0.001");
    const std::vector<float> ours = decodedSound(dir, {"-i", out.string()});
    ASSERT_NEAR(double(ours.size()), double(ref.size()), 2 * 48000 * 0.03);
    const auto at = [](double seconds) { return std::ptrdiff_t(2 * std::llround(seconds * 48000)); };
    EXPECT_TRUE(std::all_of(ours.begin() + at(3.05), ours.begin() + at(3.25), [](float v) { return v == 0; }));
    constexpr std::ptrdiff_t kWindow = 2 * 12000, kLag = 96;
    const std::ptrdiff_t common = std::min(std::ptrdiff_t(ours.size()), std::ptrdiff_t(ref.size()));
    for (std::ptrdiff_t w = 2 * kLag; w + kWindow + 2 * kLag <= common; w += kWindow) {
        double best = -1000;
        for (std::ptrdiff_t lag = -kLag; lag <= kLag && best < 40; ++lag)
            best = std::max(best, snr(ours.data() + w + 2 * lag, ref.data() + w, size_t(kWindow)));
        EXPECT_GE(best, 40) << "at " << double(w) / 96000 << " s";
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, TranscoderSoundGaps,
                         ::testing::Values(SoundGap{"opus.mkv", "libopus"}, SoundGap{"aac.ts", "aac"},
                                           SoundGap{"aac.mov", "aac"}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// mkvmerge stamps a block of laced packets once; the demuxer spreads the stamp over them by
// durations cut to the millisecond, several milliseconds off over a run of short Vorbis blocks (a
// tone's onset). Made late by --sync, the sound converts at one offset from its first sample to
// its last: each quarter second within a sample of ffmpeg's decode from the start.
TEST(TranscoderSound, VorbisFromMkvmergeKeepsOneOffset) {
    test::TempDir dir;
    const fs::path encoded = dir / "vorbis.mkv", source = dir / "synced.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=5", "-f", "lavfi", "-i",
                  "aevalsrc=0.2*sin(2*PI*(200+200*t)*t)+0.5*sin(2*PI*440*t)*gt(mod(t\\,0.7)\\,0.6)|0.3*sin(2*PI*300*t):s=48000:d=5",
                  "-c:v", "libx264", "-c:a", "libvorbis", encoded.string()});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", source.string(), "--sync", "1:300", encoded.string()}).exitCode, 0);
    const fs::path out = convertedToProRes(dir, source);
    const std::vector<float> ref = placedSound(dir, source, "0.1");
    // The movie's sound starts late too, with the source's: placed from the first picture on.
    const std::vector<float> ours =
        decodedSound(dir, {"-copyts", "-i", out.string(), "-af", "aresample=async=1:min_hard_comp=0.1:first_pts=0"});
    constexpr std::ptrdiff_t kWindow = 2 * 12000;
    const std::ptrdiff_t common = std::min(std::ptrdiff_t(ours.size()), std::ptrdiff_t(ref.size()));
    for (std::ptrdiff_t w = 2 * 4800; w + kWindow + 2 <= common; w += kWindow) {
        double best = -1000;
        for (std::ptrdiff_t lag = -1; lag <= 1; ++lag) best = std::max(best, snr(ours.data() + w + 2 * lag, ref.data() + w, size_t(kWindow)));
        EXPECT_GE(best, 60) << "at " << double(w) / 96000 << " s";
    }
}

// Sound that begins after the first picture (an offset given to ffmpeg or mkvmerge) converts
// starting on the sample its stamps name, not on the millisecond before it (a QuickTime movie's
// clock, which an empty edit before the sound is counted on).
TEST(TranscoderSound, LateSoundStartsOnItsSample) {
    test::TempDir dir;
    const std::string picture = "testsrc2=s=64x48:r=25:d=3", sound = "aevalsrc=0.4*sin(2*PI*(300*t+200*t*t)):s=48000:d=2.5";
    const fs::path encoded = dir / "plain.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", sound, "-c:v", "libx264", "-c:a", "pcm_s16le", encoded.string()});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "synced.mkv").string(), "--sync", "1:1234", encoded.string()}).exitCode, 0);
    const auto offset = [&](const char* file, const char* seconds, const char* codec) {
        test::ffmpeg({"-f", "lavfi", "-i", picture, "-itsoffset", seconds, "-f", "lavfi", "-i", sound, "-c:v", "libx264", "-c:a", codec,
                      (dir / file).string()});
    };
    offset("offset.ts", "0.3487", "aac");  // stamped on a 90 kHz clock
    offset("offset.mov", "1.234", "pcm_s16le");
    for (const char* file : {"synced.mkv", "offset.ts", "offset.mov"}) {
        SCOPED_TRACE(file);
        const fs::path out = convertedToProRes(dir, dir / file);
        const std::vector<float> ref = placedSound(dir, dir / file, "0.1");
        const std::vector<float> ours =
            decodedSound(dir, {"-copyts", "-i", out.string(), "-af", "aresample=async=1:min_hard_comp=0.1:first_pts=0"});
        // The whole second after the sound's onset, at no offset.
        const size_t from = 2 * 48000 * 1, count = 2 * 48000;
        ASSERT_GE(std::min(ours.size(), ref.size()), from + count);
        EXPECT_GE(snr(ours.data() + from, ref.data() + from, count), 60);
    }
}

// Hap and DXV3 pictures are at least as faithful as ffmpeg's own Hap encoder's (0.5 dB margin).
TEST(TranscoderQuality, GPUCodecsMatchTheReferenceEncoder) {
    test::TempDir dir;
    const fs::path photo = "/usr/share/wallpapers/Autumn/contents/images/640x480.jpg";
    const fs::path source = dir / "photo.mov";
    if (fs::exists(photo))
        test::ffmpeg({"-loop", "1", "-i", photo.string(), "-vf",
                      "scale=320:240,crop=160:120:x='40+t*40':y=40,format=rgb24", "-r", "25", "-t", "0.4", "-c:v",
                      "png", source.string()});
    else
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=0.4", "-c:v", "png", "-pix_fmt", "rgb24",
                      source.string()});
    const MediaInfo info = MediaInfo::load(source);
    struct Case {
        OutputFormat format;
        const char* reference;
    };
    for (Case c : {Case{OutputFormat::hap, "hap"}, Case{OutputFormat::hapAlpha, "hap"}, Case{OutputFormat::hapQ, "hap_q"},
                   Case{OutputFormat::dxv3, "hap"}}) {
        SCOPED_TRACE(std::string(rawValue(c.format)));
        ConversionSettings settings;
        settings.format = c.format;
        const fs::path ours = dir / (std::string(rawValue(c.format)) + ".mov");
        Transcoder(source, ours, info, settings).run({});
        const fs::path reference = dir / (std::string(rawValue(c.format)) + "_ref.mov");
        test::ffmpeg({"-i", source.string(), "-c:v", "hap", "-format", c.reference, reference.string()});
        const double ourPsnr = test::psnr(ours, source, dir.path());
        const double referencePsnr = test::psnr(reference, source, dir.path());
        EXPECT_GE(ourPsnr, referencePsnr - 0.5) << "ours " << ourPsnr << " dB, reference " << referencePsnr << " dB";
        std::printf("%s: %.2f dB, ffmpeg -format %s: %.2f dB\n", std::string(rawValue(c.format)).c_str(), ourPsnr,
                    c.reference, referencePsnr);
    }

    // DXV3 with alpha is read back by our own decoder, through the frame reader.
    ConversionSettings settings;
    settings.format = OutputFormat::dxv3Alpha;
    const fs::path ours = dir / "dxv3Alpha.mov";
    Transcoder(source, ours, info, settings).run({});
    const fs::path sourceRaw = dir / "source.bgra";
    test::ffmpeg({"-i", source.string(), "-f", "rawvideo", "-pix_fmt", "bgra", sourceRaw.string()});
    const fs::path referenceRaw = dir / "reference.bgra";
    test::ffmpeg({"-i", (dir / "hap_ref.mov").string(), "-f", "rawvideo", "-pix_fmt", "bgra", referenceRaw.string()});
    const std::string sourceBytes = test::readFile(sourceRaw);
    const std::string referenceBytes = test::readFile(referenceRaw);
    const size_t frameBytes = 160 * 120 * 4;
    ASSERT_EQ(sourceBytes.size(), referenceBytes.size());
    ASSERT_EQ(sourceBytes.size() % frameBytes, 0u);
    MediaFrameReader reader(ours, MediaInfo::load(ours));
    double ourError = 0;
    double referenceError = 0;
    const size_t frames = sourceBytes.size() / frameBytes;
    for (size_t f = 0; f < frames; ++f) {
        PixelBufferRef picture = reader.frame(double(f) / 25.0);
        ASSERT_NE(picture, nullptr);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x)
                for (int c = 0; c < 3; ++c) {
                    const size_t at = f * frameBytes + size_t(y * 160 + x) * 4 + size_t(c);
                    const double want = uint8_t(sourceBytes[at]);
                    const double ourDelta = picture->data()[size_t(y) * picture->bytesPerRow() + size_t(x) * 4 + size_t(c)] - want;
                    const double referenceDelta = uint8_t(referenceBytes[at]) - want;
                    ourError += ourDelta * ourDelta;
                    referenceError += referenceDelta * referenceDelta;
                }
    }
    auto toPsnr = [&](double error) { return 10.0 * std::log10(255.0 * 255.0 / std::max(error / double(frames * 160 * 120 * 3), 1e-9)); };
    EXPECT_GE(toPsnr(ourError), toPsnr(referenceError) - 0.5);
    std::printf("dxv3Alpha (our decoder): %.2f dB, ffmpeg -format hap: %.2f dB\n", toPsnr(ourError), toPsnr(referenceError));
}

}  // namespace
}  // namespace qm
