#pragma once
// The frame codec objects for a source (decoder) and for an output format (encoder).

#include <memory>

#include "codecs/frame_codec.h"
#include "core/output_format.h"
#include "engine/media_info.h"

namespace qm {

// A decoder for Hap, DXV and NotchLC sources; none for sources the media layer decodes.
std::unique_ptr<CompressedFrameDecoder> makeFrameDecoder(const MediaInfo& info);

// A Hap or DXV3 encoder for the GPU formats; none for every other format. `chunks` below 1 picks
// the Hap chunk count from the frame size.
std::unique_ptr<CompressedFrameEncoder> makeFrameEncoder(OutputFormat format, int chunks, bool highQuality, int width,
                                                         int height);

}  // namespace qm
