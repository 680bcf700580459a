#pragma once
// The codecs the movie writer encodes itself and those whose samples it passes through as they are.

#include <cstdint>
#include <optional>

#include "core/four_cc.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace qm {

inline constexpr uint32_t kCodecTypeHevcAlpha = fourCC('m', 'u', 'x', 'a');

struct EncodedKind {
    const char* encoder;  // libavcodec's encoder; null for HEVC with alpha
    int proResProfile;  // -1 for others
    uint32_t pixelFormat;
};

std::optional<EncodedKind> encodedKind(uint32_t codecType);
AVCodecID passThroughCodec(uint32_t codecType);

}  // namespace qm
