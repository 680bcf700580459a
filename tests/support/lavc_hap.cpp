#include "support/lavc_hap.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include <cstring>
#include <string>

namespace qm::test {

LavcHapEncoder::LavcHapEncoder(const char* format, int width, int height, int chunks, int threads,
                               const char* compressor) {
    const AVCodec* codec = avcodec_find_encoder_by_name("hap");
    if (codec == nullptr) return;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_RGBA;
    context->time_base = AVRational{1, 30};
    context->thread_count = threads;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format", format, 0);
    av_dict_set(&options, "chunks", std::to_string(chunks).c_str(), 0);
    av_dict_set(&options, "compressor", compressor, 0);
    const int opened = avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    if (opened < 0) {
        avcodec_free_context(&context);
        return;
    }
    context_ = context;
    frame_ = av_frame_alloc();
    frame_->format = AV_PIX_FMT_RGBA;
    frame_->width = width;
    frame_->height = height;
    av_frame_get_buffer(frame_, 0);
}

LavcHapEncoder::~LavcHapEncoder() {
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

std::vector<uint8_t> LavcHapEncoder::encode(const PixelBuffer& bgra) {
    std::vector<uint8_t> out;
    if (context_ == nullptr || av_frame_make_writable(frame_) < 0) return out;
    // The RGBA copy stands for the pixel conversion any libavcodec user does before encoding.
    for (int y = 0; y < bgra.height(); ++y) {
        const uint8_t* in = bgra.data() + static_cast<size_t>(y) * bgra.bytesPerRow();
        uint8_t* row = frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0];
        for (int x = 0; x < bgra.width(); ++x) {
            row[x * 4] = in[x * 4 + 2];
            row[x * 4 + 1] = in[x * 4 + 1];
            row[x * 4 + 2] = in[x * 4];
            row[x * 4 + 3] = in[x * 4 + 3];
        }
    }
    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(context_, frame_) == 0 && avcodec_receive_packet(context_, packet) == 0)
        out.assign(packet->data, packet->data + packet->size);
    av_packet_free(&packet);
    return out;
}

bool lavcHapDecode(const std::vector<uint8_t>& frame, uint32_t codecType, PixelBuffer& into) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HAP);
    if (codec == nullptr) return false;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = into.width();
    context->height = into.height();
    // libavcodec's tags are little-endian; ours are most significant byte first.
    context->codec_tag = MKTAG(codecType >> 24, (codecType >> 16) & 0xFF, (codecType >> 8) & 0xFF, codecType & 0xFF);
    bool ok = false;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0 && av_new_packet(packet, static_cast<int>(frame.size())) == 0) {
        std::memcpy(packet->data, frame.data(), frame.size());
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, picture) == 0 &&
            picture->width == into.width() && picture->height == into.height()) {
            ok = true;
            for (int y = 0; y < into.height(); ++y) {
                const uint8_t* in = picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0];
                uint8_t* out = into.data() + static_cast<size_t>(y) * into.bytesPerRow();
                for (int x = 0; x < into.width(); ++x) {
                    if (picture->format == AV_PIX_FMT_GRAY8) {
                        out[x * 4] = out[x * 4 + 1] = out[x * 4 + 2] = 255;
                        out[x * 4 + 3] = in[x];
                    } else {
                        out[x * 4] = in[x * 4 + 2];
                        out[x * 4 + 1] = in[x * 4 + 1];
                        out[x * 4 + 2] = in[x * 4];
                        out[x * 4 + 3] = picture->format == AV_PIX_FMT_RGBA ? in[x * 4 + 3] : 255;
                    }
                }
            }
        }
    }
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return ok;
}

}  // namespace qm::test
