// The pictures themselves, on every frame: sources of every decoded pixel format against the
// lossless original they were made from, and every encoded output format against ffmpeg's own
// encode of the same source with the same settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

#include "codecs/dxv_codec.h"
#include "engine/transcode_rules.h"
#include "engine/transcoder.h"
#include "platform/media/asset_reader.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

const fs::path kPhoto = "/usr/share/wallpapers/Autumn/contents/images/1920x1080.jpg";
constexpr int kFrames = 30;

// A lossless RGB(A) moving picture: a crop of a natural photograph panning two pixels a frame,
// with an alpha ramp that moves as well when asked for.
fs::path makeOriginal(const fs::path& dir, const std::string& name, int width, int height, bool alpha) {
    std::string filter = "crop=" + std::to_string(width) + ":" + std::to_string(height) + ":x='200+t*60':y=300";
    filter += alpha ? ",format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='clip(40+X+3*N,0,255)'" : ",format=rgb24";
    const fs::path file = dir / name;
    test::ffmpeg({"-loop", "1", "-framerate", "30", "-i", kPhoto.string(), "-frames:v", std::to_string(kFrames), "-vf",
                  filter, "-c:v", "png", file.string()});
    return file;
}

// Every frame of a file (or an image sequence given as a pattern) as raw pixels, after `filter`.
std::string rawFrames(const std::string& input, const std::string& pixFmt, const std::string& filter = "null") {
    const fs::path raw = fs::temp_directory_path() / ("qm_raw_" + std::to_string(::getpid()) + ".bin");
    test::ffmpeg({"-i", input, "-vf", filter, "-pix_fmt", pixFmt, "-f", "rawvideo", raw.string()});
    std::string bytes = test::readFile(raw);
    fs::remove(raw);
    return bytes;
}

std::string sequencePattern(const fs::path& folder, OutputFormat format) {
    return (folder / (folder.filename().string() + "_%06d." + std::string(fileExtension(format)))).string();
}

// Mean absolute difference of each frame, in levels of 8-bit samples.
std::vector<double> meanAbsoluteDifferences(const std::string& a, const std::string& b, size_t frameBytes) {
    std::vector<double> result;
    if (a.size() != b.size() || frameBytes == 0) return result;
    for (size_t at = 0; at + frameBytes <= a.size(); at += frameBytes) {
        double sum = 0;
        for (size_t i = at; i < at + frameBytes; ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
        result.push_back(sum / double(frameBytes));
    }
    return result;
}

// PSNR of each frame of RGB24 pictures, 100 for identical frames.
std::vector<double> framePsnr(const std::string& a, const std::string& b, size_t frameBytes) {
    std::vector<double> result;
    if (a.size() != b.size() || frameBytes == 0) return result;
    for (size_t at = 0; at + frameBytes <= a.size(); at += frameBytes) {
        double sum = 0;
        for (size_t i = at; i < at + frameBytes; ++i) {
            const double d = int(uint8_t(a[i])) - int(uint8_t(b[i]));
            sum += d * d;
        }
        const double mse = sum / double(frameBytes);
        result.push_back(mse == 0 ? 100.0 : 10 * std::log10(255.0 * 255.0 / mse));
    }
    return result;
}

// The reference encode's pictures, made by `args` into `file` and decoded with `filter`. libx265,
// encoding frames in parallel, now and then gives a referenced B frame many more bits than usual
// when its threads happen to meet in another order (a few encodes in a hundred on a fully loaded
// machine); our encode through the same library is as likely to. The reference is the pictures two
// of its encodes agree on: its usual ones.
std::string agreedReference(const std::vector<std::string>& args, const std::string& file, const std::string& filter) {
    std::vector<std::string> seen;
    for (int encodes = 0; encodes < 8; ++encodes) {
        test::ffmpeg(args);
        std::string frames = rawFrames(file, "rgb24", filter);
        if (std::find(seen.begin(), seen.end(), frames) != seen.end()) return frames;
        seen.push_back(std::move(frames));
    }
    ADD_FAILURE() << "no two of " << seen.size() << " reference encodes give the same pictures";
    return seen.front();
}

fs::path convert(const fs::path& source, const fs::path& out, OutputFormat format) {
    ConversionSettings settings;
    settings.format = format;
    settings.includeAudio = false;
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

class PixelsOnEveryFrame : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kPhoto)) GTEST_SKIP() << "no photograph at " << kPhoto;
    }
    test::TempDir dir_;
};

