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
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') throw std::invalid_argument("one FILE is required");
    const qm::MediaInfo info = qm::MediaInfo::load(std::filesystem::path(args[0]));
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

const qm::bench::Register registration{"probe", "FILE", probe};

}  // namespace
