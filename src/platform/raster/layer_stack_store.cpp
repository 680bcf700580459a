// The fused frame store: a layer stack (a coloured plane under a base layer or images, a top layer
// over them, faded over a background) composed and stored as 8-bit pixels in one pass per row.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/raster/compositing.h"
#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

// Four floats or integers as one value (one SSE register).
typedef float Quad __attribute__((vector_size(16)));
typedef int32_t Quad32 __attribute__((vector_size(16)));
typedef uint32_t QuadU __attribute__((vector_size(16)));

}  // namespace

namespace {

struct LayerSpan {
    const uchar* row = nullptr;  // the row, or null
    int origin = 0;              // the frame column of the row's first pixel
    int left = 0, right = 0;     // columns that may hold something
    bool deep = true;            // 16-bit layer pixels, else 8-bit premultiplied BGRA
    // The row's pixel at frame column x.
    const uchar* at(int x) const { return row ? row + (deep ? 8 : 4) * (x - origin) : nullptr; }
};

inline uint8_t byteOf(float v) {
    v = v > 0.0f ? v : 0.0f;  // NaN gives 0
    return static_cast<uint8_t>((v < 1.0f ? v : 1.0f) * 255.0f + 0.5f);
}

// 0…255 of a value clamped to 0…1 (NaN gives 0), written so that it maps onto min/max instructions.
inline uint32_t channel(float v) {
    v = v > 0.0f ? v : 0.0f;
    v = v < 1.0f ? v : 1.0f;
    return static_cast<uint32_t>(static_cast<int32_t>(v * 255.0f + 0.5f));
}

struct StackConstants {
    float ur, ug, ub;          // the plane's colour
    float fade;
    float br, bgg, bb, ba;     // the background, 0 without one
};


inline Quad loadQuad(const float* p) {
    Quad v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// 0…255 of four values clamped to 0…1 (NaN gives 0).
inline Quad32 quadChannel(Quad v) {
    const Quad one = {1.0f, 1.0f, 1.0f, 1.0f};
    const Quad zero = {};
    // In this order the two selections are single max and min instructions.
    v = v > zero ? v : zero;
    v = v < one ? v : one;
    return __builtin_convertvector(v * 255.0f + 0.5f, Quad32);
}

// The four channels of four 16-bit RGBA pixels, as floats 0…1: the pixels are read as eight
// words (R | G << 16, B | A << 16 each) and split with shuffles, masks and shifts.
inline void channels16(const uint16_t* p, Quad& r, Quad& g, Quad& b, Quad& a) {
    constexpr float k16 = 1.0f / 65535.0f;
    QuadU lo, hi;
    std::memcpy(&lo, p, sizeof lo);
    std::memcpy(&hi, p + 8, sizeof hi);
#if defined(__clang__)
    const QuadU rg = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
    const QuadU ba = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
#else
    const QuadU rg = __builtin_shuffle(lo, hi, QuadU{0, 2, 4, 6});
    const QuadU ba = __builtin_shuffle(lo, hi, QuadU{1, 3, 5, 7});
#endif
    const QuadU low = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    r = __builtin_convertvector(Quad32(rg & low), Quad) * k16;
    g = __builtin_convertvector(Quad32(rg >> 16), Quad) * k16;
    b = __builtin_convertvector(Quad32(ba & low), Quad) * k16;
    a = __builtin_convertvector(Quad32(ba >> 16), Quad) * k16;
}

// Four faded pixels over the background, divided by alpha for straight output, as words.
template <int R, int B, bool Straight>
inline void storeQuad(Quad r, Quad g, Quad b, Quad a, const StackConstants& c, uint32_t* words) {
    const Quad keep = 1.0f - a;
    r += c.br * keep, g += c.bgg * keep, b += c.bb * keep, a += c.ba * keep;
    if constexpr (Straight) {
        const Quad32 some = a > Quad{};
        const Quad inv = Quad(Quad32(1.0f / a) & some);
        r *= inv, g *= inv, b *= inv;
    }
    const Quad32 word = quadChannel(r) << (8 * R) | quadChannel(g) << 8 | quadChannel(b) << (8 * B) | quadChannel(a) << 24;
    std::memcpy(words, &word, sizeof word);
}

// The same for one pixel.
template <int R, int B, bool Straight>
inline uint32_t storedPixel(float r, float g, float b, float a, const StackConstants& c) {
    const float keep = 1.0f - a;
    r += c.br * keep, g += c.bgg * keep, b += c.bb * keep, a += c.ba * keep;
    float k = 1.0f;
    if constexpr (Straight) k = a > 0.0f ? 1.0f / a : 0.0f;
    return channel(r * k) << (8 * R) | channel(g * k) << 8 | channel(b * k) << (8 * B) | channel(a) << 24;
}

// The four channels of four 8-bit premultiplied BGRA pixels as the 16-bit values a layer holds
// for them (each byte times 257), as floats 0…1: an image used in place of a layer composes to
// the same numbers.
inline void channels8(const uint8_t* p, Quad& r, Quad& g, Quad& b, Quad& a) {
    constexpr float k16 = 1.0f / 65535.0f;
    Quad32 px;
    std::memcpy(&px, p, sizeof px);
    const Quad32 byte = {255, 255, 255, 255};
    b = __builtin_convertvector((px & byte) * 257, Quad) * k16;
    g = __builtin_convertvector(((px >> 8) & byte) * 257, Quad) * k16;
    r = __builtin_convertvector(((px >> 16) & byte) * 257, Quad) * k16;
    a = __builtin_convertvector(((px >> 24) & byte) * 257, Quad) * k16;
}

// Whether four pixels (16 or 32 bytes) or four plane values are all 0 (−0 counts as 0).
template <size_t Bytes>
inline bool zeroBytes(const void* p) {
    uint64_t words[Bytes / 8];
    std::memcpy(words, p, Bytes);
    uint64_t any = 0;
    for (uint64_t w : words) any |= w;
    return any == 0;
}
inline bool zeroValues(const float* v) {
    uint32_t bits[4];
    std::memcpy(bits, v, sizeof bits);
    return ((bits[0] | bits[1] | bits[2] | bits[3]) << 1) == 0;
}

// Columns [x0, x1) of one row, where each of the plane and the two layers is either present
// throughout or absent: composed in float, four pixels at a time, and stored as 32-bit words
// (byte i is bits 8i…8i+7). `v` is indexed by frame column; `base` and `top` start at column x0.
// The base is a 16-bit layer row or (T = uint8_t) an 8-bit BGRA image row. Four pixels with
// nothing in any part are the background alone, `empty`.
template <int R, int B, bool Straight, typename T>
void composeSegment(const float* __restrict v, const uchar* __restrict baseBytes, const uchar* __restrict topBytes,
                    int x0, int x1, const StackConstants& c, uint32_t empty, uint32_t* __restrict words) {
    constexpr bool deep = sizeof(T) == 2;
    const T* base = reinterpret_cast<const T*>(baseBytes);
    const uint16_t* top = reinterpret_cast<const uint16_t*>(topBytes);
    const float ur = c.ur, ug = c.ug, ub = c.ub, fade = c.fade;
    auto over = [](Quad sr, Quad sg, Quad sb, Quad sa, Quad& r, Quad& g, Quad& b, Quad& a) {
        const Quad keep = 1.0f - sa;
        r = sr + r * keep, g = sg + g * keep, b = sb + b * keep, a = sa + a * keep;
    };
    int x = x0;
    for (; x + 4 <= x1; x += 4) {
        const int i = x - x0;
        if ((!v || zeroValues(v + x)) && (!base || zeroBytes<16 * sizeof(T)>(base + 4 * i)) &&
            (!top || zeroBytes<32>(top + 4 * i))) {
            std::fill_n(words + x, 4, empty);
            continue;
        }
        const Quad pv = v ? loadQuad(v + x) : Quad{};
        Quad r = ur * pv, g = ug * pv, b = ub * pv, a = pv;
        Quad sr, sg, sb, sa;
        // A transparent layer pixel changes nothing (x + 0 · 1), so it is passed over.
        if (base && !zeroBytes<16 * sizeof(T)>(base + 4 * i)) {
            if constexpr (deep)
                channels16(base + 4 * i, sr, sg, sb, sa);
            else
                channels8(base + 4 * i, sr, sg, sb, sa);
            over(sr, sg, sb, sa, r, g, b, a);
        }
        if (top && !zeroBytes<32>(top + 4 * i)) {
            channels16(top + 4 * i, sr, sg, sb, sa);
            over(sr, sg, sb, sa, r, g, b, a);
        }
        if (fade != 1.0f) r *= fade, g *= fade, b *= fade, a *= fade;
        storeQuad<R, B, Straight>(r, g, b, a, c, words + x);
    }
    constexpr float k16 = 1.0f / 65535.0f;
    constexpr int sr = deep ? 0 : 2, sb = deep ? 2 : 0;
    constexpr uint32_t widen = deep ? 1 : 257;
    for (; x < x1; ++x) {
        const int i = x - x0;
        const float pv = v ? v[x] : 0.0f;
        float r = ur * pv, g = ug * pv, b = ub * pv, a = pv;
        auto over1 = [&](uint32_t pr, uint32_t pg, uint32_t pb, uint32_t pa) {
            const float fa = float(pa) * k16, keep = 1.0f - fa;
            r = float(pr) * k16 + r * keep, g = float(pg) * k16 + g * keep;
            b = float(pb) * k16 + b * keep, a = fa + a * keep;
        };
        if (base) {
            const T* s = base + 4 * i;
            over1(s[sr] * widen, s[1] * widen, s[sb] * widen, s[3] * widen);
        }
        if (top) {
            const uint16_t* s = top + 4 * i;
            over1(s[0], s[1], s[2], s[3]);
        }
        r *= fade, g *= fade, b *= fade, a *= fade;
        words[x] = storedPixel<R, B, Straight>(r, g, b, a, c);
    }
}

// `count` pixels of one image row (16-bit RGBA or 8-bit BGRA, premultiplied), faded, over the
// background, stored as 32-bit words.
template <int R, int B, bool Straight, typename T>
void imageSegment(const T* __restrict src, int count, const StackConstants& c, uint32_t* __restrict words) {
    constexpr bool deep = sizeof(T) == 2;
    constexpr int sr = deep ? 0 : 2, sb = deep ? 2 : 0;
    constexpr float scale = deep ? 1.0f / 65535.0f : 1.0f / 255.0f;
    const float fade = c.fade;
    const uint32_t empty = channel(c.br) << (8 * R) | channel(c.bgg) << 8 | channel(c.bb) << (8 * B) | channel(c.ba) << 24;
    int x = 0;
    for (; x + 4 <= count; x += 4) {
        const T* p = src + 4 * x;
        Quad r, g, b, a;
        if constexpr (deep) {
            channels16(p, r, g, b, a);
            r *= fade, g *= fade, b *= fade, a *= fade;
        } else {
            // Four pixels as four words; channels are their bytes.
            Quad32 px;
            std::memcpy(&px, p, sizeof px);
            if ((px[0] | px[1] | px[2] | px[3]) == 0) {
                // Transparent, as most of a strip is: the background alone.
                std::fill_n(words + x, 4, empty);
                continue;
            }
            const Quad32 byte = {255, 255, 255, 255};
            const float k = scale * fade;
            b = __builtin_convertvector(px & byte, Quad) * k;
            g = __builtin_convertvector((px >> 8) & byte, Quad) * k;
            r = __builtin_convertvector((px >> 16) & byte, Quad) * k;
            a = __builtin_convertvector((px >> 24) & byte, Quad) * k;
        }
        storeQuad<R, B, Straight>(r, g, b, a, c, words + x);
    }
    for (; x < count; ++x) {
        const T* p = src + 4 * x;
        float r = float(p[sr]) * scale * fade, g = float(p[1]) * scale * fade, b = float(p[sb]) * scale * fade,
              a = float(p[3]) * scale * fade;
        words[x] = storedPixel<R, B, Straight>(r, g, b, a, c);
    }
}

template <int R, int B, bool Straight>
struct ImageSegments {
    static void shallow(const uint8_t* s, int n, const StackConstants& c, uint32_t* w) { imageSegment<R, B, Straight>(s, n, c, w); }
    static void deep(const uint16_t* s, int n, const StackConstants& c, uint32_t* w) { imageSegment<R, B, Straight>(s, n, c, w); }
};

using ComposeSegment = void (*)(const float*, const uchar*, const uchar*, int, int, const StackConstants&, uint32_t,
                                uint32_t*);

template <int R, int B, bool Straight>
struct ComposeSegments {
    static constexpr ComposeSegment deep = composeSegment<R, B, Straight, uint16_t>;
    static constexpr ComposeSegment shallow = composeSegment<R, B, Straight, uint8_t>;
};

LayerSpan spanOf(const QImage* layer, const Area& area, int y, int width) {
    if (!layer || y < area.top || y >= area.bottom) return {};
    const int left = std::max(area.left, 0), right = std::min({area.right, width, layer->width()});
    if (left >= right) return {};
    return {layer->constScanLine(y), 0, left, right, true};
}

// The row of the image that covers row y, if any (the images share no row).
LayerSpan spanOf(const std::vector<PlacedImage>& images, const Area& area, int y, int width) {
    if (y < area.top || y >= area.bottom) return {};
    for (const PlacedImage& p : images) {
        if (!p.image || y < p.y || y >= p.y + p.image->height()) continue;
        const int left = std::max({area.left, 0, p.x}), right = std::min({area.right, width, p.x + p.image->width()});
        if (left >= right) return {};
        return {p.image->constScanLine(y - p.y), p.x, left, right, p.image->format() == kLayerFormat};
    }
    return {};
}

}  // namespace

void storeLayerStack(const LayerStack& stack, int width, int height, uint8_t* pixels, size_t bytesPerRow,
                     StoreOrder order, StoreAlpha alpha) {
    const FloatPlane* plane = stack.under.plane;
    // The plane's shift splits into whole pixels and one bilinear fraction shared by all pixels.
    const double sx = -static_cast<double>(stack.under.dx);
    const double sy = -static_cast<double>(stack.under.dy);
    const int shiftX = static_cast<int>(std::floor(sx));
    const int shiftY = static_cast<int>(std::floor(sy));
    const float fx = static_cast<float>(sx - shiftX);
    const float fy = static_cast<float>(sy - shiftY);
    const bool unshifted = shiftX == 0 && shiftY == 0 && fx == 0.0f && fy == 0.0f;
    const bool straight = alpha == StoreAlpha::straight;
    const bool bgra = order == StoreOrder::bgra;
    const ComposeSegment deep = bgra ? (straight ? ComposeSegments<2, 0, true>::deep : ComposeSegments<2, 0, false>::deep)
                                     : (straight ? ComposeSegments<0, 2, true>::deep : ComposeSegments<0, 2, false>::deep);
    const ComposeSegment shallow = bgra ? (straight ? ComposeSegments<2, 0, true>::shallow : ComposeSegments<2, 0, false>::shallow)
                                        : (straight ? ComposeSegments<0, 2, true>::shallow : ComposeSegments<0, 2, false>::shallow);
    const Rgba bg = stack.background.value_or(Rgba{});
    const float bgKeep = stack.background ? 1.0f : 0.0f;
    const StackConstants constants{stack.under.r, stack.under.g,  stack.under.b,  stack.fade,
                                   bg.r * bgKeep, bg.g * bgKeep, bg.b * bgKeep, bg.a * bgKeep};
    // An empty row is the background alone (or transparent).
    uint8_t empty[4];
    empty[bgra ? 2 : 0] = byteOf(bg.r), empty[1] = byteOf(bg.g), empty[bgra ? 0 : 2] = byteOf(bg.b), empty[3] = byteOf(bg.a);
    const uint32_t emptyPixel = uint32_t(empty[0]) | uint32_t(empty[1]) << 8 | uint32_t(empty[2]) << 16 | uint32_t(empty[3]) << 24;

    forEachRowBand(height, [&](int begin, int end) {
        const size_t n = static_cast<size_t>(width);
        std::vector<float> work(n);
        float* shifted = work.data();
        auto planeRow = [&](int y) -> const float* { return y >= 0 && y < plane->height ? plane->row(y) : nullptr; };
        for (int y = begin; y < end; ++y) {
            uint8_t* out = pixels + static_cast<size_t>(y) * bytesPerRow;
            const float* v = nullptr;
            int first = width, last = 0;
            if (plane && y >= stack.underArea.top && y < stack.underArea.bottom) {
                first = std::clamp(stack.underArea.left, 0, width);
                last = std::clamp(stack.underArea.right, 0, width);
                if (unshifted && plane->width >= width) {
                    v = plane->row(y);
                } else {
                    // v(x) = bilinear sample of the plane at (x + sx, y + sy), 0 outside.
                    std::fill_n(shifted, n, 0.0f);
                    const float* rows[2] = {planeRow(y + shiftY), planeRow(y + shiftY + 1)};
                    const float wy[2] = {1.0f - fy, fy};
                    for (int k = 0; k < 2; ++k) {
                        if (!rows[k] || wy[k] == 0.0f) continue;
                        const float w0 = wy[k] * (1.0f - fx), w1 = wy[k] * fx;
                        const float* src = rows[k];
                        const int a0 = std::max(0, -shiftX), a1 = std::min(width, plane->width - shiftX);
                        for (int x = a0; x < a1; ++x) shifted[x] += w0 * src[x + shiftX];
                        if (w1 == 0.0f) continue;
                        const int b0 = std::max(0, -shiftX - 1), b1 = std::min(width, plane->width - shiftX - 1);
                        for (int x = b0; x < b1; ++x) shifted[x] += w1 * src[x + shiftX + 1];
                    }
                    v = shifted;
                }
            }
            const LayerSpan base = stack.base ? spanOf(stack.base, stack.baseArea, y, width)
                                              : spanOf(stack.baseImages, stack.baseArea, y, width);
            const LayerSpan top = spanOf(stack.top, stack.topArea, y, width);
            for (const LayerSpan& span : {base, top})
                if (span.row) first = std::min(first, span.left), last = std::max(last, span.right);
            // Outside the columns anything was drawn into lies the background alone.
            auto* words = reinterpret_cast<uint32_t*>(out);
            if (first >= last) {
                std::fill_n(words, n, emptyPixel);
                continue;
            }
            std::fill_n(words, first, emptyPixel);
            std::fill_n(words + last, width - last, emptyPixel);
            // Segments between the edges of the layers' columns, each with one set of parts.
            int edges[6] = {first, last, base.left, base.right, top.left, top.right};
            std::sort(edges, edges + 6);
            for (int e = 0; e + 1 < 6; ++e) {
                const int x0 = std::max(edges[e], first), x1 = std::min(edges[e + 1], last);
                if (x0 >= x1) continue;
                const uchar* b = base.row && x0 >= base.left && x1 <= base.right ? base.at(x0) : nullptr;
                const uchar* t = top.row && x0 >= top.left && x1 <= top.right ? top.at(x0) : nullptr;
                (b && !base.deep ? shallow : deep)(v, b, t, x0, x1, constants, emptyPixel, words);
            }
        }
    });
}

void storeImages(const std::vector<PlacedImage>& images, float fade, std::optional<Rgba> background, int width,
                 int height, uint8_t* pixels, size_t bytesPerRow, StoreOrder order, StoreAlpha alpha) {
    using Shallow = void (*)(const uint8_t*, int, const StackConstants&, uint32_t*);
    using Deep = void (*)(const uint16_t*, int, const StackConstants&, uint32_t*);
    const bool straight = alpha == StoreAlpha::straight;
    const bool bgra = order == StoreOrder::bgra;
    const Shallow shallow = bgra ? (straight ? ImageSegments<2, 0, true>::shallow : ImageSegments<2, 0, false>::shallow)
                                 : (straight ? ImageSegments<0, 2, true>::shallow : ImageSegments<0, 2, false>::shallow);
    const Deep deep = bgra ? (straight ? ImageSegments<2, 0, true>::deep : ImageSegments<2, 0, false>::deep)
                           : (straight ? ImageSegments<0, 2, true>::deep : ImageSegments<0, 2, false>::deep);
    const Rgba bg = background.value_or(Rgba{});
    const float bgKeep = background ? 1.0f : 0.0f;
    const StackConstants constants{0, 0, 0, fade, bg.r * bgKeep, bg.g * bgKeep, bg.b * bgKeep, bg.a * bgKeep};
    uint8_t empty[4];
    empty[bgra ? 2 : 0] = byteOf(bg.r), empty[1] = byteOf(bg.g), empty[bgra ? 0 : 2] = byteOf(bg.b), empty[3] = byteOf(bg.a);
    const uint32_t emptyPixel = uint32_t(empty[0]) | uint32_t(empty[1]) << 8 | uint32_t(empty[2]) << 16 | uint32_t(empty[3]) << 24;
    forEachRowBand(height, [&](int begin, int end) {
        struct Span {
            int x0, x1;
            const PlacedImage* placed;
        };
        std::vector<Span> spans;
        for (int y = begin; y < end; ++y) {
            auto* words = reinterpret_cast<uint32_t*>(pixels + static_cast<size_t>(y) * bytesPerRow);
            spans.clear();
            for (const PlacedImage& p : images) {
                if (!p.image || y < p.y || y >= p.y + p.image->height()) continue;
                const int x0 = std::max(p.x, 0), x1 = std::min(p.x + p.image->width(), width);
                if (x0 < x1) spans.push_back({x0, x1, &p});
            }
            std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.x0 < b.x0; });
            int x = 0;
            for (const Span& span : spans) {
                const int x0 = std::max(span.x0, x);
                std::fill(words + x, words + x0, emptyPixel);
                const QImage& image = *span.placed->image;
                const uchar* row = image.constScanLine(y - span.placed->y);
                const int from = x0 - span.placed->x;
                if (image.format() == kLayerFormat)
                    deep(reinterpret_cast<const uint16_t*>(row) + 4 * from, span.x1 - x0, constants, words + x0);
                else
                    shallow(row + 4 * from, span.x1 - x0, constants, words + x0);
                x = std::max(x, span.x1);
            }
            std::fill(words + std::min(x, width), words + width, emptyPixel);
        }
    });
}

}  // namespace qm