// Each pixel format the reader hands on, made by ffmpeg with BT.709 (or BT.601) tags from a
// lossless original, converted to PNG: a matrix read wrongly on any frame costs 2.5 levels.
TEST_F(PixelsOnEveryFrame, EverySourcePixelFormatKeepsItsColours) {
    struct Case {
        const char* name;
        const char* pixFmt;  // as ffmpeg decodes the source
        std::vector<std::string> encoder;
        bool alpha = false;
        bool fullRange = false;
        const char* matrix = "bt709";
        int width = 160, height = 90;
    };
    const std::vector<std::string> x264 = {"-c:v", "libx264", "-qp", "0", "-preset", "ultrafast"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::string prores709 = "prores_metadata=color_primaries=bt709:color_trc=bt709:colorspace=bt709";
    const Case cases[] = {
        {"420_8", "yuv420p", x264},
        {"422_8", "yuv422p", x264},
        {"444_10", "yuv444p10le", x264},
        {"jpeg_range", "yuvj420p", x264, false, true},
        {"422_10_prores", "yuv422p10le", {"-c:v", "prores_ks", "-profile:v", "3", "-bsf:v", prores709}},
        {"444_12_prores", "yuv444p12le", {"-c:v", "prores_ks", "-profile:v", "4", "-bsf:v", prores709}},
        {"4444_12_prores", "yuva444p12le", {"-c:v", "prores_ks", "-profile:v", "4", "-bsf:v", prores709}, true},
        {"rgb", "rgb24", {"-c:v", "png"}},
        {"sd_bt601", "yuv420p", x264, false, false, "smpte170m", 320, 240},
    };
    const fs::path plain = makeOriginal(dir_.path(), "original.mov", 160, 90, false);
    const fs::path withAlpha = makeOriginal(dir_.path(), "original_alpha.mov", 160, 90, true);
    const fs::path sd = makeOriginal(dir_.path(), "original_sd.mov", 320, 240, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path& original = c.width == 320 ? sd : c.alpha ? withAlpha : plain;
        const fs::path source = dir_ / (std::string(c.name) + ".mov");
        const std::string pixFmt = c.pixFmt;
        const bool rgb = pixFmt == "rgb24";
        // The encoder's own input format: ProRes takes 10 bits and decodes to 12.
        std::string encoderFormat = pixFmt;
        if (pixFmt == "yuv444p12le") encoderFormat = "yuv444p10le";
        if (pixFmt == "yuva444p12le") encoderFormat = "yuva444p10le";
        const std::string matrix = std::string(c.matrix) == "bt709" ? "bt709" : "bt601";
        std::vector<std::string> args = {"-i", original.string(), "-vf",
                                         rgb ? "format=rgb24"
                                             : "scale=out_color_matrix=" + matrix + ":out_range=" + (c.fullRange ? "pc" : "tv") +
                                                   ":flags=accurate_rnd+full_chroma_int,format=" + encoderFormat};
        if (!rgb)
            args = with(args, {"-colorspace", c.matrix, "-color_primaries", c.matrix, "-color_trc", c.matrix,
                               "-color_range", c.fullRange ? "pc" : "tv"});
        args = with(args, c.encoder);
        args.push_back(source.string());
        test::ffmpeg(args);
        ASSERT_EQ(test::streamOf(test::ffprobe(source), "video").value("pix_fmt", ""), pixFmt);

        const fs::path out = convert(source, dir_ / (std::string(c.name) + "_PNG"), OutputFormat::pngSequence);
        const std::string layout = c.alpha ? "rgba" : "rgb24";
        const std::string ours = rawFrames(sequencePattern(out, OutputFormat::pngSequence), layout);
        const std::string want = rawFrames(original.string(), layout);
        const auto differences = meanAbsoluteDifferences(ours, want, size_t(c.width) * size_t(c.height) * (c.alpha ? 4 : 3));
        ASSERT_EQ(differences.size(), size_t(kFrames)) << ours.size() << " bytes against " << want.size();
        const auto worst = std::max_element(differences.begin(), differences.end());
        EXPECT_LE(*worst, 1.0) << "frame " << (worst - differences.begin()) << " of " << differences.size();
    }
}

// Encoded outputs against ffmpeg's encode of the same lossless source with the same settings,
// frame by frame, both decoded by the ffmpeg CLI.
TEST_F(PixelsOnEveryFrame, EveryEncodedOutputMatchesTheCLIEncoderFrameByFrame) {
    const int width = 160, height = 90;
    const fs::path original = makeOriginal(dir_.path(), "original.mov", width, height, false);
    const std::string to709 = "scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd+full_chroma_int,format=";
    const std::string from709 = "scale=in_color_matrix=bt709:flags=accurate_rnd+full_chroma_int,format=rgb24";
    const auto bitRate = [&](bool hevc) {
        return std::to_string(averageBitRate(width, height, 30, static_cast<int>(DeliveryQuality::high), hevc));
    };
    const std::string keyInterval = std::to_string(keyFrameInterval(30));
    struct Case {
        OutputFormat format;
        std::vector<std::string> reference;  // encoder arguments after -vf
        std::string extension;
        std::string readBack;  // the filter both files are decoded with
    };
    const Case cases[] = {
        {OutputFormat::proRes422HQ, {to709 + "yuv422p10le", "-c:v", "prores_ks", "-profile:v", "3"}, "mov", from709},
        {OutputFormat::proRes4444, {to709 + "yuva444p10le", "-c:v", "prores_ks", "-profile:v", "4"}, "mov", from709},
        {OutputFormat::h264,
         {to709 + "yuv420p", "-c:v", "libx264", "-preset", "medium", "-profile:v", "high", "-b:v", bitRate(false), "-g",
          keyInterval},
         "mp4", from709},
        {OutputFormat::hevc,
         {to709 + "yuv420p", "-c:v", "libx265", "-preset", "medium", "-profile:v", "main", "-b:v", bitRate(true), "-g",
          keyInterval, "-x265-params", "log-level=error"},
         "mp4", from709},
        // TIFF is lossless; JPEG files are JFIF (BT.601, full range) at mjpeg's qscale 5 for 0.9.
        {OutputFormat::tiffSequence, {"format=rgba64le", "-c:v", "tiff", "-compression_algo", "lzw"}, "tif", "format=rgb24"},
        {OutputFormat::jpegSequence,
         {"scale=out_color_matrix=bt601:out_range=pc:flags=accurate_rnd+full_chroma_int,format=yuvj444p", "-c:v", "mjpeg",
          "-q:v", "5"},
         "jpg", "format=rgb24"},
    };
    const std::string want = rawFrames(original.string(), "rgb24");
    const size_t frameBytes = size_t(width) * height * 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.format)));
        const std::string name = std::string(rawValue(c.format));
        const fs::path out = convert(original, dir_ / (name + (isImageSequence(c.format) ? "" : "." + c.extension)), c.format);
        std::vector<std::string> args = {"-i", original.string(), "-vf"};
        args.insert(args.end(), c.reference.begin(), c.reference.end());
        std::string referenceInput;
        if (isImageSequence(c.format)) {
            fs::create_directories(dir_ / (name + "_ref"));
            referenceInput = (dir_ / (name + "_ref") / ("ref_%06d." + c.extension)).string();
            args.insert(args.end(), {"-start_number", "0", referenceInput});
        } else {
            referenceInput = (dir_ / (name + "_ref." + c.extension)).string();
            args.push_back(referenceInput);
        }
        const std::string oursInput = isImageSequence(c.format) ? sequencePattern(out, c.format) : out.string();
        const auto ours = framePsnr(rawFrames(oursInput, "rgb24", c.readBack), want, frameBytes);
        const auto reference = framePsnr(agreedReference(args, referenceInput, c.readBack), want, frameBytes);
        ASSERT_EQ(ours.size(), size_t(kFrames));
        ASSERT_EQ(reference.size(), size_t(kFrames));
        for (size_t f = 0; f < ours.size(); ++f)
            EXPECT_GE(ours[f], reference[f] - 1.0) << "frame " << f << ": " << ours[f] << " dB, ffmpeg " << reference[f];
    }
}

