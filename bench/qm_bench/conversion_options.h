#pragma once
// Command-line options the qm-bench commands that write media share.

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/conversion_settings.h"

namespace qm::bench {

// The value after the option at args[i]; moves i onto it.
inline const std::string& optionValue(const std::vector<std::string>& args, size_t& i) {
    if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
    return args[++i];
}

// Takes --format, --quality or --size at args[i] into the settings; false for any other option.
inline bool takeConversionOption(const std::vector<std::string>& args, size_t& i, ConversionSettings& settings,
                                 bool& formatGiven) {
    const std::string& a = args[i];
    if (a == "--format") {
        auto format = outputFormatFromRawValue(optionValue(args, i));
        if (!format) throw std::invalid_argument("unknown format " + args[i]);
        settings.format = *format;
        formatGiven = true;
    } else if (a == "--quality") {
        auto quality = deliveryQualityFromRawValue(optionValue(args, i));
        if (!quality) throw std::invalid_argument("unknown quality " + args[i]);
        settings.deliveryQuality = *quality;
    } else if (a == "--size") {
        auto size = outputSizeFromRawValue(optionValue(args, i));
        if (!size) throw std::invalid_argument("unknown size " + args[i]);
        settings.outputSize = *size;
    } else {
        return false;
    }
    return true;
}

}  // namespace qm::bench
