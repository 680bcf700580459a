// qm-bench read-frames: every picture of a movie's video through the source reader, as Convert reads
// it (the decoder's own layout) or converted to a working format, with the time it took.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/four_cc.h"
#include "platform/media/asset_reader.h"
#include "registry.h"

namespace {

int readFrames(const std::vector<std::string>& args) {
    std::string file;
    uint32_t format = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--format" && i + 1 < args.size()) {
            const std::string& f = args[++i];
            if (f == "own") format = 0;
            else if (f == "bgra") format = qm::kPixelFormatBGRA;
            else if (f == "rgba64") format = qm::kPixelFormatRGBA64LE;
            else throw std::invalid_argument("--format is own, bgra or rgba64, not " + f);
        } else if (file.empty() && !args[i].empty() && args[i][0] != '-') {
            file = args[i];
        } else {
            throw std::invalid_argument("unexpected argument " + args[i]);
        }
    }
    if (file.empty()) throw std::invalid_argument("a FILE is required");
    const auto started = std::chrono::steady_clock::now();
    qm::VideoReaderSettings settings;
    settings.pixelFormat = format;
    auto reader = qm::VideoSampleReader::open(std::filesystem::path(file), settings);
    int64_t frames = 0;
    uint32_t pictureFormat = 0;
    while (auto sample = reader->next()) {
        if (!sample->pixels) throw std::runtime_error("a sample without a picture");
        pictureFormat = sample->pixels->pixelFormat();
        ++frames;
    }
    // A movie read without a single picture is a failure, whatever the reader says.
    if (frames == 0) throw std::runtime_error("no picture of the movie was read");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%lld frames of %s (%s) in %.3f s: %.2f fps\n", static_cast<long long>(frames),
                qm::fourCCString(reader->track().codecType).c_str(), qm::fourCCString(pictureFormat).c_str(), seconds,
                seconds > 0 ? double(frames) / seconds : 0.0);
    return 0;
}

const qm::bench::Register registration{"read-frames", "FILE [--format own|bgra|rgba64]", readFrames};

}  // namespace
