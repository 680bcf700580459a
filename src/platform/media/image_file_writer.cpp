#include "platform/media/image_file_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "core/partial_file.h"
#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"
#include "platform/media/scaler.h"

namespace qm {

namespace {

AVPixelFormat encodedFormat(ImageFileType type, bool deep, bool alpha) {
    switch (type) {
    case ImageFileType::png:
        if (deep) return alpha ? AV_PIX_FMT_RGBA64BE : AV_PIX_FMT_RGB48BE;
        return alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
    case ImageFileType::tiff:
        if (deep) return alpha ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
        return alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
    case ImageFileType::jpeg: return AV_PIX_FMT_YUVJ444P;
    }
    return AV_PIX_FMT_NONE;
}

const char* encoderName(ImageFileType type) {
    switch (type) {
    case ImageFileType::png: return "png";
    case ImageFileType::tiff: return "tiff";
    case ImageFileType::jpeg: return "mjpeg";
    }
    return "png";
}

}  // namespace

struct ImageEncoderKey {
    ImageFileType type;
    int width;
    int height;
    AVPixelFormat source;
    AVPixelFormat target;
    int qscale;  // JPEG only, 0 otherwise
    bool operator==(const ImageEncoderKey&) const = default;
};

struct ImageEncoder {
    ImageEncoderKey key{};
    ffmpeg::CodecContextPtr ctx;
    ffmpeg::FramePtr frame;
    ffmpeg::PacketPtr packet;
    std::unique_ptr<Scaler> scaler;
};

namespace {

ImageEncoder openEncoder(const ImageEncoderKey& key) {
    ImageEncoder e;
    e.key = key;
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName(key.type));
    if (codec == nullptr) throw MediaError("image encode", std::string("no encoder ") + encoderName(key.type));
    ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    e.frame.reset(av_frame_alloc());
    e.packet.reset(av_packet_alloc());
    if (!ctx || !e.frame || !e.packet) throw MediaError::fromCode("image encode", AVERROR(ENOMEM));
    ctx->width = key.width;
    ctx->height = key.height;
    ctx->pix_fmt = key.target;
    ctx->time_base = AVRational{1, 25};
    AVDictionary* options = nullptr;
    if (key.type == ImageFileType::tiff) av_dict_set(&options, "compression_algo", "lzw", 0);
    if (key.type == ImageFileType::jpeg) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = key.qscale * FF_QP2LAMBDA;
        ctx->color_range = AVCOL_RANGE_JPEG;
        ctx->colorspace = AVCOL_SPC_BT470BG;  // JFIF's own matrix, which every JPEG reader assumes
    } else {
        ctx->color_primaries = AVCOL_PRI_BT709;
        ctx->color_trc = AVCOL_TRC_IEC61966_2_1;
    }
    int rc = avcodec_open2(ctx.get(), codec, &options);
    av_dict_free(&options);
    if (rc < 0) throw MediaError::fromCode("image encode", rc);

    e.frame->width = key.width;
    e.frame->height = key.height;
    e.frame->format = key.target;
    rc = av_frame_get_buffer(e.frame.get(), 0);
    if (rc < 0) throw MediaError::fromCode("image encode", rc);

    // JPEG keeps JFIF's own matrix and full range on both sides.
    const Scaler::Colour colour = key.type == ImageFileType::jpeg
                                      ? Scaler::Colour{SWS_CS_ITU601, 1, SWS_CS_ITU601, 1}
                                      : Scaler::colourFor(key.source, {}, key.target);
    e.scaler = std::make_unique<Scaler>();
    try {
        e.scaler->prepare(Scaler::geometryFor(key.width, key.height, key.source, key.width, key.height, key.target),
                          colour);
    } catch (const MediaError&) {
        throw MediaError("image encode", "no conversion to the file's pixel format");
    }
    e.ctx = std::move(ctx);
    return e;
}

// Converts the picture into the encoder's frame and encodes it into the encoder's packet.
void encodePicture(ImageEncoder& e, const PixelBuffer& buffer) {
    av_packet_unref(e.packet.get());
    // The encoder lets go of the frame once its packet is out, so this copies nothing in practice.
    int rc = av_frame_make_writable(e.frame.get());
    if (rc < 0) throw MediaError::fromCode("image encode", rc);
    const uint8_t* src[4];
    int srcStride[4];
    ffmpeg::planePointers(buffer, src, srcStride);
    try {
        e.scaler->scale(src, srcStride, e.frame->data, e.frame->linesize);
    } catch (const MediaError&) {
        throw MediaError("image encode", "pixel conversion failed");
    }
    if (e.key.type == ImageFileType::jpeg) {
        e.frame->quality = e.ctx->global_quality;
        e.frame->color_range = AVCOL_RANGE_JPEG;
    } else {
        e.frame->color_primaries = AVCOL_PRI_BT709;
        e.frame->color_trc = AVCOL_TRC_IEC61966_2_1;
    }
    rc = avcodec_send_frame(e.ctx.get(), e.frame.get());
    if (rc < 0) throw MediaError::fromCode("image encode", rc);
    rc = avcodec_receive_packet(e.ctx.get(), e.packet.get());
    if (rc < 0) throw MediaError::fromCode("image encode", rc);
}

}  // namespace

