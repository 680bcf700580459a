#include "platform/media/h264_decoding.h"

#include <algorithm>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"

#if QM_HAVE_HEVC_ALPHA_DECODER
#include "hevc_alpha/quillmere_h264.h"
#endif

namespace qm::reading {

#if QM_HAVE_HEVC_ALPHA_DECODER

struct H264Decoding::Private {
    qm_h264_decoder* decoder = nullptr;
    ~Private() { qm_h264_close(decoder); }
};

bool H264Decoding::available() { return true; }

std::unique_ptr<H264Decoding> H264Decoding::open(const AVStream* stream, int threads) {
    auto p = std::make_unique<Private>();
    const AVCodecParameters* par = stream->codecpar;
    const size_t size = par->extradata != nullptr && par->extradata_size > 0 ? size_t(par->extradata_size) : 0;
    const int rc = qm_h264_open(par->extradata, size, stream->time_base.num, stream->time_base.den, std::max(threads, 0),
                                &p->decoder);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    return std::unique_ptr<H264Decoding>(new H264Decoding(std::move(p)));
}

int H264Decoding::send(const AVPacket* packet, bool skipUnreferenced) {
    if (packet == nullptr) return qm_h264_send(p_->decoder, nullptr, 0, 0, 0, 0, 0);
    if (packet->data == nullptr || packet->size <= 0) return 0;
    const int flags = (skipUnreferenced ? QM_H264_SKIP_NONREF : 0) | ((packet->flags & AV_PKT_FLAG_KEY) ? QM_H264_KEY : 0) |
                      ((packet->flags & AV_PKT_FLAG_DISCARD) ? QM_H264_DISCARD : 0);
    return qm_h264_send(p_->decoder, packet->data, size_t(packet->size), packet->pts, packet->dts, packet->duration, flags);
}

namespace {
void releasePicture(void* opaque, uint8_t*) { qm_h264_release(static_cast<qm_h264_picture*>(opaque)); }
}  // namespace

int H264Decoding::receive(AVFrame* frame) {
    qm_h264_picture* picture = nullptr;
    const int rc = qm_h264_receive(p_->decoder, &picture);
    if (rc < 0) return rc;
    // The layouts' names are the same in every FFmpeg version.
    const int adopted = ffmpeg::adoptPicture(frame, av_get_pix_fmt(picture->format), picture->width, picture->height,
                                             picture->planes, picture->strides, releasePicture, picture);
    if (adopted < 0) return adopted;
    frame->pts = picture->pts;
    frame->pkt_dts = picture->dts;
    frame->best_effort_timestamp = picture->best_effort_pts;
    frame->pkt_duration = picture->duration;
    frame->key_frame = picture->key_frame;
    frame->decode_error_flags = picture->damaged ? FF_DECODE_ERROR_CONCEALMENT_ACTIVE : 0;
    frame->colorspace = static_cast<AVColorSpace>(picture->matrix);
    frame->color_primaries = static_cast<AVColorPrimaries>(picture->primaries);
    frame->color_trc = static_cast<AVColorTransferCharacteristic>(picture->transfer);
    frame->color_range = static_cast<AVColorRange>(picture->range);
    frame->chroma_location = static_cast<AVChromaLocation>(picture->chroma_location);
    frame->sample_aspect_ratio = {picture->sar_num, picture->sar_den};
    frame->interlaced_frame = picture->interlaced;
    frame->top_field_first = picture->top_field_first;
    frame->repeat_pict = picture->repeat_pict;
    return 0;
}

int H264Decoding::reorderDepth() const { return qm_h264_reorder_depth(p_->decoder); }
bool H264Decoding::frameThreads() const { return qm_h264_frame_threads(p_->decoder) != 0; }

#else

struct H264Decoding::Private {};
bool H264Decoding::available() { return false; }
std::unique_ptr<H264Decoding> H264Decoding::open(const AVStream*, int) {
    throw MediaError("decoder", "this build has no H.264 decoder of its own");
}
int H264Decoding::send(const AVPacket*, bool) { return AVERROR(ENOSYS); }
int H264Decoding::receive(AVFrame*) { return AVERROR(ENOSYS); }
int H264Decoding::reorderDepth() const { return 0; }
bool H264Decoding::frameThreads() const { return false; }

#endif

H264Decoding::H264Decoding(std::unique_ptr<Private> p) : p_(std::move(p)) {}
H264Decoding::~H264Decoding() = default;

}  // namespace qm::reading
