#pragma once
// The H.264 recovery point an intra-refresh writer (x264's intra-refresh, say) marks its key
// frames with: how many frames after it the pictures are whole again; and the pictures a decoder
// beginning at a picture without what precedes it leaves out.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qm::reading {

struct RecoveryPoint {
    int frameCount = 0;  // recovery_frame_cnt: the pictures are whole this many frames on
    // The frame_num of the picture it marks, where its sequence parameter set can be read.
    std::optional<unsigned> frameNumber;
};

// The recovery point SEI message in H.264 units and the slice after it, or nothing where the units
// carry none or it marks an IDR picture. `lengthSize` is the size of each unit's length field (from the avcC record), 0 for a
// byte stream whose units follow start codes (MPEG-TS). The sequence parameter set is the units'
// own, else the one in `config` (an avcC record or units after start codes).
std::optional<RecoveryPoint> recoveryPoint(const uint8_t* data, size_t size, int lengthSize, const uint8_t* config,
                                           size_t configSize);

// Whether a sample's picture may be shown before the picture decoded right before it, predicted
// from pictures before that one: H.264's B slices, HEVC's skipped leading pictures (RASL). Where
// reading begins at that picture, the decoder leaves such a picture out. Units as above.
bool mayLeadPredecessor(const uint8_t* data, size_t size, int lengthSize, bool hevc);

// Whether no picture is predicted from an H.264 sample's: it holds slices, each of them with
// nal_ref_idc 0. Units as above.
bool unreferencedH264(const uint8_t* data, size_t size, int lengthSize);

// Whether a sample's first picture is one a decoder may begin at with nothing before it: an H.264
// IDR picture, an HEVC IRAP picture (IDR, CRA, BLA). Units as above.
bool beginsDecoding(const uint8_t* data, size_t size, int lengthSize, bool hevc);

// Whether the sample's first slice is an IDR picture (H.264, HEVC): a decoder beginning there gives
// it whole, and no picture shown before it is lacking. Units as above.
bool beginsAtInstantRefresh(const uint8_t* data, size_t size, int lengthSize, bool hevc);

}  // namespace qm::reading
