#include "editor/sync/ltc_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qm {

namespace {
constexpr int kWindow = 80;
constexpr double kNominalBitRate = 2150;  // between 24 fps (1920 bit/s) and 30 fps (2400 bit/s)

unsigned bitField(const uint8_t* bits, int start, int count) {
    unsigned value = 0;
    for (int k = 0; k < count; ++k) value |= unsigned(bits[start + k]) << k;
    return value;
}
}  // namespace

LTCDecoder::LTCDecoder(double sampleRate)
    : sampleRate_(sampleRate),
      // A one-pole 20 Hz DC tracker and a 50 ms envelope release.
      alpha_(static_cast<float>(1.0 - std::exp(-125.66370614359172 / sampleRate))),
      decay_(static_cast<float>(std::exp(-1.0 / (sampleRate * 0.05)))),
      bitPeriod_(sampleRate / kNominalBitRate) {}

std::optional<Timecode> LTCDecoder::decodeFrameWord(const uint8_t* bits) {
    const unsigned frameUnits = bitField(bits, 0, 4), frameTens = bitField(bits, 8, 2);
    const unsigned secondUnits = bitField(bits, 16, 4), secondTens = bitField(bits, 24, 3);
    const unsigned minuteUnits = bitField(bits, 32, 4), minuteTens = bitField(bits, 40, 3);
    const unsigned hourUnits = bitField(bits, 48, 4), hourTens = bitField(bits, 56, 2);
    if (frameUnits > 9 || secondUnits > 9 || minuteUnits > 9 || hourUnits > 9) return std::nullopt;
    const unsigned frames = frameUnits + 10 * frameTens, seconds = secondUnits + 10 * secondTens;
    const unsigned minutes = minuteUnits + 10 * minuteTens, hours = hourUnits + 10 * hourTens;
    if (frames > 29 || seconds > 59 || minutes > 59 || hours > 23) return std::nullopt;
    return Timecode{hours, minutes, seconds, frames, bits[10] == 1};
}

void LTCDecoder::appendBit(uint8_t bit) {
    if (bitCount_ == int(bits_.size())) {
        std::memmove(bits_.data(), bits_.data() + bitCount_ - (kWindow - 1), kWindow - 1);
        std::memmove(bitStarts_.data(), bitStarts_.data() + bitCount_ - (kWindow - 1), (kWindow - 1) * sizeof(double));
        bitCount_ = kWindow - 1;
    }
    bits_[size_t(bitCount_)] = bit;
    bitStarts_[size_t(bitCount_)] = bitStart_;
    ++bitCount_;
    if (bitCount_ < kWindow) return;
    const uint8_t* window = bits_.data() + bitCount_ - kWindow;
    if (!std::equal(syncWord.begin(), syncWord.end(), window + 64)) return;
    if (auto timecode = decodeFrameWord(window)) {
        frames_.push_back({bitStarts_[size_t(bitCount_ - kWindow)], *timecode});
        bitCount_ = 0;
    }
}

void LTCDecoder::process(const float* samples, int64_t count, int64_t stride, int64_t firstIndex) {
    // The filter state lives in registers for the run; transitions are rare enough to leave the loop.
    const float alpha = alpha_, decay = decay_;
    float dcLevel = dcLevel_, envelope = envelope_, previous = previous_;
    bool level = level_;
    for (int64_t i = 0; i < count; ++i) {
        const float x = samples[i * stride];
        dcLevel += (x - dcLevel) * alpha;
        const float y = x - dcLevel;
        const float magnitude = std::abs(y);
        const float decayed = envelope * decay;
        envelope = magnitude <= decayed ? decayed : magnitude;
        if (envelope > 0.0001f) {
            const float threshold = envelope * 0.25f;
            if (level ? y < -threshold : y > threshold) {
                // The crossing, interpolated between the previous sample and this one.
                const float t = level ? -threshold : threshold;
                double frac = y == previous ? 0.0 : double((t - previous) / (y - previous));
                if (frac > 1.0) frac = 1.0;
                if (!(frac >= 0.0)) frac = 0.0;
                level = !level;
                onEdge(double(firstIndex + i) - 1.0 + frac);
            }
        }
        previous = y;
    }
    dcLevel_ = dcLevel;
    envelope_ = envelope;
    previous_ = previous;
    level_ = level;
}

void LTCDecoder::onEdge(double edge) {
    if (!lastEdge_) {
        bitStart_ = edge;
    } else {
        const double interval = edge - *lastEdge_;
        const double p = bitPeriod_;
        if (interval > 1.6 * p || interval < 0.25 * p) {
            // A dropout or a glitch: start over from the default period, keeping the bits read.
            pendingHalf_ = false;
            bitStart_ = edge;
            bitPeriod_ = sampleRate_ / kNominalBitRate;
        } else if (interval > 0.75 * p) {
            bitPeriod_ = p + 0.1 * (interval - p);
            appendBit(0);
            pendingHalf_ = false;
            bitStart_ = edge;
        } else if (!pendingHalf_) {
            pendingHalf_ = true;
        } else {
            bitPeriod_ = p + 0.1 * ((edge - bitStart_) - p);
            appendBit(1);
            pendingHalf_ = false;
            bitStart_ = edge;
        }
    }
    lastEdge_ = edge;
}

}  // namespace qm
