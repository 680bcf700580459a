#pragma once
// The codecs the movie writer encodes itself and those whose samples it passes through as they are.

#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace qm {

struct EncodedKind {
    const char* encoder;
    int proResProfile;  // -1 for others
    uint32_t pixelFormat;
};

std::optional<EncodedKind> encodedKind(uint32_t codecType);
AVCodecID passThroughCodec(uint32_t codecType);

}  // namespace qm