// BT.601 Y'CbCr (x264 output whose container alone says so, as GStreamer's openh264enc writes it)
// goes to H.264 in the layout it came in, converted to the BT.709 the output is tagged with: as
// good as ffmpeg's encode of the same source with the same settings.
TEST_F(PixelsOnEveryFrame, BT601SourceGoesToH264InBT709) {
    const fs::path original = makeOriginal(dir_.path(), "original_sd.mov", 320, 240, false);
    const fs::path coded = dir_ / "coded.mp4", source = dir_ / "source.mp4", reference = dir_ / "reference.mp4";
    test::ffmpeg({"-i", original.string(), "-vf", "scale=out_color_matrix=bt601:out_range=tv:flags=accurate_rnd+full_chroma_int",
                  "-pix_fmt", "yuv420p", "-c:v", "libx264", "-qp", "0", "-preset", "ultrafast", coded.string()});
    test::ffmpeg({"-i", coded.string(), "-c", "copy", "-colorspace", "smpte170m", "-color_primaries", "smpte170m", "-color_trc",
                  "smpte170m", source.string()});
    test::ffmpeg({"-i", source.string(), "-vf",
                  "scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd+full_chroma_int,format=yuv420p", "-c:v",
                  "libx264", "-preset", "medium", "-profile:v", "high", "-b:v",
                  std::to_string(averageBitRate(320, 240, 30, static_cast<int>(DeliveryQuality::high), false)), "-g",
                  std::to_string(keyFrameInterval(30)), reference.string()});
    const fs::path out = convert(source, dir_ / "out.mp4", OutputFormat::h264);
    const std::string want = rawFrames(original.string(), "rgb24");
    const std::string readBack = "scale=in_color_matrix=bt709:flags=accurate_rnd+full_chroma_int,format=rgb24";
    const auto ours = framePsnr(rawFrames(out.string(), "rgb24", readBack), want, 320 * 240 * 3);
    const auto theirs = framePsnr(rawFrames(reference.string(), "rgb24", readBack), want, 320 * 240 * 3);
    ASSERT_EQ(ours.size(), size_t(kFrames));
    ASSERT_EQ(theirs.size(), size_t(kFrames));
    for (size_t f = 0; f < ours.size(); ++f) EXPECT_GE(ours[f], theirs[f] - 1.0) << "frame " << f << ": ffmpeg " << theirs[f];
}

