// The video reader over arbitrary bytes: the container's own walks (MPEG-TS transport packets,
// Matroska blocks, MP4 sample tables), the account of samples and pictures and the decoders end a
// read in pictures or in a typed error, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/asset_reader.h"
#include "platform/media/media_error.h"
#include "platform/media/sample_account.h"
#include "platform/media/transport_packets.h"
#include "scratch_file.h"

namespace {

// The file name's extension steers the library's format guess, so the first byte picks one.
constexpr const char* kExtensions[] = {".ts", ".mkv", ".mp4", ".mov", ".webm", ".m2ts"};
// Enough pictures to pass a few key frames of a small movie, few enough to keep each input quick.
constexpr int kMostSamples = 48;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto path = qm::fuzz::writeScratchFile("qm-video-read-fuzz-", kExtensions[data[0] % std::size(kExtensions)],
                                                 data + 1, size - 1);
    // The transport packet walk on its own, for the PIDs writers give video, whatever the demuxer
    // makes of the file.
    for (const int pid : {0x100, 0x1011, 0x44}) {
        qm::reading::TransportPackets packets(path, pid);
        (void)packets.end();
        std::vector<qm::reading::EmptySample> empty;
        std::set<int64_t> lacking;
        while (packets.walk(INT64_MAX, empty, lacking)) {
        }
    }
    try {
        qm::VideoReaderSettings settings;
        settings.threads = (data[0] & 0x80) != 0 ? 2 : 1;
        auto reader = qm::VideoSampleReader::open(path, settings);
        for (int i = 0; i < kMostSamples && reader->next(); ++i) {
        }
    } catch (const qm::ConversionError&) {
    } catch (const qm::MediaError&) {
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return 0;
}
