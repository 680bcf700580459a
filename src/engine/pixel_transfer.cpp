#include "engine/pixel_transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/conversion_error.h"
#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"
#include "platform/media/scaler.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

namespace qm {

namespace {

[[noreturn]] void fail(int code) { throw ConversionError::encodeFailed("pixel transfer (" + mediaErrorText(code) + ")"); }

bool isPackedRGB(uint32_t format) {
    return format == kPixelFormatBGRA || format == kPixelFormatRGBA || format == kPixelFormatRGBA64LE ||
           format == kPixelFormatRGBA64BE;
}

// One row of packed RGB in any of our four layouts to R,G,B,A words and back. The scaler would
// take these through its internal Y'CbCr and lose up to a step; at the same size the exact
// widening (v x 257) and narrowing (nearest v / 257) are what a copy must do.
void readRow(uint32_t format, const uint8_t* in, uint16_t* out, int width) {
    switch (format) {
    case kPixelFormatBGRA:
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = uint16_t(in[2] * 257);
            out[1] = uint16_t(in[1] * 257);
            out[2] = uint16_t(in[0] * 257);
            out[3] = uint16_t(in[3] * 257);
        }
        break;
    case kPixelFormatRGBA:
        for (int i = 0; i < 4 * width; ++i) out[i] = uint16_t(in[i] * 257);
        break;
    case kPixelFormatRGBA64LE:
        for (int i = 0; i < 4 * width; ++i) out[i] = uint16_t(in[2 * i] | (in[2 * i + 1] << 8));
        break;
    default:  // big-endian words
        for (int i = 0; i < 4 * width; ++i) out[i] = uint16_t((in[2 * i] << 8) | in[2 * i + 1]);
        break;
    }
}

// The nearest 8-bit value to v / 257.
uint8_t narrow(uint16_t v) { return uint8_t((unsigned(v) * 2 + 257) / 514); }

void writeRow(uint32_t format, const uint16_t* in, uint8_t* out, int width) {
    switch (format) {
    case kPixelFormatBGRA:
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = narrow(in[2]);
            out[1] = narrow(in[1]);
            out[2] = narrow(in[0]);
            out[3] = narrow(in[3]);
        }
        break;
    case kPixelFormatRGBA:
        for (int i = 0; i < 4 * width; ++i) out[i] = narrow(in[i]);
        break;
    case kPixelFormatRGBA64LE:
        for (int i = 0; i < 4 * width; ++i) {
            out[2 * i] = uint8_t(in[i] & 0xFF);
            out[2 * i + 1] = uint8_t(in[i] >> 8);
        }
        break;
    default:
        for (int i = 0; i < 4 * width; ++i) {
            out[2 * i] = uint8_t(in[i] >> 8);
            out[2 * i + 1] = uint8_t(in[i] & 0xFF);
        }
        break;
    }
}

void repackRGB(const PixelBuffer& source, PixelBuffer& destination, std::vector<uint16_t>& row) {
    const int width = source.width();
    if (source.pixelFormat() == destination.pixelFormat()) {
        const size_t bytes = size_t(width) * size_t(PixelBuffer::bytesPerPixel(source.pixelFormat()));
        for (int y = 0; y < source.height(); ++y)
            std::memcpy(destination.data() + destination.bytesPerRow() * size_t(y), source.data() + source.bytesPerRow() * size_t(y), bytes);
        return;
    }
    row.resize(size_t(width) * 4);
    for (int y = 0; y < source.height(); ++y) {
        readRow(source.pixelFormat(), source.data() + source.bytesPerRow() * size_t(y), row.data(), width);
        writeRow(destination.pixelFormat(), row.data(), destination.data() + destination.bytesPerRow() * size_t(y), width);
    }
}

void tagDestination(const PixelBuffer& source, PixelBuffer& destination, AVPixelFormat destinationFormat, int destinationRange) {
    ColorTags written = ColorTags::bt709();
    if (isYCbCrFormat(destinationFormat)) written.range = destinationRange == 1 ? ColorRange::full : ColorRange::video;
    destination.setColorTags(written);
    destination.setAlphaMode(source.alphaMode());
}

}  // namespace

// Same-size Y'CbCr to 8-bit RGB goes through planar RGB in bands of rows: the scaler's planar
// output is three times as fast as its packed output with full chroma and exact rounding, and a
// band keeps the planar pictures in the cache. Bands overlap by more than the chroma filter
// reaches, so every kept row is the one a conversion of the whole picture gives.
constexpr int kBandRows = 128;
constexpr int kBandMargin = 8;

class PixelTransfer::Session {
public:
    explicit Session(uint64_t id) : id_(id) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint64_t id() const { return id_; }

