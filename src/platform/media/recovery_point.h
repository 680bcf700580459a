#pragma once
// The H.264 recovery point an intra-refresh writer (x264's intra-refresh, say) marks its key
// frames with: how many frames after it the pictures are whole again.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qm::reading {

// The recovery_frame_cnt of the recovery point SEI message in an H.264 sample, or nothing where it
// carries none. `lengthSize` is the size of each NAL unit's length field (from the avcC record),
// 0 for a byte stream whose units follow start codes (MPEG-TS).
std::optional<int> recoveryFrameCount(const uint8_t* data, size_t size, int lengthSize);

}  // namespace qm::reading
