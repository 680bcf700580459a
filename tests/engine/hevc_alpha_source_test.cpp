// HEVC-with-alpha sources converted: a movie from the peer FFmpeg's libx265 with its alpha layer
// (tagged hvc1 and hev1) and one of our own, each to ProRes 4444 and to a PNG sequence, every frame's
// alpha and colour against the peer's decode of the source. A stream copy into an hev1 track reads
// as its hvc1 twin; movies whose alpha layer is missing or damaged fail in words, never as
// transparent pictures. A stream copy cut inside a group shows what its edit list says.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "core/conversion_error.h"

#include "engine/media_frame_reader.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "platform/media/media_capabilities.h"
#include "support/damaged_media.h"
#include "support/movie_boxes.h"
#include "support/open_group_media.h"
#include "support/pixel_rows.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 320, kH = 240;
constexpr size_t kPlane = size_t(kW) * kH;

// A ProRes 4444 clip whose alpha is a soft wave moving over a test picture, 24 frames unless said.
fs::path makeSoftAlphaSource(const test::TempDir& dir, int w = kW, int h = kH, const std::string& seconds = "1") {
    const fs::path source = dir / "soft alpha.mov";
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=" + seconds, "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=" + seconds + ",geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", source.string()});
    return source;
}

fs::path peerAlphaMovie(const test::TempDir& dir, const fs::path& source, const std::string& tag,
                        const std::string& params = "keyint=12") {
    const fs::path out = dir / ("peer " + tag + ".mov");
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                      "alpha=1:log-level=error:" + params, "-tag:v", tag, out.string()});
    return out;
}

