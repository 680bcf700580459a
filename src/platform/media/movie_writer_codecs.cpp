#include "platform/media/movie_writer_codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "core/four_cc.h"
#include "platform/media/movie_writer.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

// ProRes profiles of prores_ks: 0 proxy, 1 lt, 2 standard, 3 hq, 4 4444, 5 4444 XQ.
std::optional<EncodedKind> encodedKind(uint32_t codecType) {
    switch (codecType) {
    case fourCC('a', 'p', 'c', 'o'): return EncodedKind{"prores_ks", 0, kPixelFormatYUV422P10};
    case fourCC('a', 'p', 'c', 's'): return EncodedKind{"prores_ks", 1, kPixelFormatYUV422P10};
    case fourCC('a', 'p', 'c', 'n'): return EncodedKind{"prores_ks", 2, kPixelFormatYUV422P10};
    case fourCC('a', 'p', 'c', 'h'): return EncodedKind{"prores_ks", 3, kPixelFormatYUV422P10};
    case fourCC('a', 'p', '4', 'h'): return EncodedKind{"prores_ks", 4, kPixelFormatYUVA444P10};
    case fourCC('a', 'p', '4', 'x'): return EncodedKind{"prores_ks", 5, kPixelFormatYUVA444P10};
    case fourCC('a', 'v', 'c', '1'): return EncodedKind{"libx264", -1, kPixelFormatYUV420P};
    case fourCC('h', 'v', 'c', '1'): return EncodedKind{"libx265", -1, kPixelFormatYUV420P};
    // Encoded by our own x265 with an alpha layer, not through libavcodec.
    case kCodecTypeHevcAlpha: return EncodedKind{nullptr, -1, kPixelFormatYUVA420P};
    default: return std::nullopt;
    }
}

AVCodecID passThroughCodec(uint32_t codecType) {
    switch (codecType) {
    case fourCC('H', 'a', 'p', '1'):
    case fourCC('H', 'a', 'p', '5'):
    case fourCC('H', 'a', 'p', 'Y'):
    case fourCC('H', 'a', 'p', 'M'): return AV_CODEC_ID_HAP;
    case fourCC('D', 'X', 'D', '3'): return AV_CODEC_ID_DXV;
    default: return AV_CODEC_ID_NONE;
    }
}

bool MovieWriter::isEncodedCodecType(uint32_t codecType) { return encodedKind(codecType).has_value(); }
bool MovieWriter::isPassThroughCodecType(uint32_t codecType) { return passThroughCodec(codecType) != AV_CODEC_ID_NONE; }

uint32_t MovieWriter::encoderPixelFormat(uint32_t codecType) {
    const auto kind = encodedKind(codecType);
    return kind ? kind->pixelFormat : 0;
}

int MovieWriter::minimumPictureSide(uint32_t codecType) {
    return codecType == fourCC('h', 'v', 'c', '1') || codecType == kCodecTypeHevcAlpha ? 16 : 1;
}

bool MovieWriter::proRes4444XQAvailable() {
    const AVCodec* codec = avcodec_find_encoder_by_name("prores_ks");
    if (codec == nullptr || codec->priv_class == nullptr) return false;
    const AVClass* cls = codec->priv_class;
    return av_opt_find(&cls, "4444xq", "profile", 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

}  // namespace qm