// A source shown turned a quarter clockwise keeps being shown that way: decoded with rotation
// applied, the output shows the same picture as the source.
TEST_F(PixelsOnEveryFrame, RotatedSourceIsShownTurnedTheSameWay) {
    const auto plain = test::makeH264Source(dir_.path(), "plain.mov", 64, 48, 48000, 0, 0.2);
    const fs::path rotated = dir_ / "rotated.mov";
    test::ffmpeg({"-i", plain.string(), "-c", "copy", "-metadata:s:v:0", "rotate=90", rotated.string()});
    const fs::path out = convert(rotated, dir_ / "out.mov", OutputFormat::proRes422HQ);
    const auto video = test::streamOf(test::ffprobe(out), "video");
    EXPECT_EQ(video.value("width", 0), 64);  // stored as it came; players turn it
    const size_t frameBytes = 48 * 64 * 3;
    const std::string decode = "scale=in_color_matrix=bt709,format=rgb24";
    const std::string source = rawFrames(rotated.string(), "rgb24", decode);
    const auto shown = framePsnr(rawFrames(out.string(), "rgb24", decode), source, frameBytes);
    // Turned the other way, the picture would be upside down against the source's.
    const auto opposite = framePsnr(rawFrames(out.string(), "rgb24", decode + ",hflip,vflip"), source, frameBytes);
    ASSERT_EQ(shown.size(), 5u);
    ASSERT_EQ(opposite.size(), 5u);
    for (size_t f = 0; f < shown.size(); ++f) EXPECT_GT(shown[f], opposite[f] + 10.0) << "frame " << f;
}

