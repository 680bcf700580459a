#include "convert/frame_previewer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/conversion_error.h"
#include "engine/codec_factories.h"
#include "engine/pixel_transfer.h"

namespace qm {

namespace {

constexpr int kMaxSamplesPerStill = 8;

// The decoder that reads back what a GPU encoder wrote: found from the written codec, like a
// source of that codec would be.
std::unique_ptr<CompressedFrameDecoder> roundTripDecoder(const CompressedFrameEncoder& encoder, int width, int height) {
    MediaInfo written;
    written.codecType = encoder.codecType();
    written.width = width;
    written.height = height;
    const uint32_t code = encoder.codecType();
    written.decoder = (code == fourCC('D', 'X', 'D', '3') || code == fourCC('D', 'X', 'D', 'I')) ? SourceDecoder::dxv()
                                                                                              : SourceDecoder::hap(code);
    return makeFrameDecoder(written);
}

}  // namespace

std::pair<int, int> FramePreviewer::previewSize(int width, int height) {
    if (width < 1 || height < 1) return {2, 2};
    const double s = std::min({960.0 / width, 540.0 / height, 1.0});
    const int w = std::max(2, int(std::lround(width * s)));
    const int h = std::max(2, int(std::lround(height * s)));
    return {w, h};
}

FramePreviewer::FramePreviewer(QString path, MediaInfo info)
    : path_(std::move(path)), info_(std::move(info)), decoder_(makeFrameDecoder(info_)),
      transfer_(std::make_unique<PixelTransfer>()) {
    if (info_.width < 1 || info_.height < 1 || info_.width > 16384 || info_.height > 16384) {
        throw ConversionError::readerFailed("preview (frame size " + std::to_string(info_.width) + "x" +
                                            std::to_string(info_.height) + ")");
    }
    std::tie(previewWidth_, previewHeight_) = previewSize(info_.width, info_.height);

    // Learn where the track starts and how long it is, so a time on the transport maps onto the
    // source's own time line; this also refuses a file without a video track now rather than
    // at every render.
    VideoReaderSettings settings;
    settings.mode = VideoReaderSettings::Mode::compressed;
    auto reader = VideoSampleReader::open(toPath(), settings);
    const VideoTrackInfo& track = reader->track();
    trackStart_ = track.timeRangeStart.isNumeric() ? track.timeRangeStart.seconds() : 0;
    const double trackLength = track.timeRangeDuration.isNumeric() ? track.timeRangeDuration.seconds()
                               : info_.duration.isNumeric()       ? info_.duration.seconds()
                                                                  : 0;
    trackDuration_ = std::isfinite(trackLength) && trackLength > 0 ? trackLength : 0;
    reader->cancel();
}

FramePreviewer::~FramePreviewer() = default;

std::filesystem::path FramePreviewer::toPath() const { return std::filesystem::path(path_.toStdString()); }

std::unique_ptr<VideoSampleReader> FramePreviewer::makeReader(double seconds) const {
    const double t = std::isfinite(seconds) ? seconds : 0;
    const double offset = std::max(0.0, std::min(t, std::max(0.0, trackDuration_ - 0.001)));
    VideoReaderSettings settings;
    settings.mode = decoder_ ? VideoReaderSettings::Mode::compressed : VideoReaderSettings::Mode::decoded;
    settings.pixelFormat = decoder_ ? 0 : kPixelFormatBGRA;
    if (trackStart_ + offset > 0) settings.start = MediaTime::fromSeconds(trackStart_ + offset, 600);
    // A preview reads a handful of frames: a couple of decoder threads are plenty.
    settings.threads = 2;
    return VideoSampleReader::open(toPath(), settings);
}

double FramePreviewer::transportTime(const VideoSample& sample) const {
    const double seconds = sample.time.isNumeric() ? sample.time.seconds() : 0;
    return std::max(0.0, seconds - trackStart_);
}

QImage FramePreviewer::image(double seconds, const std::optional<ConversionSettings>& output) const {
    auto reader = makeReader(seconds);
    QImage result;
    try {
        for (int i = 0; i < kMaxSamplesPerStill && result.isNull(); ++i) {
            auto sample = reader->next();
            if (!sample) break;
            result = renderPreviewFrame(*sample, output);
        }
    } catch (...) {
        reader->cancel();
        throw;
    }
    reader->cancel();
    return result;
}

QImage FramePreviewer::renderPreviewFrame(const VideoSample& sample,
                                          const std::optional<ConversionSettings>& output) const {
    PixelBufferRef picture = sample.pixels;
    if (!picture) {
        if (!decoder_ || sample.bytes.empty()) return {};
        picture = PixelBuffer::create(info_.width, info_.height, decoder_->outputPixelFormat(kPixelFormatBGRA));
        if (!picture) throw ConversionError::decodeFailed("preview (no pixel buffer)");
        decoder_->decode(sample.bytes.data(), sample.bytes.size(), *picture);
    }

    if (output && isGPU(output->format)) {
        const int width = picture->width();
        const int height = picture->height();
        auto encoder = makeFrameEncoder(output->format, output->hapChunks, output->hapHighQuality, width, height);
        if (encoder) {
            PixelBufferRef toEncode = picture;
            if (picture->pixelFormat() != kPixelFormatBGRA) {
                toEncode = PixelBuffer::create(width, height, kPixelFormatBGRA);
                if (!toEncode) throw ConversionError::encodeFailed("preview (no pixel buffer)");
                transfer_->transfer(*picture, *toEncode);
            }
            const std::vector<uint8_t> encoded = encoder->encode(*toEncode);
            auto decoder = roundTripDecoder(*encoder, width, height);
            if (!decoder) throw ConversionError::decodeFailed("preview (no decoder for the output)");
            auto decoded = PixelBuffer::create(width, height, decoder->outputPixelFormat(kPixelFormatBGRA));
            if (!decoded) throw ConversionError::decodeFailed("preview (no pixel buffer)");
            decoder->decode(encoded.data(), encoded.size(), *decoded);
            picture = std::move(decoded);
        }
    }

    auto scaled = PixelBuffer::create(previewWidth_, previewHeight_, kPixelFormatBGRA);
    if (!scaled) throw ConversionError::decodeFailed("preview (no pixel buffer)");
    transfer_->transfer(*picture, *scaled);
    return makeImageFromBGRABuffer(*scaled);
}

QImage FramePreviewer::makeImageFromBGRABuffer(const PixelBuffer& buffer) {
    if (buffer.pixelFormat() != kPixelFormatBGRA || !buffer.data()) return {};
    // Qt's ARGB32 is B, G, R, A in memory on little-endian machines, with straight alpha.
    QImage image(buffer.width(), buffer.height(), QImage::Format_ARGB32);
    if (image.isNull()) return {};
    const size_t rowBytes = size_t(buffer.width()) * 4;
    for (int y = 0; y < buffer.height(); ++y) {
        std::memcpy(image.scanLine(y), buffer.data() + size_t(y) * buffer.bytesPerRow(), rowBytes);
    }
    return image;
}

}  // namespace qm
