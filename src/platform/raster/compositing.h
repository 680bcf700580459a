#pragma once
// Premultiplied RGBA arithmetic in float, layers of 16-bit premultiplied RGBA
// (QImage::Format_RGBA64_Premultiplied, so QPainter can draw into them) and the fused pass that
// stacks layers, fades them, puts them over a background and stores 8-bit pixels.
//
// Values stay float and unclamped between steps (an added halo may pass 1); only the final store
// clamps.

#include <QImage>
#include <QPointF>
#include <QSizeF>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/raster/float_plane.h"

namespace qm {

struct Rgba {
    float r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Rgba&) const = default;
};

inline Rgba operator+(Rgba x, Rgba y) { return {x.r + y.r, x.g + y.g, x.b + y.b, x.a + y.a}; }
inline Rgba operator-(Rgba x, Rgba y) { return {x.r - y.r, x.g - y.g, x.b - y.b, x.a - y.a}; }
inline Rgba operator*(Rgba x, float k) { return {x.r * k, x.g * k, x.b * k, x.a * k}; }

// Porter-Duff source-over of premultiplied colours.
inline Rgba sourceOver(Rgba over, Rgba under) { return over + under * (1.0f - over.a); }
// `over` where the mask is 1, `under` where it is 0, linear between.
inline Rgba maskBlend(Rgba over, Rgba under, float mask) { return under + (over - under) * mask; }
// Straight colour of a premultiplied one; no alpha gives transparent black.
inline Rgba unpremultiplied(Rgba p) {
    if (p.a <= 0.0f) return {};
    const float k = 1.0f / p.a;
    return {p.r * k, p.g * k, p.b * k, p.a};
}
inline Rgba premultiplied(Rgba s) { return {s.r * s.a, s.g * s.a, s.b * s.a, s.a}; }

// out = M × (r, g, b, a) + bias, on whichever form (straight or premultiplied) the caller holds.
struct ChannelMatrix {
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    float bias[4] = {0, 0, 0, 0};
    Rgba apply(Rgba p) const {
        const float in[4] = {p.r, p.g, p.b, p.a};
        float out[4];
        for (int i = 0; i < 4; ++i) out[i] = m[i][0] * in[0] + m[i][1] * in[1] + m[i][2] * in[2] + m[i][3] * in[3] + bias[i];
        return {out[0], out[1], out[2], out[3]};
    }
};

inline Rgba loadRgba64(const uint16_t* p) {
    constexpr float k = 1.0f / 65535.0f;
    return {float(p[0]) * k, float(p[1]) * k, float(p[2]) * k, float(p[3]) * k};
}

// v held to 0…1, NaN (a mask, matrix or effect gone wrong) to 0: std::clamp passes NaN through,
// and NaN converted to an integer is undefined.
inline float clampUnit(float v) {
    v = v > 0.0f ? v : 0.0f;
    return v < 1.0f ? v : 1.0f;
}

// A channel of 0…1 as a layer stores it.
inline uint16_t to16(float v) { return static_cast<uint16_t>(clampUnit(v) * 65535.0f + 0.5f); }

// The layer format: 16-bit premultiplied RGBA.
inline constexpr QImage::Format kLayerFormat = QImage::Format_RGBA64_Premultiplied;

// A transparent layer.
QImage makeLayer(int width, int height);

// Clears an area of a layer to transparent, in parallel.
void clearLayerArea(QImage& layer, Area area);

// Puts `item` over `layer` with its top-left corner at `topLeft`, stretched to `size`. Whole-pixel
// placement at the item's own size is copied row by row, a fractional one sampled bilinearly, a
// scaled one drawn by QPainter with smooth sampling. Both run in parallel over horizontal bands of the layer.
void drawOver(QImage& layer, const QImage& item, QPointF topLeft, QSizeF size);

// Sets the pixels of `area` that lie outside `keep` to 0.
void clearPlaneArea(FloatPlane& plane, Area area, Area keep = {0, 0, 0, 0});

// An unscaled image at a whole-pixel position: 8-bit premultiplied ARGB
// (QImage::Format_ARGB32_Premultiplied) or a layer-format image.
struct PlacedImage {
    const QImage* image = nullptr;
    int x = 0;
    int y = 0;
};

// Alpha of the images times `scale` into every pixel of `area` of `into` (0 where no image lies);
// images that share a row must not overlap. Returns the smallest area holding every non-zero
// value written (empty when there is none).
Area alphaPlane(const std::vector<PlacedImage>& images, float scale, FloatPlane& into, Area area);

// A plane standing for one colour times its values: each value v gives premultiplied
// (r v, g v, b v, v). Sampled at (x − dx, y − dy), bilinearly, 0 outside the plane.
struct ColoredPlane {
    const FloatPlane* plane = nullptr;
    float r = 0, g = 0, b = 0;
    float dx = 0, dy = 0;
};

// The stack one fused pass produces, bottom to top: background (opaque), then, faded together by
// `fade`, the coloured plane, `base` and `top`. Layers are frame-sized 16-bit premultiplied images
// (or absent). Without a `base` layer, `baseImages` stand for it: images that share no row.
// Rows (and columns) outside a part's range are known to be empty there and are skipped.
struct LayerStack {
    ColoredPlane under;
    const QImage* base = nullptr;
    std::vector<PlacedImage> baseImages;
    const QImage* top = nullptr;
    Area underArea, baseArea, topArea;
    float fade = 1.0f;
    std::optional<Rgba> background;
};

enum class StoreOrder { bgra, rgba };
enum class StoreAlpha { straight, premultiplied };

// Composes the stack for every pixel of a width × height frame and stores it as 8-bit channels in
// the given order, clamped to 0…1 and rounded; straight alpha divides by alpha first.
void storeLayerStack(const LayerStack& stack, int width, int height, uint8_t* pixels, size_t bytesPerRow,
                     StoreOrder order, StoreAlpha alpha);

// The same store for the simple frames that need no layers: images that do not overlap, faded
// together by `fade`, over the background (or transparency). Pixels no image covers are the
// background alone.
void storeImages(const std::vector<PlacedImage>& images, float fade, std::optional<Rgba> background, int width,
                 int height, uint8_t* pixels, size_t bytesPerRow, StoreOrder order, StoreAlpha alpha);

// Every pixel of `over` where the mask is 1, of `under` where it is 0 (all three the same size),
// as a layer.
QImage blendWithMask(const QImage& over, const QImage& under, const FloatPlane& mask);

}  // namespace qm