// A full-range H.264 source with known levels (black 10, grey 128, white 245) into H.264 and HEVC:
// the output is tagged video range and holds video-range values, so ffmpeg shows the source's
// levels; full-range values under a video-range tag would show as 0 and 255.
TEST(PixelsOfAFullRangeSource, ComeOutInVideoRangeWithTheSameLevels) {
    test::TempDir dir;
    const fs::path source = dir / "full.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "nullsrc=s=96x48:r=25:d=0.4,format=yuv420p,"
                  "geq=lum='if(lt(X,32),10,if(lt(X,64),128,245))':cb=128:cr=128",
                  "-c:v", "libx264", "-qp", "0", "-color_range", "pc", source.string()});
    const auto sourceVideo = test::streamOf(test::ffprobe(source), "video");
    ASSERT_EQ(sourceVideo.value("pix_fmt", ""), "yuvj420p");
    ASSERT_EQ(sourceVideo.value("color_range", ""), "pc");
    // The mean of one grey of the first frame as ffmpeg shows it (RGB) and as it is stored (Y').
    const auto meanOf = [](const std::string& frame, size_t bytesPerPixel, int band) {
        double sum = 0;
        int count = 0;
        for (int y = 4; y < 44; ++y)
            for (int x = band * 32 + 4; x < band * 32 + 28; ++x, ++count)
                sum += uint8_t(frame[(size_t(y) * 96 + size_t(x)) * bytesPerPixel]);
        return sum / count;
    };
    const std::string shownSource = rawFrames(source.string(), "rgb24");
    for (OutputFormat format : {OutputFormat::h264, OutputFormat::hevc}) {
        SCOPED_TRACE(std::string(rawValue(format)));
        const fs::path out = convert(source, dir / ("out." + std::string(fileExtension(format))), format);
        const auto video = test::streamOf(test::ffprobe(out), "video");
        EXPECT_EQ(video.value("pix_fmt", ""), "yuv420p");
        EXPECT_EQ(video.value("color_range", ""), "tv");
        const std::string shown = rawFrames(out.string(), "rgb24");
        const std::string stored = rawFrames(out.string(), "gray", "extractplanes=y");
        ASSERT_EQ(shown.size(), shownSource.size());
        for (int band = 0; band < 3; ++band) {
            SCOPED_TRACE(band);
            EXPECT_NEAR(meanOf(shown, 3, band), meanOf(shownSource, 3, band), 2.0);
            const double sourceLevel = band == 0 ? 10 : band == 1 ? 128 : 245;
            EXPECT_NEAR(meanOf(stored, 1, band), 16 + sourceLevel * 219 / 255, 2.0);
        }
    }
}

// Every frame's alpha of a file, decoded by the peer FFmpeg, rounded to 8 bits here: the scaler
// would dither it.
std::string peerAlphaFrames(const fs::path& file, const fs::path& scratch) {
    const fs::path raw = scratch / (file.stem().string() + ".alpha");
    test::peerFfmpeg({"-i", file.string(), "-an", "-vf", "alphaextract,format=gray16le", "-f", "rawvideo", raw.string()});
    const std::string wide = test::readFile(raw);
    std::string bytes(wide.size() / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned sample = uint8_t(wide[2 * i]) | unsigned(uint8_t(wide[2 * i + 1])) << 8;
        bytes[i] = char(std::lround(sample * 255.0 / 65535.0));
    }
    return bytes;
}

