#include "engine/codec_factories.h"

#include "codecs/dxv_codec.h"
#include "codecs/hap_codec.h"
#include "codecs/notchlc_codec.h"
#include "engine/transcode_rules.h"

namespace qm {

std::unique_ptr<CompressedFrameDecoder> makeFrameDecoder(const MediaInfo& info) {
    switch (info.decoder.kind) {
    case SourceDecoder::Kind::hap: return std::make_unique<HapDecoder>(info.width, info.height);
    case SourceDecoder::Kind::notchLC: return std::make_unique<NotchLCDecoder>(info.width, info.height);
    case SourceDecoder::Kind::dxv: return std::make_unique<DXVDecoder>(info.width, info.height);
    default: return nullptr;
    }
}

std::unique_ptr<CompressedFrameEncoder> makeFrameEncoder(OutputFormat format, int chunks, bool highQuality, int width,
                                                         int height) {
    uint32_t codecType = 0;
    switch (format) {
    case OutputFormat::hap: codecType = fourCC('H', 'a', 'p', '1'); break;
    case OutputFormat::hapAlpha: codecType = fourCC('H', 'a', 'p', '5'); break;
    case OutputFormat::hapQ: codecType = fourCC('H', 'a', 'p', 'Y'); break;
    case OutputFormat::hapQAlpha: codecType = fourCC('H', 'a', 'p', 'M'); break;
    case OutputFormat::dxv3:
    case OutputFormat::dxv3Alpha:
        return std::make_unique<DXVEncoder>(fourCC('D', 'X', 'D', '3'), "DXV 3", format == OutputFormat::dxv3Alpha,
                                            highQuality);
    default: return nullptr;
    }
    auto variant = hapVariantForCodecType(codecType);
    if (!variant) return nullptr;
    return std::make_unique<HapEncoder>(std::string(label(format)), *variant, hapChunkCount(chunks, width, height),
                                        highQuality);
}

}  // namespace qm
