#include "codecs/dxv_texture.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "codecs/texture_codec.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// (c x 255 + a / 2) / a held at 255, for every alpha and colour value: three divisions per pixel
// would dominate the decoding of translucent pictures.
struct UnpremultiplyTable {
    UnpremultiplyTable() {
        for (uint32_t a = 1; a < 256; ++a)
            for (uint32_t c = 0; c < 256; ++c) values[a][c] = static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
    }
    uint8_t values[256][256] = {};
};

// Colour stored premultiplied by alpha back to straight colour; opaque and empty pixels stay.
void unpremultiply(uint8_t* dst, size_t dstBytesPerRow, int32_t width, int32_t height) {
    static const UnpremultiplyTable table;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* p = dst + size_t(y) * dstBytesPerRow;
        for (int32_t x = 0; x < width; ++x, p += 4) {
            const uint32_t a = p[3];
            if (a == 0 || a == 255) continue;
            const uint8_t* row = table.values[a];
            p[0] = row[p[0]];
            p[1] = row[p[1]];
            p[2] = row[p[2]];
        }
    }
}

int32_t ycocgToBgra(const qm_dxv_texture& t, int32_t width, int32_t height, uint8_t* dst, size_t dstBytesPerRow) {
    const bool alpha = t.format == QM_DXV_TEXTURE_YCOCG_ALPHA;
    if (t.plane1 == nullptr) return -1;
    const size_t tw = size_t(t.width), th = size_t(t.height);
    const size_t cw = tw / 2, ch = th / 2;
    const size_t lumaBytes = tw * th;
    const size_t chromaBytes = cw * ch;
    // Zeroed: a texture whose half size is not a whole number of blocks leaves its last columns 0.
    std::unique_ptr<uint8_t, FreeDeleter> scratch(
        static_cast<uint8_t*>(std::calloc(lumaBytes * (alpha ? 2 : 1) + 2 * chromaBytes, 1)));
    if (!scratch) return -1;
    uint8_t* luma = scratch.get();
    uint8_t* alphaPlane = alpha ? luma + lumaBytes : nullptr;
    uint8_t* co = luma + lumaBytes * (alpha ? 2 : 1);
    uint8_t* cg = co + chromaBytes;

    const int32_t bw = t.width / 4, bh = t.height / 4;
    qm_bc4_decode_plane(t.plane0, alpha ? 16 : 8, 0, bw, bh, luma, tw);
    if (alpha) qm_bc4_decode_plane(t.plane0, 16, 8, bw, bh, alphaPlane, tw);
    qm_bc4_decode_plane(t.plane1, 16, 0, t.width / 8, t.height / 8, co, cw);
    qm_bc4_decode_plane(t.plane1, 16, 8, t.width / 8, t.height / 8, cg, cw);

    const auto upsample = [&](const uint8_t* plane, int32_t r0, int32_t r1, int32_t fy, int32_t c0, int32_t c1,
                              int32_t fx) {
        const uint8_t* row0 = plane + size_t(r0) * cw;
        const uint8_t* row1 = plane + size_t(r1) * cw;
        return ((row1[c1] * fx + row1[c0] * (4 - fx)) * fy + (row0[c1] * fx + row0[c0] * (4 - fx)) * (4 - fy) + 8) >> 4;
    };
    const int32_t lastRow = int32_t(ch) - 1, lastColumn = int32_t(cw) - 1;
    for (int32_t y = 0; y < height; ++y) {
        // Chroma sits between luma rows: quarter weights, clamped at the edges.
        const int32_t ty = 2 * y - 1;
        const int32_t r0 = std::max(0, ty >> 2), r1 = std::min((ty >> 2) + 1, lastRow), fy = ty & 3;
        uint8_t* out = dst + size_t(y) * dstBytesPerRow;
        const uint8_t* yRow = luma + size_t(y) * tw;
        const uint8_t* aRow = alpha ? alphaPlane + size_t(y) * tw : nullptr;
        for (int32_t x = 0; x < width; ++x, out += 4) {
            const int32_t tx = 2 * x - 1;
            const int32_t c0 = std::max(0, tx >> 2), c1 = std::min((tx >> 2) + 1, lastColumn), fx = tx & 3;
            const int32_t coV = upsample(co, r0, r1, fy, c0, c1, fx) - 128;
            const int32_t cgV = upsample(cg, r0, r1, fy, c0, c1, fx) - 128;
            const int32_t Y = yRow[x];
            out[0] = static_cast<uint8_t>(std::clamp(Y - cgV - coV, 0, 255));
            out[1] = static_cast<uint8_t>(std::clamp(Y + cgV, 0, 255));
            out[2] = static_cast<uint8_t>(std::clamp(Y - cgV + coV, 0, 255));
            out[3] = aRow != nullptr ? aRow[x] : 255;
        }
    }
    return 0;
}

}  // namespace

extern "C" int32_t qm_dxv_to_bgra(const qm_dxv_texture* texture, int32_t width, int32_t height, uint8_t* dst,
                                  size_t dstBytesPerRow) {
    if (texture == nullptr || dst == nullptr || texture->plane0 == nullptr) return -1;
    const qm_dxv_texture& t = *texture;
    if (t.width < 4 || t.height < 4 || t.width % 4 != 0 || t.height % 4 != 0) return -1;
    if (width < 1 || height < 1 || width > t.width || height > t.height) return -1;
    if (dstBytesPerRow < size_t(width) * 4) return -1;
    const int32_t blocksPerRow = t.width / 4;
    const int32_t blockRows = (height + 3) / 4;
    switch (t.format) {
    case QM_DXV_TEXTURE_DXT1:
        qm_texture_decode_rows(QM_TEXTURE_DXT1, t.plane0, blocksPerRow, width, height, dst, dstBytesPerRow, 0, blockRows);
        return 0;
    case QM_DXV_TEXTURE_DXT5:
        qm_texture_decode_rows(QM_TEXTURE_DXT5, t.plane0, blocksPerRow, width, height, dst, dstBytesPerRow, 0, blockRows);
        unpremultiply(dst, dstBytesPerRow, width, height);
        return 0;
    case QM_DXV_TEXTURE_YCOCG:
    case QM_DXV_TEXTURE_YCOCG_ALPHA:
        return ycocgToBgra(t, width, height, dst, dstBytesPerRow);
    default:
        return -1;
    }
}