int jpegQScale(double quality) {
    if (!std::isfinite(quality)) quality = 0.9;
    quality = std::clamp(quality, 0.0, 1.0);
    return 2 + static_cast<int>(std::lround((1.0 - quality) * 29.0));
}

namespace {

ImageEncoderKey keyOf(const PixelBuffer& buffer, const ImageFileSettings& settings) {
    const AVPixelFormat sourceFormat = ffmpeg::toAVPixelFormat(buffer.pixelFormat());
    const bool deep = buffer.pixelFormat() == kPixelFormatRGBA64LE || buffer.pixelFormat() == kPixelFormatRGBA64BE;
    if (sourceFormat == AV_PIX_FMT_NONE || buffer.planeCount() != 1 || buffer.data(0) == nullptr)
        throw MediaError("image encode", "unsupported pixel format " + fourCCString(buffer.pixelFormat()));
    const bool alpha = settings.type != ImageFileType::jpeg && settings.withAlpha;
    const AVPixelFormat target = encodedFormat(settings.type, deep, alpha);
    return {settings.type, buffer.width(), buffer.height(), sourceFormat, target,
            settings.type == ImageFileType::jpeg ? jpegQScale(settings.jpegQuality) : 0};
}

// The packet's bytes through the hidden file's descriptor; the caller names the file.
void writePacket(const ImageEncoder& encoder, PartialFile& file) {
    const AVPacket* packet = encoder.packet.get();
    for (size_t done = 0; done < static_cast<size_t>(packet->size);) {
        const ssize_t n = ::write(file.descriptor(), packet->data + done, static_cast<size_t>(packet->size) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw MediaError::fromCode("image write", AVERROR(n < 0 ? errno : EIO));
        done += static_cast<size_t>(n);
    }
}

// Written under a hidden, locked name and renamed, so the destination is never half a file and a
// killed run's leftover is known for one.
void writePacket(const ImageEncoder& encoder, const std::filesystem::path& file) {
    std::optional<PartialFile> temporary;
    try {
        temporary.emplace(file);
    } catch (const std::system_error& e) {
        throw MediaError::fromCode("image write", AVERROR(e.code().value()));
    }
    writePacket(encoder, *temporary);
    // A lone picture is not synced: the caller decides what needs the disk's word.
    if (const int error = temporary->publish(false); error != 0) throw MediaError::fromCode("image write", AVERROR(error));
}

}  // namespace

void writeImageFile(const PixelBuffer& buffer, const std::filesystem::path& file, const ImageFileSettings& settings) {
    ImageEncoder encoder = openEncoder(keyOf(buffer, settings));
    encodePicture(encoder, buffer);
    writePacket(encoder, file);
}

ImageFileWriter::ImageFileWriter() = default;
ImageFileWriter::~ImageFileWriter() = default;

size_t ImageFileWriter::idleCount() const {
    std::lock_guard guard(lock_);
    return idle_.size();
}

std::unique_ptr<ImageEncoder> ImageFileWriter::take(const ImageEncoderKey& key) {
    {
        std::lock_guard guard(lock_);
        const auto same = std::find_if(idle_.begin(), idle_.end(), [&](const auto& e) { return e->key == key; });
        if (same != idle_.end()) {
            std::unique_ptr<ImageEncoder> encoder = std::move(*same);
            idle_.erase(same);
            return encoder;
        }
        if (!idle_.empty()) idle_.pop_back();  // a set of another kind is not kept beside the new one
    }
    return std::make_unique<ImageEncoder>(openEncoder(key));
}

void ImageFileWriter::giveBack(std::unique_ptr<ImageEncoder> encoder) {
    std::lock_guard guard(lock_);
    idle_.push_back(std::move(encoder));
}

template <typename File>
void ImageFileWriter::encodeAndWrite(const PixelBuffer& buffer, File& file, const ImageFileSettings& settings) {
    std::unique_ptr<ImageEncoder> encoder = take(keyOf(buffer, settings));
    // An encoder that failed half-way is not trusted with the next picture: it is dropped.
    encodePicture(*encoder, buffer);
    writePacket(*encoder, file);
    giveBack(std::move(encoder));
}

void ImageFileWriter::write(const PixelBuffer& buffer, const std::filesystem::path& file, const ImageFileSettings& settings) {
    encodeAndWrite(buffer, file, settings);
}

void ImageFileWriter::writeInto(const PixelBuffer& buffer, PartialFile& file, const ImageFileSettings& settings) {
    encodeAndWrite(buffer, file, settings);
}

}  // namespace qm
