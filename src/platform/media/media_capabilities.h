#pragma once
// What the installed encoders can do, asked of libavcodec.

namespace qm {

// True when the ProRes encoder (prores_ks) offers the 4444 XQ profile.
bool proResEncoderOffers4444XQ();

// True when the x265 linked into this build encodes an alpha layer (it is built with that option
// only by our setup; Debian's own has none).
bool hevcAlphaEncoderAvailable();

}  // namespace qm
