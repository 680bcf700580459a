// The LTC decoder and its analysis over arbitrary samples: the first byte picks the sample rate
// and whether the rest are 8-bit samples or raw 32-bit floats (NaN and infinities included).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "editor/sync/ltc_decoder.h"
#include "editor/sync/ltc_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    constexpr double kRates[] = {48000, 44100, 8000, 96000, 1, 1e6, 22050, 0.5};
    const double rate = kRates[data[0] & 7];
    std::vector<float> samples;
    if (data[0] & 0x80) {
        samples.resize((size - 1) / sizeof(float));
        if (!samples.empty()) std::memcpy(samples.data(), data + 1, samples.size() * sizeof(float));
    } else {
        for (size_t i = 1; i < size; ++i) samples.push_back(float(int8_t(data[i])) / 128.0f);
    }
    qm::LTCDecoder decoder(rate);
    decoder.process(samples.data(), int64_t(samples.size()), 1, 0);
    for (const auto& f : decoder.frames())
        if (f.timecode.hours > 23 || f.timecode.minutes > 59 || f.timecode.seconds > 59 || f.timecode.frames > 29)
            __builtin_trap();
    if (const auto info = qm::analyzeLTCFrames(decoder.frames(), rate)) {
        if (!(info->measuredRate > 0) || !std::isfinite(info->startFrame) || info->framesDecoded < 10) __builtin_trap();
        (void)info->rateText();
        (void)qm::ltcTimecodeAt(*info, 1e6);
    }
    return 0;
}