    void run(const PixelBuffer& source, PixelBuffer& destination) {
        const AVPixelFormat sourceFormat = ffmpeg::toAVPixelFormat(source.pixelFormat());
        const AVPixelFormat destinationFormat = ffmpeg::toAVPixelFormat(destination.pixelFormat());
        if (sourceFormat == AV_PIX_FMT_NONE || destinationFormat == AV_PIX_FMT_NONE) fail(AVERROR(EINVAL));
        // Converting a buffer onto itself would read what it has just overwritten.
        if (&source == &destination) fail(AVERROR(EINVAL));
        const bool sameSize = source.width() == destination.width() && source.height() == destination.height();
        if (sameSize && isPackedRGB(source.pixelFormat()) && isPackedRGB(destination.pixelFormat())) {
            repackRGB(source, destination, row_);
            tagDestination(source, destination, destinationFormat, 0);
            return;
        }

        const Scaler::Colour colour = Scaler::colourFor(sourceFormat, source.colorTags(), destinationFormat);
        const AVPixFmtDescriptor* sourceDesc = av_pix_fmt_desc_get(sourceFormat);
        const bool toRGB8 = destinationFormat == AV_PIX_FMT_BGRA || destinationFormat == AV_PIX_FMT_RGBA;
        try {
            if (sameSize && toRGB8 && isYCbCrFormat(sourceFormat) &&
                source.height() % (1 << sourceDesc->log2_chroma_h) == 0) {
                convertInBands(source, destination, sourceFormat, (sourceDesc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0,
                               colour);
            } else {
                scaler_.prepare(Scaler::geometryFor(source.width(), source.height(), sourceFormat, destination.width(),
                                                    destination.height(), destinationFormat),
                                colour);
                const uint8_t* sourcePlanes[4];
                int sourceStrides[4];
                uint8_t* destinationPlanes[4];
                int destinationStrides[4];
                ffmpeg::planePointers(source, sourcePlanes, sourceStrides);
                ffmpeg::planePointers(destination, destinationPlanes, destinationStrides);
                scaler_.scale(sourcePlanes, sourceStrides, destinationPlanes, destinationStrides);
            }
        } catch (const MediaError& e) {
            throw ConversionError::encodeFailed(e.what());
        }
        tagDestination(source, destination, destinationFormat, colour.destinationRange);
    }

private:
    void convertInBands(const PixelBuffer& source, PixelBuffer& destination, AVPixelFormat sourceFormat, bool alpha,
                        const Scaler::Colour& colour) {
        const int width = source.width();
        const int height = source.height();
        const int bandHeight = std::min(height, kBandRows + 2 * kBandMargin);
        const int planeCount = alpha ? 4 : 3;
        scaler_.prepare(Scaler::geometryFor(width, bandHeight, sourceFormat, width, bandHeight,
                                            alpha ? AV_PIX_FMT_GBRAP : AV_PIX_FMT_GBRP),
                        colour);
        const int stride = (width + 63) & ~63;
        const size_t planeBytes = size_t(stride) * size_t(bandHeight);
        planar_.resize(planeBytes * size_t(planeCount) + 64);
        uint8_t* base = planar_.data() + (64 - reinterpret_cast<uintptr_t>(planar_.data()) % 64) % 64;
        // Planar RGB holds G, B, R (and A) in that order.
        uint8_t* planes[4] = {base, base + planeBytes, base + 2 * planeBytes, alpha ? base + 3 * planeBytes : nullptr};
        const int strides[4] = {stride, stride, stride, alpha ? stride : 0};

        const uint8_t* sourcePlanes[4];
        int sourceStrides[4];
        ffmpeg::planePointers(source, sourcePlanes, sourceStrides);
        const int chromaShift = av_pix_fmt_desc_get(sourceFormat)->log2_chroma_h;
        const bool bgra = destination.pixelFormat() == kPixelFormatBGRA;
        for (int first = 0; first < height; first += kBandRows) {
            const int last = std::min(first + kBandRows, height);
            // Chroma rows start whole: bands begin on even rows, and the height is a multiple of
            // the chroma rows' height.
            const int start = std::clamp(first - kBandMargin, 0, height - bandHeight);
            const uint8_t* band[4] = {};
            for (int p = 0; p < 4 && sourcePlanes[p] != nullptr; ++p) {
                const int rows = (p == 1 || p == 2) ? start >> chromaShift : start;
                band[p] = sourcePlanes[p] + ptrdiff_t(sourceStrides[p]) * rows;
            }
            scaler_.scale(band, sourceStrides, planes, strides);
            const size_t at = size_t(stride) * size_t(first - start);
            const uint8_t* kept[4] = {planes[0] + at, planes[1] + at, planes[2] + at, alpha ? planes[3] + at : nullptr};
            ffmpeg::packPlanarRGB(kept, strides, width, last - first, bgra,
                                  destination.data() + destination.bytesPerRow() * size_t(first), destination.bytesPerRow());
        }
    }

    uint64_t id_;
    Scaler scaler_;
    std::vector<uint16_t> row_;
    std::vector<uint8_t> planar_;
};

PixelTransfer::PixelTransfer() = default;

PixelTransfer::~PixelTransfer() {
    // Sessions are freed in list order.
    for (auto& session : idle_) session.reset();
}

std::unique_ptr<PixelTransfer::Session> PixelTransfer::takeSession() {
    uint64_t id = 0;
    {
        std::lock_guard guard(lock_);
        if (!idle_.empty()) {
            auto session = std::move(idle_.back());
            idle_.pop_back();
            return session;
        }
        id = nextId_++;
    }
    // A session's scaler is made on its first transfer, outside the lock.
    return std::make_unique<Session>(id);
}

void PixelTransfer::returnSession(std::unique_ptr<Session> session) {
    std::lock_guard guard(lock_);
    idle_.push_back(std::move(session));
}

void PixelTransfer::transfer(const PixelBuffer& source, PixelBuffer& destination) {
    auto session = takeSession();
    try {
        if (observer_) observer_(session->id());
        session->run(source, destination);
    } catch (...) {
        returnSession(std::move(session));
        throw;
    }
    returnSession(std::move(session));
}

std::vector<uint64_t> PixelTransfer::idleSessionIds() const {
    std::lock_guard guard(lock_);
    std::vector<uint64_t> ids;
    ids.reserve(idle_.size());
    for (const auto& session : idle_) ids.push_back(session->id());
    return ids;
}

}  // namespace qm