fs::path convert(const fs::path& source, OutputFormat format, const fs::path& folder) {
    ConversionSettings settings;
    settings.format = format;
    fs::create_directories(folder);
    const fs::path out = outputURL(format, source, folder);
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

std::vector<std::string> frames(const std::vector<std::string>& argv, size_t frameBytes) {
    const auto result = test::run(argv);
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> out;
    for (size_t at = 0; at + frameBytes <= result.output.size(); at += frameBytes) out.push_back(result.output.substr(at, frameBytes));
    return out;
}

// The peer's decode of an HEVC-with-alpha movie: its alpha planes, and its pictures as RGB with the
// matrix and scaling the pixel transfer uses (BT.709 where the stream names none).
struct PeerDecode {
    std::vector<std::string> alpha, rgb;
};
PeerDecode peerDecode(const fs::path& movie) {
    const std::string peer = test::peerFfmpegPath().string();
    return {frames({peer, "-v", "error", "-i", movie.string(), "-vf", "alphaextract", "-f", "rawvideo", "-pix_fmt", "gray", "-"}, kPlane),
            frames({peer, "-v", "error", "-i", movie.string(), "-vf",
                    "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int", "-f", "rawvideo",
                    "-pix_fmt", "rgb24", "-"},
                   kPlane * 3)};
}

// Alpha and RGB of a PNG sequence, frame by frame, as Debian's ffmpeg reads the files.
PeerDecode pngSequence(const fs::path& folder) {
    PeerDecode out;
    for (const std::string& name : test::fileNames(folder)) {
        const auto rgba = test::run({"ffmpeg", "-v", "error", "-i", (folder / name).string(), "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
        if (rgba.output.size() != kPlane * 4) {
            ADD_FAILURE() << name << " holds " << rgba.output.size() << " bytes";
            continue;
        }
        std::string alpha, rgb;
        for (size_t i = 0; i < kPlane; ++i) {
            rgb.append(rgba.output, 4 * i, 3);
            alpha.push_back(rgba.output[4 * i + 3]);
        }
        out.alpha.push_back(alpha);
        out.rgb.push_back(rgb);
    }
    return out;
}

// An HEVC-with-alpha movie converted to ProRes 4444 against the peer's decode of it: alpha ≥ 45 dB,
// luma ≥ 40 dB against Debian's decode of its colour layer.
void checkProRes(const fs::path& movie, const PeerDecode& reference, const fs::path& out) {
    const fs::path proRes = convert(movie, OutputFormat::proRes4444, out / "prores");
    EXPECT_EQ(test::countFrames(proRes), 24);
    auto decode = [](const fs::path& file, const std::string& filter) {
        return frames({"ffmpeg", "-v", "error", "-i", file.string(), "-vf", filter, "-f", "rawvideo", "-pix_fmt", "gray", "-"}, kPlane);
    };
    EXPECT_GE(test::lowestPsnr(decode(proRes, "alphaextract"), reference.alpha), 45.0);
    const auto sourceLuma = decode(movie, "extractplanes=y");
    ASSERT_EQ(sourceLuma.size(), 24u);
    EXPECT_GE(test::lowestPsnr(decode(proRes, "extractplanes=y"), sourceLuma), 40.0);
}

// The same movie converted to PNG: alpha ≥ 45 dB, colour ≥ 40 dB against the peer's decode.
void checkPng(const fs::path& movie, const PeerDecode& reference, const fs::path& out) {
    const PeerDecode pictures = pngSequence(convert(movie, OutputFormat::pngSequence, out / "png"));
    ASSERT_EQ(pictures.alpha.size(), 24u);
    EXPECT_GE(test::lowestPsnr(pictures.alpha, reference.alpha), 45.0);
    EXPECT_GE(test::lowestPsnr(pictures.rgb, reference.rgb), 40.0);
}

TEST(HevcAlphaSource, ThePeersMovieConvertsWithItsAlpha) {
    test::TempDir dir;
    const fs::path source = makeSoftAlphaSource(dir);
    for (const std::string tag : {"hvc1", "hev1"}) {
        SCOPED_TRACE(tag);
        const fs::path movie = peerAlphaMovie(dir, source, tag);
        EXPECT_TRUE(MediaInfo::load(movie).hasAlpha);
        const PeerDecode reference = peerDecode(movie);
        ASSERT_EQ(reference.alpha.size(), 24u);
        // The hev1 form differs only in where its parameter sets travel.
        if (tag == "hvc1") checkProRes(movie, reference, dir / tag);
        checkPng(movie, reference, dir / tag);
    }
}

TEST(HevcAlphaSource, OurOwnMovieConvertsWithItsAlpha) {
    if (!hevcAlphaEncoderAvailable()) GTEST_FAIL() << "x265 with alpha is missing: run scripts/setup.sh";
    test::TempDir dir;
    const fs::path movie = convert(makeSoftAlphaSource(dir), OutputFormat::hevcAlpha, dir / "ours");
    const PeerDecode reference = peerDecode(movie);
    ASSERT_EQ(reference.alpha.size(), 24u);
    checkProRes(movie, reference, dir / "from ours");
    checkPng(movie, reference, dir / "from ours");
}

// The movie with the alpha layer's slices of the chosen samples turned into filler data, which
// every decoder skips: in place, so the movie's tables stay right.
fs::path withoutAlphaSlices(const fs::path& movie, const fs::path& out, const std::function<bool(size_t)>& chosen) {
    std::string file = test::readFile(movie);
    const auto spans = test::videoSampleSpans(movie);
    EXPECT_EQ(spans.size(), 24u);
    for (size_t i = 0; i < spans.size(); ++i) {
        if (!chosen(i)) continue;
        for (const test::HevcUnit& u : test::hevcUnits(file, spans[i].first, spans[i].second))
            if (u.layer == 1 && u.type < 32) file[u.at + 4] = char(38 << 1 | (file[u.at + 4] & 1));
    }
    test::writeFile(out, file);
    return out;
}

// Where a layer's SPS and PPS lie in an hvcC record (at their units' headers).
std::vector<size_t> parameterSets(const std::string& c, int ofLayer = 1) {
    std::vector<size_t> found;
    size_t at = 23;
    for (int array = 0, arrays = c.size() > 22 ? uint8_t(c[22]) : 0; array < arrays && at + 3 <= c.size(); ++array) {
        const size_t units = size_t(uint8_t(c[at + 1])) << 8 | uint8_t(c[at + 2]);
        at += 3;
        for (size_t i = 0; i < units && at + 4 <= c.size(); ++i) {
            const size_t length = size_t(uint8_t(c[at])) << 8 | uint8_t(c[at + 1]);
            const int type = uint8_t(c[at + 2]) >> 1 & 0x3F, layer = (uint8_t(c[at + 2]) & 1) << 5 | uint8_t(c[at + 3]) >> 3;
            if (layer == ofLayer && (type == 33 || type == 34)) found.push_back(at + 2);
            at += 2 + length;
        }
    }
    return found;
}

// An SPS unit (header, then its RBSP with emulation prevention bytes) that declares a picture of
// side × side, everything else as it was.
std::string withPictureSize(const std::string& nal, unsigned side) {
    std::vector<bool> bits;
    for (size_t i = 2, zeros = 0; i < nal.size(); ++i) {
        const uint8_t b = uint8_t(nal[i]);
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        for (int k = 7; k >= 0; --k) bits.push_back((b >> k & 1) != 0);
    }
    size_t at = 0;
    const auto ue = [&] {
        int zeros = 0;
        while (!bits.at(at++)) ++zeros;
        unsigned v = 1;
        for (int k = 0; k < zeros; ++k) v = v << 1 | unsigned(bits.at(at++));
        return v - 1;
    };
    at = 4 + 3 + 1 + 96;  // ids, sub-layers, nesting, profile, tier and level of one sub-layer
    EXPECT_EQ(nal[2] & 0x0E, 0) << "one sub-layer";
    ue();  // sps_seq_parameter_set_id
    EXPECT_EQ(ue(), 1u) << "4:2:0";
    const size_t sizeAt = at;
    ue();
    ue();
    std::vector<bool> out(bits.begin(), bits.begin() + std::ptrdiff_t(sizeAt));
    for (int i = 0; i < 2; ++i) {
        const unsigned code = side + 1;
        const int length = 32 - __builtin_clz(code);
        out.insert(out.end(), size_t(length - 1), false);
        for (int k = length - 1; k >= 0; --k) out.push_back((code >> k & 1) != 0);
    }
    // The rest up to the stop bit, which ends the unit again on a byte boundary.
    size_t end = bits.size();
    while (end > at && !bits[end - 1]) --end;
    out.insert(out.end(), bits.begin() + std::ptrdiff_t(at), bits.begin() + std::ptrdiff_t(end));
    while (out.size() % 8) out.push_back(false);
    std::string unit = nal.substr(0, 2);
    for (size_t i = 0, zeros = 0; i < out.size(); i += 8) {
        uint8_t b = 0;
        for (size_t k = 0; k < 8; ++k) b = uint8_t(b << 1 | out[i + k]);
        if (zeros >= 2 && b <= 3) {
            unit.push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        unit.push_back(char(b));
    }
    return unit;
}

// The movie with its sample description's hvcC unit at `unit` (an offset into the record, at the
// unit's 2-byte length) replaced. The boxes around the record grow with it; the samples, stored
// before the movie box, stay where they are.
fs::path withReplacedUnit(const fs::path& movie, const std::string& record, size_t unit, const std::string& replacement,
                          const fs::path& out) {
    std::string file = test::readFile(movie);
    const size_t recordAt = file.find(record);
    const size_t at = recordAt + unit;
    const size_t oldLength = size_t(uint8_t(file[at])) << 8 | uint8_t(file[at + 1]);
    const char length[2] = {char(replacement.size() >> 8), char(replacement.size())};
    file.replace(at, 2 + oldLength, std::string(length, 2) + replacement);
    const int64_t grown = int64_t(replacement.size()) - int64_t(oldLength);
    EXPECT_LT(file.find("mdat"), file.find("moov"));
    // Every box around the unit: the movie box and its way down to the record.
    const auto grow = [&](size_t box) {
        uint32_t size = 0;
        for (int i = 0; i < 4; ++i) size = size << 8 | uint8_t(file[box + size_t(i)]);
        size = uint32_t(int64_t(size) + grown);
        for (int i = 0; i < 4; ++i) file[box + size_t(i)] = char(size >> (24 - 8 * i));
    };
    for (const char* kind : {"moov", "trak", "mdia", "minf", "stbl", "stsd"}) grow(file.find(kind, file.find("moov") - 4) - 4);
    grow(recordAt - 8);                       // hvcC
    grow(file.rfind("hvc1", recordAt) - 4);   // its sample entry
    test::writeFile(out, file);
    return out;
}

// Converting to PNG fails as a decoding failure: its words, or "" where it converted.
std::string decodeFailure(const fs::path& movie, const fs::path& folder) {
    try {
        convert(movie, OutputFormat::pngSequence, folder);
        ADD_FAILURE() << movie.filename() << " converted";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::decodeFailed) << e.what();
        return e.payload();
    }
    return {};
}

// ... and its words name the alpha layer.
void expectAlphaFailure(const fs::path& movie, const fs::path& folder) {
    EXPECT_NE(decodeFailure(movie, folder).find("alpha layer of frame"), std::string::npos);
}

TEST(HevcAlphaSource, AnHev1StreamCopyReadsAsItsHvc1Twin) {
    test::TempDir dir;
    const fs::path twin = peerAlphaMovie(dir, makeSoftAlphaSource(dir), "hvc1");
    // Debian's ffmpeg copies the sample description whole: the alpha layer's parameter sets
    // travel there alone, since the samples carry none.
    const fs::path copy = dir / "copy hev1.mov";
    test::ffmpeg({"-i", twin.string(), "-c", "copy", "-tag:v", "hev1", copy.string()});
    const auto spans = test::videoSampleSpans(copy);
    const std::string bytes = test::readFile(copy);
    ASSERT_EQ(spans.size(), 24u);
    for (const auto& [offset, size] : spans)
        for (const test::HevcUnit& u : test::hevcUnits(bytes, offset, size)) EXPECT_LT(u.type, 32) << "a parameter set in a sample";

    const PeerDecode reference = peerDecode(twin);
    ASSERT_EQ(reference.alpha.size(), 24u);
    checkPng(copy, reference, dir / "copy");
}

// A stream copy cut at 0.6 s from a movie with an open group every 12 frames: its edit list leaves
// out the pictures the group's key frame brings along from before the cut. The sequence holds the
// 33 pictures from frame 15 on, as the peer shows them, each with its alpha.
TEST(HevcAlphaSource, AStreamCopyCutInAGroupKeepsToItsEditList) {
    test::TempDir dir;
    const fs::path whole = peerAlphaMovie(dir, makeSoftAlphaSource(dir, kW, kH, "2"), "hvc1");
    const fs::path cut = dir / "cut.mov";
    test::ffmpeg({"-ss", "0.6", "-i", whole.string(), "-c", "copy", cut.string()});
    const PeerDecode reference = peerDecode(cut);
    ASSERT_EQ(reference.alpha.size(), 48u - 15u);
    const PeerDecode pictures = pngSequence(convert(cut, OutputFormat::pngSequence, dir / "png"));
    ASSERT_EQ(pictures.alpha.size(), reference.alpha.size());
    EXPECT_GE(test::lowestPsnr(pictures.alpha, reference.alpha), 45.0);
    EXPECT_GE(test::lowestPsnr(pictures.rgb, reference.rgb), 40.0);
}

TEST(HevcAlphaSource, AMissingOrDamagedAlphaLayerFailsInWords) {
    test::TempDir dir;
    const fs::path movie = peerAlphaMovie(dir, makeSoftAlphaSource(dir), "hvc1");
    SCOPED_TRACE("the undamaged movie converts");
    ASSERT_EQ(pngSequence(convert(movie, OutputFormat::pngSequence, dir / "whole")).alpha.size(), 24u);

    // The alpha layer removed throughout: the file still declares it, so this is damage, not an
    // opaque movie.
    const fs::path noAlpha = withoutAlphaSlices(movie, dir / "no alpha.mov", [](size_t) { return true; });
    expectAlphaFailure(noAlpha, dir / "none");
    // Removed from the samples of the second group of pictures only.
    expectAlphaFailure(withoutAlphaSlices(movie, dir / "some alpha.mov", [](size_t i) { return i >= 12; }), dir / "some");

    // The peer's own stream copy leaves the alpha layer's parameter sets out of the sample
    // description, so nothing in the file can decode that layer.
    const fs::path copied = dir / "peer copy.mov";
    test::peerFfmpeg({"-i", movie.string(), "-c", "copy", "-tag:v", "hev1", copied.string()});
    const auto entry = test::videoSampleEntry(copied);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(parameterSets(entry->hvcC).empty());
    const std::string record = test::videoSampleEntry(movie)->hvcC;
    const auto alphaSets = parameterSets(record);
    ASSERT_EQ(alphaSets.size(), 2u);
    expectAlphaFailure(copied, dir / "peer copy");

    // One bit flipped in the alpha layer's SPS: it now claims a second temporal sub-layer.
    {
        std::string file = test::readFile(movie);
        const size_t at = file.find(record);
        ASSERT_NE(at, std::string::npos);
        file[at + alphaSets[0] + 2] ^= 2;
        test::writeFile(dir / "flipped.mov", file);
        expectAlphaFailure(dir / "flipped.mov", dir / "flipped");
    }

    // The alpha layer's SPS declaring 16384 × 16384.
    {
        const size_t length = size_t(uint8_t(record[alphaSets[0] - 2])) << 8 | uint8_t(record[alphaSets[0] - 1]);
        const std::string huge = withPictureSize(record.substr(alphaSets[0], length), 16384);
        expectAlphaFailure(withReplacedUnit(movie, record, alphaSets[0] - 2, huge, dir / "huge alpha.mov"), dir / "huge");
    }
    // The colour layer's SPS so: no picture at all can be decoded, and the conversion says so.
    {
        const size_t colourSps = parameterSets(record, 0).at(0);
        const size_t length = size_t(uint8_t(record[colourSps - 2])) << 8 | uint8_t(record[colourSps - 1]);
        const std::string huge = withPictureSize(record.substr(colourSps, length), 16384);
        EXPECT_EQ(decodeFailure(withReplacedUnit(movie, record, colourSps - 2, huge, dir / "huge colour.mov"), dir / "huge colour"),
                  "none of the video's 24 frames can be decoded");
    }

    // A zero-length unit where a sample's alpha slice was, the slice after it cut short by the
    // four bytes its length took.
    {
        std::string file = test::readFile(movie);
        const auto spans = test::videoSampleSpans(movie);
        ASSERT_EQ(spans.size(), 24u);
        for (const test::HevcUnit& u : test::hevcUnits(file, spans[5].first, spans[5].second)) {
            if (u.layer != 1 || u.type >= 32) continue;
            const std::string slice = file.substr(u.at + 4, u.length - 4);
            const size_t shorter = u.length - 4;
            const char header[8] = {0, 0, 0, 0, char(shorter >> 24), char(shorter >> 16), char(shorter >> 8), char(shorter)};
            file.replace(u.at, 8, header, 8);
            file.replace(u.at + 8, slice.size(), slice);
            break;
        }
        test::writeFile(dir / "zero unit.mov", file);
        const std::string words = decodeFailure(dir / "zero unit.mov", dir / "zero");
        EXPECT_NE(words.find("frame "), std::string::npos) << words;
        EXPECT_EQ(words.find("Invalid data"), std::string::npos) << words;
    }
}

// An alpha slice the decoder cannot rebuild: the read stops at the first frame whose alpha layer it
// could not decode, saying so, and the frame before it is the undamaged movie's.
TEST(HevcAlphaSource, AnAlphaLayerDecodedWithErrorsFailsNamingItsFrame) {
    test::TempDir dir;
    const fs::path damaged = test::withDamagedAlphaSlice(dir / "damaged.mov");
    EXPECT_EQ(decodeFailure(damaged, dir / "png"),
              "the alpha layer of frame 1 can't be decoded: it is missing from the file or damaged");

    const auto whole = frames({test::peerFfmpegPath().string(), "-v", "error", "-i", test::fixture("hevc_alpha/hev1-alpha.mov").string(),
                               "-vf", "alphaextract", "-f", "rawvideo", "-pix_fmt", "gray", "-"},
                              160 * 120);
    ASSERT_EQ(whole.size(), 48u);
    MediaFrameReader reader(damaged, MediaInfo::load(damaged));
    const PixelBufferRef first = reader.frame(0);
    ASSERT_NE(first, nullptr);
    std::string alpha;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) alpha.push_back(char(first->data()[size_t(y) * first->bytesPerRow() + 4 * size_t(x) + 3]));
    EXPECT_EQ(alpha, whole[0]);
    EXPECT_THROW(reader.frame(1 / 24.0), ConversionError);
}

// The movie with `units` (NAL units with their 4-byte lengths) put in front of its last sample,
// stored last before the movie box: the sample's size and the media data box grow.
fs::path withUnitsBeforeLastSample(const fs::path& movie, const std::string& units, const fs::path& out) {
    std::string file = test::readFile(movie);
    const auto last = test::videoSampleSpans(movie).back();
    EXPECT_EQ(file.substr(last.first + last.second + 4, 4), "moov");
    const auto add = [&](size_t at, size_t n) {  // n added to the 32-bit number at `at`, which it returns
        size_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | uint8_t(file[at + i]);
        for (size_t i = 0; i < 4; ++i) file[at + i] = char((v + n) >> (24 - 8 * i));
        return v;
    };
    const size_t stsz = file.find("stsz", last.first + last.second);
    add(stsz + 12 + 4 * add(stsz + 12, 0), units.size());
    add(file.rfind("mdat", last.first) - 4, units.size());
    test::writeFile(out, file.insert(last.first, units));
    return out;
}

// Damage the decoder notices, however many threads decode (Convert uses one per processor): the
// conversion fails naming the first frame it can't read whole and keeps the frames before it. A
// burst of random bytes in the alpha slice of a 1080p key frame, whose rows slice threads decode
// in parallel (libx265 writes wavefront entry points); an alpha picture whose references name one
// missing; a sample cut so short that no picture comes of it; and the last sample (frame 46, as
// ffprobe times it) behind a 96 × 64 movie's parameter sets, which leave its references behind.
// The colour layer is refused as the alpha layer is: the first key frame's colour slice cut to a
// fifth, and a burst of bytes in the colour slice of the 1080p movie's second key frame.
TEST(HevcAlphaSource, DamageTheDecoderNoticesFailsNamingItsFrame) {
    test::TempDir dir;
    const fs::path movie = peerAlphaMovie(dir, makeSoftAlphaSource(dir, 1920, 1080, "0.5"), "hvc1", "keyint=6");
    const auto spans = test::videoSampleSpans(movie);
    ASSERT_EQ(spans.size(), 12u);
    fs::copy_file(movie, dir / "burst.mov");
    fs::copy_file(movie, dir / "colour burst.mov");
    for (const test::HevcUnit& u : test::hevcUnits(test::readFile(movie), spans[6].first, spans[6].second)) {
        if (u.layer == 1 && u.type < 32) test::garble(dir / "burst.mov", u.at + 4 + u.length * 2 / 5, u.at + 4 + u.length * 2 / 5 + 64);
        if (u.layer == 0 && u.type < 32)
            test::garble(dir / "colour burst.mov", u.at + 4 + u.length * 2 / 5, u.at + 4 + u.length * 2 / 5 + 12);
    }
    fs::copy_file(test::fixture("hevc_alpha/hev1-alpha.mov"), dir / "colour cut.mov");
    test::cutSliceToAFifth(dir / "colour cut.mov", 0, true);
    const fs::path small = test::fixture("hevc_alpha/hev1-alpha-missing-ref.mov");
    const std::string bytes = test::readFile(small);
    std::string sets;
    for (const test::HevcUnit& u : test::hevcUnits(bytes, test::videoSampleSpans(small)[0].first, test::videoSampleSpans(small)[0].second))
        if (u.type >= 32 && u.type <= 34) sets += bytes.substr(u.at, 4 + u.length);
    const std::string alpha = " can't be decoded: it is missing from the file or damaged", data = " can't be decoded: its data is damaged";
    for (const auto& [damaged, words, count] : std::vector<std::tuple<fs::path, std::string, int>>{
             {dir / "burst.mov", "the alpha layer of frame 6" + alpha, 6},
             {test::fixture("hevc_alpha/hev1-alpha-missing-ref.mov"), "the alpha layer of frame 220" + alpha, 220},
             {test::fixture("hevc_alpha/hvc1-alpha-cut-sample.mov"), "frame 26" + data, 26},
             {withUnitsBeforeLastSample(test::fixture("hevc_alpha/hev1-alpha.mov"), sets, dir / "spliced.mov"), "frame 46" + data, 46},
             {dir / "colour cut.mov", "frame 0" + data, 0},
             {dir / "colour burst.mov", "frame 6" + data, 6}}) {
        SCOPED_TRACE(damaged.filename());
        EXPECT_EQ(decodeFailure(damaged, dir / damaged.stem()), words);
        const fs::path kept = dir / damaged.stem() / (damaged.stem().string() + "_PNG");
        // Nothing read, no folder.
        EXPECT_EQ(fs::exists(kept) ? test::fileNames(kept) : std::vector<std::string>{}, test::sequenceFrameNames(kept, count, "png"));
    }
}

// Parameter sets damaged in band, so that the alpha layer's slices name a VPS other than the
// active one, or the colour layer changes its size under the alpha layer's SPS: these crashed the
// decoder, and now fail in words. The undamaged movie beside them converts whole.
TEST(HevcAlphaSource, DamagedInBandParameterSetsFailInWords) {
    test::TempDir dir;
    EXPECT_EQ(test::fileNames(convert(test::fixture("hevc_alpha/hev1-alpha.mov"), OutputFormat::pngSequence, dir / "whole")).size(), 48u);
    expectAlphaFailure(test::fixture("hevc_alpha/hev1-alpha-damaged-sps.mov"), dir / "vps");
    // Layers of two sizes are a form the decoder does not read; the words name the first such frame,
    // and the frames before it, still waiting to be reordered when it failed, are kept.
    const fs::path stale = test::fixture("hevc_alpha/hev1-alpha-stale-alpha-sps.mov");
    const std::string words = decodeFailure(stale, dir / "sps");
    EXPECT_NE(words.find("frame 12 "), std::string::npos) << words;
    const fs::path kept = dir / "sps" / "hev1-alpha-stale-alpha-sps_PNG";
    EXPECT_EQ(test::fileNames(kept), test::sequenceFrameNames(kept, 12, "png"));
}

// Key frames four pictures apart in open groups: the leading pictures of each key frame are
// predicted from those of the key frame before, which a decoder starting there skips. Every frame
// time asked of a fresh reader gives the picture a read in order gives, with an alpha layer and
// without; with one frame's alpha layer gone, the frames before it still read and it fails in words.
TEST(HevcAlphaSource, EveryFrameOfShortOpenGroupsReadsAsInOrderFromAFreshReader) {
    test::TempDir dir;
    const auto inOrder = [](const fs::path& movie) {
        VideoReaderSettings settings;
        settings.pixelFormat = kPixelFormatBGRA;
        auto reader = VideoSampleReader::open(movie, settings);
        std::vector<std::string> pictures;
        while (auto sample = reader->next()) pictures.push_back(test::packedRows(*sample->pixels));
        return pictures;
    };
    // The picture at frame i's time from a reader opened there, or the words it failed with.
    const auto atTime = [](const fs::path& movie, int i) -> std::string {
        try {
            MediaFrameReader reader(movie, MediaInfo::load(movie));
            const PixelBufferRef frame = reader.frame(i / 24.0);
            return frame ? test::packedRows(*frame) : "no picture";
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    const fs::path alpha = test::shortOpenGroupsMovie(dir.path(), true);
    for (const fs::path& movie : {alpha, test::shortOpenGroupsMovie(dir.path(), false)}) {
        SCOPED_TRACE(movie.filename());
        const auto pictures = inOrder(movie);
        ASSERT_EQ(pictures.size(), 40u);
        for (int i = 0; i < 40; ++i) EXPECT_TRUE(atTime(movie, i) == pictures[size_t(i)]) << "frame " << i;
    }

    const fs::path damaged = test::withoutAlphaOfSample(alpha, 11, dir / "damaged.mov");
    const auto pictures = inOrder(alpha);
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(atTime(damaged, i) == pictures[size_t(i)]) << "frame " << i;
    EXPECT_EQ(atTime(damaged, 9),
              "Decoding failed: the alpha layer of frame 9 can't be decoded: it is missing from the file or damaged");
}

}  // namespace
}  // namespace qm
