#pragma once
// A biphase-mark decoder for SMPTE linear timecode on one audio channel, fed sample by sample.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "editor/sync/timecode.h"

namespace qm {

class LTCDecoder {
public:
    struct Frame {
        double position = 0;  // sample position of the edge that opened bit 0 of the word
        Timecode timecode;
        bool operator==(const Frame&) const = default;
    };

    // The sync word in transmission order, the last 16 bits of every frame word.
    static constexpr std::array<uint8_t, 16> syncWord = {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1};

    explicit LTCDecoder(double sampleRate);

    // Feeds one sample with its absolute index (0 for the channel's first sample, one more per sample).
    void process(float sample, int64_t index) { process(&sample, 1, 1, index); }
    // Feeds a run of samples `stride` floats apart, the first with index `firstIndex`.
    void process(const float* samples, int64_t count, int64_t stride, int64_t firstIndex);

    const std::vector<Frame>& frames() const { return frames_; }
    double sampleRate() const { return sampleRate_; }

    // The reading of a full 80-bit window, or none when a field is out of range.
    static std::optional<Timecode> decodeFrameWord(const uint8_t* bits);

private:
    // An accepted transition at `edge` (fractional sample position): measures it against the bit period.
    void onEdge(double edge);
    void appendBit(uint8_t bit);

    double sampleRate_;
    float alpha_;
    float decay_;
    std::vector<Frame> frames_;
    float dcLevel_ = 0;
    float envelope_ = 0;
    bool level_ = false;
    float previous_ = 0;
    std::optional<double> lastEdge_;
    double bitPeriod_;
    bool pendingHalf_ = false;
    double bitStart_ = 0;
    // Bits and the edges that opened them; the window is the last 80. Twice the room, so that
    // sliding costs one move every 80 bits.
    std::array<uint8_t, 160> bits_{};
    std::array<double, 160> bitStarts_{};
    int bitCount_ = 0;
};

}  // namespace qm
