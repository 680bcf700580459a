// HEVC with and without an alpha layer, as our writer, the peer FFmpeg's libx265 and Debian's
// ffmpeg write it, tagged hvc1 and hev1: the probe names the alpha stream 'muxa', the source reader
// agrees, and both still read every frame.
#include <gtest/gtest.h>

#include "core/four_cc.h"
#include "core/output_format.h"
#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "platform/media/asset_reader.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 6;  // 0.25 s at 24 fps

// A ProRes 4444 clip whose alpha ramps across the picture.
fs::path makeAlphaSource(const test::TempDir& dir) {
    const fs::path source = dir / "ramp.mov";
    test::ffmpeg({"-f", "lavfi", "-i",
                  "testsrc2=s=128x96:r=24:d=0.25,format=yuva444p10le,"
                  "geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='X*8'",
                  "-c:v", "prores_ks", "-profile:v", "4444", source.string()});
    return source;
}

fs::path writeWithPeer(const test::TempDir& dir, const fs::path& source, const std::string& tag,
                       const std::string& name = "", const std::string& params = "") {
    const fs::path out = dir / ("peer alpha " + tag + name + ".mov");
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                      "alpha=1:log-level=error" + params, "-tag:v", tag, out.string()});
    return out;
}

// An hev1 stream whose parameter sets travel only in its samples: the encoder repeats them in
// each key frame and the hvcC record lists no arrays.
fs::path writeInBandOnly(const test::TempDir& dir, const fs::path& source) {
    const fs::path file = writeWithPeer(dir, source, "hev1", " in band", ":repeat-headers=1");
    std::string bytes = test::readFile(file);
    const auto box = bytes.find("hvcC");
    EXPECT_NE(box, std::string::npos);
    if (box == std::string::npos) return file;
    bytes[box + 4 + 22] = 0;  // numOfArrays
    test::writeFile(file, bytes);
    return file;
}

fs::path writePlain(const test::TempDir& dir, const std::string& tag) {
    const fs::path out = dir / ("plain " + tag + ".mov");
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=128x96:r=24:d=0.25", "-c:v", "libx265", "-x265-params",
                  "log-level=error", "-tag:v", tag, out.string()});
    return out;
}

fs::path writeOurs(const test::TempDir& dir, const fs::path& source) {
    ConversionSettings settings;
    settings.format = OutputFormat::hevcAlpha;
    const fs::path folder = dir / "ours";
    fs::create_directories(folder);
    const fs::path out = outputURL(settings.format, source, folder);
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

// Every frame the source reader decodes, and the codec it reports.
std::pair<uint32_t, int> readAll(const fs::path& file) {
    VideoReaderSettings settings;
    settings.pixelFormat = kPixelFormatBGRA;
    auto reader = VideoSampleReader::open(file, settings);
    int frames = 0;
    while (reader->next()) ++frames;
    return {reader->track().codecType, frames};
}

TEST(ProbeHevcAlpha, TheAlphaLayerNamesTheCodecWhoeverWroteIt) {
    installMediaCapabilities();
    if (!isAvailable(OutputFormat::hevcAlpha)) GTEST_FAIL() << "x265 with alpha is missing: run scripts/setup.sh";
    test::TempDir dir;
    const fs::path source = makeAlphaSource(dir);
    const fs::path peerHvc1 = writeWithPeer(dir, source, "hvc1");
    // The same stream in an MPEG-TS, where the parameter sets come as Annex B bytes.
    const fs::path transportStream = dir / "peer alpha.ts";
    test::ffmpeg({"-i", peerHvc1.string(), "-c", "copy", transportStream.string()});
    // The same stream with its alpha channel information SEI turned into another message: the
    // parameter sets alone still tell (some muxers keep only those).
    std::string bytes = test::readFile(peerHvc1);
    const std::string sei("\x4e\x01\xa5\x04", 4);
    const auto at = bytes.find(sei);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 2] = static_cast<char>(0xa4);
    const fs::path withoutSei = dir / "peer alpha without SEI.mov";
    test::writeFile(withoutSei, bytes);
    const struct {
        fs::path file;
        const char* code;
        const char* name;
        bool alpha;
    } cases[] = {
        {writeOurs(dir, source), "muxa", "HEVC with Alpha", true},
        {peerHvc1, "muxa", "HEVC with Alpha", true},
        {writeWithPeer(dir, source, "hev1"), "muxa", "HEVC with Alpha", true},
        // Read through Debian's decoder, colour alone: its demuxer splits the layers apart.
        {transportStream, "muxa", "HEVC with Alpha", true},
        {withoutSei, "muxa", "HEVC with Alpha", true},
        {writeInBandOnly(dir, source), "muxa", "HEVC with Alpha", true},
        {writePlain(dir, "hvc1"), "hvc1", "HEVC", false},
        {writePlain(dir, "hev1"), "hev1", "HEVC", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        const MediaInfo info = MediaInfo::load(c.file);
        EXPECT_EQ(fourCCString(info.codecType), c.code);
        EXPECT_EQ(info.codecName, c.name);
        EXPECT_EQ(info.decoder, SourceDecoder::native());
        EXPECT_EQ(info.hasAlpha, c.alpha);
        EXPECT_EQ(info.width, 128);
        EXPECT_EQ(info.height, 96);
        // The reader keys its decoding on the same code, and looking for the alpha layer in the
        // first samples loses none of them.
        try {
            const auto [readerCode, frames] = readAll(c.file);
            EXPECT_EQ(fourCCString(readerCode), c.code);
            EXPECT_EQ(frames, kFrames);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "reading failed: " << e.what();
        }
    }
}

}  // namespace
}  // namespace qm
