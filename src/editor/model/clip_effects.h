#pragma once
// The per-clip picture processing: chroma key with spill suppression, then colour correction
// (exposure in linear light, saturation, contrast, tone curve), all on one float pass per pixel.
// Pictures are 16-bit premultiplied layers in and out; no colour management.

#include <QImage>

#include <array>
#include <cstdint>
#include <vector>

#include "editor/model/clip_transform.h"
#include "platform/raster/compositing.h"

namespace qm {

class PixelBuffer;

// The chain's numbers for one clip-local time, with every step that would change nothing left off.
struct ClipEffectSettings {
    bool key = false;
    std::array<float, 3> keyColor{};
    std::array<float, 3> dominant{};  // one-hot: green wins ties, then blue
    float tolerance = 0, softness = 0, spill = 0;
    bool showMatte = false;  // the matte as an opaque grey picture, nothing else
    bool color = false;
    bool exposure = false;
    float exposureGain = 1;  // 2^EV on linear light
    bool controls = false;
    float saturation = 1, contrast = 1;
    std::vector<float> curve;  // 1024 samples over 0…1, empty when the curve is the diagonal

    bool any() const { return key || color; }
    static ClipEffectSettings make(const ClipTransform& transform, double ts, bool preview);
};

// The chain made ready for pixels: its look-up tables built once per frame.
class ClipEffectChain {
public:
    explicit ClipEffectChain(ClipEffectSettings settings);
    const ClipEffectSettings& settings() const { return s_; }
    // The result for one straight colour (alpha included), premultiplied.
    Rgba pixel(Rgba straight) const;
    // `count` straight 8-bit 'BGRA' pixels through the chain (or only premultiplied when it is
    // empty) into premultiplied floats.
    void frameRow(const uint8_t* bgra, int count, Rgba* out) const;
    // The same for 16-bit premultiplied RGBA pixels.
    void layerRow(const uint16_t* rgba64, int count, Rgba* out) const;

private:
    void run(float* r, float* g, float* b, float* a, int count, Rgba* out) const;

    ClipEffectSettings s_;
    std::vector<float> exposure_;  // sRGB-coded result of 0…1 in even steps
    float uk_ = 0, vk_ = 0;        // the key colour's chroma
};

// Runs the chain on a premultiplied layer; returns the very picture when nothing is enabled.
QImage applyClipEffects(const QImage& picture, const ClipTransform& transform, double ts, bool preview);

// A decoded 'BGRA' frame (straight alpha) through the chain as a premultiplied layer.
QImage layerFromFrame(const PixelBuffer& frame, const ClipEffectChain& chain);

}  // namespace qm