// Our DXV3 Alpha movie of a ProRes 4444 source with a soft alpha that moves, read by the newer
// FFmpeg: on every frame each pixel's alpha stays as close to the source's as DXT5 can keep it.
// A DXT5 block holds eight alpha levels evenly spread from its lowest to its highest value, so a
// pixel lies between two levels a seventh of that spread apart; the decoder's integer interpolation
// loses less than one level more, and the reader's rounding of the 12-bit source to 8 bits may
// shift the alpha the encoder sees by one level.
TEST(PixelsOnEveryFrameOfDXV3Alpha, ANewerFFmpegReadsTheSourceAlpha) {
    test::TempDir dir;
    const int width = 326, height = 186;  // partial blocks at the right and bottom edges
    // The alpha is given in the encoder's 10 bits as the nearest image of whole 8-bit levels, so that
    // the source's 8-bit alpha is not in doubt; it saturates in places.
    const std::string alpha = "round(clip(128+180*sin((X-3*N)/23)*cos((Y+2*N)/17),0,255))";
    const fs::path source = dir / "source.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + std::to_string(width) + "x" + std::to_string(height) + ":r=25:d=1.2",
                  "-vf", "format=yuva444p10le,geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='round(" + alpha + "*1023/255)'",
                  "-c:v", "prores_ks", "-profile:v", "4", source.string()});
    const fs::path out = convert(source, dir / "dxv3Alpha.mov", OutputFormat::dxv3Alpha);

    const std::string want = peerAlphaFrames(source, dir.path());
    const std::string got = peerAlphaFrames(out, dir.path());
    const size_t frameBytes = size_t(width) * size_t(height);
    ASSERT_EQ(want.size(), 30 * frameBytes);
    ASSERT_EQ(got.size(), want.size());
    double squares = 0;
    for (size_t f = 0; f < 30; ++f) {
        const auto at = [&](const std::string& frames, int x, int y) {
            return int(uint8_t(frames[f * frameBytes + size_t(y) * size_t(width) + size_t(x)]));
        };
        int failures = 0;
        for (int by = 0; by < height; by += 4)
            for (int bx = 0; bx < width; bx += 4) {
                int low = 255, high = 0;
                for (int y = by; y < std::min(by + 4, height); ++y)
                    for (int x = bx; x < std::min(bx + 4, width); ++x) {
                        low = std::min(low, at(want, x, y));
                        high = std::max(high, at(want, x, y));
                    }
                const double bound = (high - low + 1) / 7.0 + 2.0;
                for (int y = by; y < std::min(by + 4, height); ++y)
                    for (int x = bx; x < std::min(bx + 4, width); ++x) {
                        const int delta = at(got, x, y) - at(want, x, y);
                        squares += double(delta) * delta;
                        if (std::abs(delta) >= bound && failures++ < 5)
                            ADD_FAILURE() << "frame " << f << " pixel " << x << "," << y << ": alpha " << at(got, x, y)
                                          << ", source " << at(want, x, y) << " in a block from " << low << " to " << high;
                    }
            }
        ASSERT_EQ(failures, 0) << "frame " << f;
    }
    const double mse = squares / double(want.size());
    std::printf("DXV3 Alpha read by the peer FFmpeg: alpha PSNR %.2f dB\n",
                mse == 0 ? 100.0 : 10 * std::log10(255.0 * 255.0 / mse));
}

