// Pixel transfer per call, next to the same libswscale conversion called directly: the session
// pool must cost next to nothing. Same-size packed RGB conversions ('BGRA' -> 'l64r') are done by
// our exact repacking, so their "direct" row shows what the scaler alone would take.
#include <benchmark/benchmark.h>

#include <cstring>

#include "engine/pixel_transfer.h"
#include "platform/media/ffmpeg_internal.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

using namespace qm;

struct Case {
    int sourceWidth, sourceHeight;
    int destinationWidth, destinationHeight;
    uint32_t destinationFormat;
};

constexpr Case kCases[] = {
    {1920, 1080, 1920, 1080, kPixelFormatYUV422P10},
    {3840, 2160, 3840, 2160, kPixelFormatYUV422P10},
    {1920, 1080, 1920, 1080, kPixelFormatRGBA64LE},
    {3840, 2160, 3840, 2160, kPixelFormatRGBA64LE},
    {3840, 2160, 1920, 1080, kPixelFormatBGRA},
    {64, 64, 64, 64, kPixelFormatYUV422P10},  // tiny: shows the pool's own cost per call
};

PixelBufferRef pattern(int width, int height) {
    auto buffer = PixelBuffer::create(width, height, kPixelFormatBGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer->data() + buffer->bytesPerRow() * size_t(y);
        for (int x = 0; x < width; ++x) {
            row[4 * x + 0] = uint8_t(x * 255 / width);
            row[4 * x + 1] = uint8_t(y * 255 / height);
            row[4 * x + 2] = uint8_t((x ^ y) & 255);
            row[4 * x + 3] = 255;
        }
    }
    return buffer;
}

void label(benchmark::State& state, const Case& c) {
    state.SetLabel(std::to_string(c.sourceWidth) + "x" + std::to_string(c.sourceHeight) + " BGRA -> " +
                   std::to_string(c.destinationWidth) + "x" + std::to_string(c.destinationHeight) + " " +
                   fourCCString(c.destinationFormat));
}

void BM_PixelTransfer(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    auto source = pattern(c.sourceWidth, c.sourceHeight);
    auto destination = PixelBuffer::create(c.destinationWidth, c.destinationHeight, c.destinationFormat);
    PixelTransfer transfer;
    transfer.transfer(*source, *destination);  // the session's scaler is made once, as in a run
    for (auto _ : state) {
        transfer.transfer(*source, *destination);
        benchmark::DoNotOptimize(destination->data());
    }
    label(state, c);
}

// libswscale called directly on the pair with the given flags and BT.709 details.
void runScaler(benchmark::State& state, const PixelBuffer& source, PixelBuffer& destination, int flags) {
    SwsContext* context = sws_getContext(source.width(), source.height(), ffmpeg::toAVPixelFormat(source.pixelFormat()),
                                         destination.width(), destination.height(),
                                         ffmpeg::toAVPixelFormat(destination.pixelFormat()), flags, nullptr, nullptr, nullptr);
    sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_ITU709), 0, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
                             1 << 16, 1 << 16);
    const uint8_t* in[4];
    int inStrides[4];
    uint8_t* out[4];
    int outStrides[4];
    ffmpeg::planePointers(source, in, inStrides);
    ffmpeg::planePointers(destination, out, outStrides);
    for (auto _ : state) {
        sws_scale(context, in, inStrides, 0, source.height(), out, outStrides);
        benchmark::DoNotOptimize(destination.data());
    }
    sws_freeContext(context);
}

// The scaler with the flags and colour details the transfer uses.
void BM_DirectSwscale(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    auto source = pattern(c.sourceWidth, c.sourceHeight);
    auto destination = PixelBuffer::create(c.destinationWidth, c.destinationHeight, c.destinationFormat);
    runScaler(state, *source, *destination, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT);
    label(state, c);
}

// Decoded 1080p pictures into the GPU codecs' BGRA: the transfer (exact rounding, interpolated
// chroma) next to the scaler's table-driven packed converter, which is faster but more than a
// level off on average.
constexpr uint32_t kDecodedFormats[] = {kPixelFormatYUV420P, kPixelFormatYUV422P10, kPixelFormatYUVA444P12};

PixelBufferRef decodedPicture(uint32_t format) {
    auto buffer = PixelBuffer::create(1920, 1080, format);
    for (int p = 0; p < buffer->planeCount(); ++p)
        for (int y = 0; y < buffer->planeHeight(p); ++y)
            std::memset(buffer->data(p) + buffer->bytesPerRow(p) * size_t(y), (y * 7 + p * 50) & 0x3F, size_t(buffer->bytesPerRow(p)));
    return buffer;
}

void BM_DecodedToBGRA(benchmark::State& state) {
    auto source = decodedPicture(kDecodedFormats[state.range(0)]);
    auto destination = PixelBuffer::create(1920, 1080, kPixelFormatBGRA);
    PixelTransfer transfer;
    transfer.transfer(*source, *destination);
    for (auto _ : state) {
        transfer.transfer(*source, *destination);
        benchmark::DoNotOptimize(destination->data());
    }
    state.SetLabel("1920x1080 " + fourCCString(source->pixelFormat()) + " -> BGRA");
}

void BM_DecodedToBGRATableDriven(benchmark::State& state) {
    auto source = decodedPicture(kDecodedFormats[state.range(0)]);
    auto destination = PixelBuffer::create(1920, 1080, kPixelFormatBGRA);
    runScaler(state, *source, *destination, SWS_BICUBIC);
    state.SetLabel("1920x1080 " + fourCCString(source->pixelFormat()) + " -> BGRA");
}

BENCHMARK(BM_PixelTransfer)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodedToBGRA)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodedToBGRATableDriven)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirectSwscale)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
