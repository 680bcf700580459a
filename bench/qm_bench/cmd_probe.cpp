// qm-bench probe: the source probe's answer for one file, as one JSON object.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/four_cc.h"
#include "engine/media_info.h"
#include "registry.h"

namespace {

std::string decoderText(const qm::SourceDecoder& decoder) {
    switch (decoder.kind) {
    case qm::SourceDecoder::Kind::hap: return "hap";
    case qm::SourceDecoder::Kind::unsupported: return "unsupported";
    case qm::SourceDecoder::Kind::native: return "native";
    case qm::SourceDecoder::Kind::notchLC: return "notchLC";
    case qm::SourceDecoder::Kind::dxv: return "dxv";
    }
    return "unsupported";
}

int probe(const std::vector<std::string>& args) {
    // --audio-only: as the editor's import probes, taking sound files.
    const bool audioOnly = !args.empty() && args[0] == "--audio-only";
    const size_t file = audioOnly ? 1 : 0;
    if (args.size() != file + 1 || args[file].empty() || args[file][0] == '-') throw std::invalid_argument("one FILE is required");
    const qm::MediaInfo info = qm::MediaInfo::load(std::filesystem::path(args[file]), audioOnly);
    // The library writes numbers the same in every locale.
    const nlohmann::ordered_json out = {
        {"codec", qm::fourCCString(info.codecType)},
        {"codecName", info.codecName},
        {"decoder", decoderText(info.decoder)},
        {"width", info.width},
        {"height", info.height},
        {"frameRate", info.frameRate},
        {"duration", info.duration.seconds()},
        {"hasAudio", info.hasAudio},
        {"hasAlpha", info.hasAlpha},
    };
    std::printf("%s\n", out.dump(2).c_str());
    return 0;
}

const qm::bench::Register registration{"probe", "[--audio-only] FILE", probe};

}  // namespace