// Every picture of a DXV3 movie as RGBA, decoded by our own DXV decoder.
std::string ownDXVFrames(const fs::path& file, int width, int height) {
    VideoReaderSettings settings;
    settings.mode = VideoReaderSettings::Mode::compressed;
    auto reader = VideoSampleReader::open(file, settings);
    const DXVDecoder decoder(width, height);
    auto picture = PixelBuffer::create(width, height, kPixelFormatBGRA);
    std::string rgba;
    while (auto sample = reader->next()) {
        decoder.decode(sample->bytes.data(), sample->bytes.size(), *picture);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = picture->data() + size_t(y) * picture->bytesPerRow() + 4 * size_t(x);
                rgba += {char(p[2]), char(p[1]), char(p[0]), char(p[3])};
            }
    }
    return rgba;
}

// Every picture as the source reader decodes it (through the system's libavcodec), as RGBA.
std::string readerFrames(const fs::path& file) {
    VideoReaderSettings settings;
    settings.pixelFormat = kPixelFormatBGRA;
    auto reader = VideoSampleReader::open(file, settings);
    std::string rgba;
    while (auto sample = reader->next()) {
        const PixelBuffer& p = *sample->pixels;
        for (int y = 0; y < p.height(); ++y)
            for (int x = 0; x < p.width(); ++x) {
                const uint8_t* q = p.data() + size_t(y) * p.bytesPerRow() + 4 * size_t(x);
                rgba += {char(q[2]), char(q[1]), char(q[0]), char(q[3])};
            }
    }
    return rgba;
}

// The largest difference of any byte; 256 when the lengths differ.
int largestDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i]))));
    return worst;
}

// Our DXV3 movie read by Debian's ffmpeg, the newer peer FFmpeg and our source reader: each gives
// every picture, as our own decoder does (the block decoders may round a level apart).
void expectEveryDecoderReads(const fs::path& movie, int width, int height, int frames) {
    const std::string ours = ownDXVFrames(movie, width, height);
    ASSERT_EQ(ours.size(), size_t(frames) * size_t(width) * size_t(height) * 4);
    EXPECT_LE(largestDifference(rawFrames(movie.string(), "rgba"), ours), 2) << "Debian's ffmpeg";
    const fs::path peer = movie.parent_path() / (movie.stem().string() + ".peer.rgba");
    test::peerFfmpeg({"-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "rgba", peer.string()});
    EXPECT_LE(largestDifference(test::readFile(peer), ours), 2) << "the peer FFmpeg";
    std::string read;
    EXPECT_NO_THROW(read = readerFrames(movie));
    EXPECT_LE(largestDifference(read, ours), 2) << "our source reader";
}

// Small noisy movies, whose textures do not shrink, read by every DXV decoder on every frame.
TEST(PixelsOnEveryFrameOfDXV3, SmallNoisyMoviesReadAlikeEverywhere) {
    test::TempDir dir;
    for (const auto& [width, height] : {std::pair{64, 64}, {100, 36}, {288, 160}}) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        SCOPED_TRACE(size);
        const fs::path source = dir / ("noise" + size + ".mov");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=25:duration=0.24", "-vf",
                      "noise=alls=100:allf=t,format=rgb24", "-c:v", "png", source.string()});
        expectEveryDecoderReads(convert(source, dir / ("noise" + size + "_DXV3.mov"), OutputFormat::dxv3), width, height, 6);
    }
}

// With alpha: opaque noise in every third column of blocks, clear between, so that alpha halves
// repeat a few blocks apart. Opaque and clear pixels look the same premultiplied or not, so every
// decoder gives the same picture.
TEST(PixelsOnEveryFrameOfDXV3, AlphaRepeatedAFewBlocksApartReadsAlikeEverywhere) {
    test::TempDir dir;
    const fs::path source = dir / "stripes.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=96x48:rate=25:duration=0.24", "-vf",
                  "noise=alls=100:allf=t,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='if(mod(floor(X/4)+floor(Y/4),3),0,255)'",
                  "-c:v", "png", source.string()});
    expectEveryDecoderReads(convert(source, dir / "stripes_DXV3Alpha.mov", OutputFormat::dxv3Alpha), 96, 48, 6);
}

}  // namespace
}  // namespace qm
