#pragma once
// What the installed encoders can do, asked of libavcodec.

namespace qm {

// True when the ProRes encoder (prores_ks) offers the 4444 XQ profile.
bool proResEncoderOffers4444XQ();

}  // namespace qm
