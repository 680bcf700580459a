#pragma once
// HEVC samples cleared of the parameter sets and SEI messages that the decoder refuses, before it
// sees them.
//
// The source reader tells the HEVC decoder to return every error it meets, so that a damaged slice
// fails its picture instead of leaving a hole in it. Told so, the decoder also refuses a whole
// sample for a unit beside the picture that it can't parse, such as x265's buffering period and
// picture timing written as one SEI message, although it passes over that unit without harm to the
// picture when it is not told. So those units are first given to a second decoder that sees
// nothing else, and the ones it refuses are left out of the sample; a picture that needed one
// still fails, at its slices.

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/media/ffmpeg_internal.h"

struct AVStream;

namespace qm::reading {

class HevcUnitCheck {
public:
    // Nothing for a stream that is no HEVC. Throws MediaError("decoder", ...).
    static std::unique_ptr<HevcUnitCheck> open(const AVStream* stream);

    // `sample` itself, or a copy of it without the units the decoder refuses, valid until the next
    // call. Null (the end of the stream) passes as it is.
    const AVPacket* checked(const AVPacket* sample);

    // Whether no picture can be predicted from the sample's: each of its slices is of a picture
    // none refers to (a sub-layer non-reference one of the top sub-layer), or its framing can't be
    // followed, so that the decoder refuses it whole, decoding none of it, and a picture predicted
    // from it lacks its reference, which is found where that one is decoded.
    bool unreferenced(const AVPacket* sample) const;

private:
    // One unit of a sample, from its length field or start code to the next unit.
    struct Unit {
        size_t begin = 0, end = 0;
        bool beside = false;  // a parameter set or SEI of the base layer
        bool unreferenced = false;  // a slice of the base layer of a picture none refers to
        bool slice = false;  // a slice of the base layer
    };
    std::vector<Unit> split(const AVPacket* sample) const;
    bool accepts(const AVPacket* sample, const std::vector<const Unit*>& units);

    ffmpeg::CodecContextPtr check_;
    int lengthSize_ = 0;  // bytes of each unit's length field; 0: units follow start codes
    int topSubLayer_ = -1;  // as the sample description says; -1 where it says nothing
    ffmpeg::PacketPtr probe_;
    ffmpeg::PacketPtr kept_;
    ffmpeg::FramePtr frame_;
};

}  // namespace qm::reading
