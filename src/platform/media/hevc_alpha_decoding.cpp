#include "platform/media/hevc_alpha_decoding.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"

#if QM_HAVE_HEVC_ALPHA_DECODER
#include "hevc_alpha/quillmere_hevc_alpha.h"
#endif

namespace qm::reading {

#if QM_HAVE_HEVC_ALPHA_DECODER

struct HevcAlphaDecoding::Private {
    qm_hevc_alpha_decoder* decoder = nullptr;
    // Times of samples an edit list leaves out: decoded, since later pictures refer to them, but
    // never shown, as libavcodec drops the pictures of such samples.
    std::vector<int64_t> discarded;
    ~Private() { qm_hevc_alpha_close(decoder); }
};

bool HevcAlphaDecoding::available() { return true; }
const int HevcAlphaDecoding::kAlphaNotDecoded = QM_HEVC_ALPHA_NO_ALPHA;
const int HevcAlphaDecoding::kPictureNotDecoded = QM_HEVC_ALPHA_NO_PICTURE;
int64_t HevcAlphaDecoding::droppedTime() const { return qm_hevc_alpha_dropped_pts(p_->decoder); }

bool HevcAlphaDecoding::readsSamplesOf(const AVStream* stream) {
    const AVCodecParameters* par = stream->codecpar;
    // configurationVersion 1 opens an hvcC record; a byte stream's configuration starts with a start code.
    return par->extradata != nullptr && par->extradata_size >= 23 && par->extradata[0] == 1;
}

std::unique_ptr<HevcAlphaDecoding> HevcAlphaDecoding::open(const AVStream* stream, int threads) {
    auto p = std::make_unique<Private>();
    const AVCodecParameters* par = stream->codecpar;
    const size_t size = par->extradata != nullptr && par->extradata_size > 0 ? size_t(par->extradata_size) : 0;
    const int rc = qm_hevc_alpha_open(par->extradata, size, std::max(threads, 0), &p->decoder);
    if (rc < 0) throw MediaError("decoder", "the HEVC-with-alpha video's configuration can't be read: " + reasonFor(rc), rc);
    return std::unique_ptr<HevcAlphaDecoding>(new HevcAlphaDecoding(std::move(p)));
}

int HevcAlphaDecoding::send(const AVPacket* packet, bool skipUnreferenced) {
    if (packet == nullptr) return qm_hevc_alpha_send(p_->decoder, nullptr, 0, 0, 0);
    if (packet->data == nullptr || packet->size <= 0) return 0;
    const int rc = qm_hevc_alpha_send(p_->decoder, packet->data, size_t(packet->size), packet->pts,
                                      skipUnreferenced ? QM_HEVC_ALPHA_SKIP_NONREF : 0);
    if (rc != AVERROR(EAGAIN) && (packet->flags & AV_PKT_FLAG_DISCARD) != 0 && packet->pts != AV_NOPTS_VALUE)
        p_->discarded.push_back(packet->pts);
    return rc;
}

namespace {

// The system FFmpeg's name of the picture's layout: the names are the same in every version.
AVPixelFormat formatOf(const qm_hevc_alpha_picture& p) {
    const char* layout = p.chroma_shift_x == 1 && p.chroma_shift_y == 1   ? "420"
                         : p.chroma_shift_x == 1 && p.chroma_shift_y == 0 ? "422"
                         : p.chroma_shift_x == 0 && p.chroma_shift_y == 0 ? "444"
                                                                         : nullptr;
    if (layout == nullptr || (p.bit_depth != 8 && p.bit_depth != 10 && p.bit_depth != 12)) return AV_PIX_FMT_NONE;
    std::string name = std::string(p.has_alpha ? "yuva" : "yuv") + layout + "p";
    if (p.bit_depth > 8) name += std::to_string(p.bit_depth) + "le";
    return av_get_pix_fmt(name.c_str());
}

void releasePicture(void* opaque, uint8_t*) { qm_hevc_alpha_release(static_cast<qm_hevc_alpha_picture*>(opaque)); }

}  // namespace

int HevcAlphaDecoding::receive(AVFrame* frame) {
    qm_hevc_alpha_picture* picture = nullptr;
    for (;;) {
        const int rc = qm_hevc_alpha_receive(p_->decoder, &picture);
        if (rc < 0) return rc;
        const auto left = std::find(p_->discarded.begin(), p_->discarded.end(), picture->pts);
        if (left == p_->discarded.end()) {
            // Pictures come in presentation order: one left out earlier than this never comes (skipped).
            std::erase_if(p_->discarded, [&](int64_t t) { return t < picture->pts; });
            break;
        }
        p_->discarded.erase(left);
        qm_hevc_alpha_release(picture);
    }
    const int adopted = ffmpeg::adoptPicture(frame, formatOf(*picture), picture->width, picture->height, picture->planes,
                                             picture->strides, releasePicture, picture);
    if (adopted < 0) return adopted;
    frame->pts = picture->pts;
    frame->best_effort_timestamp = picture->pts;
    frame->key_frame = picture->key_frame;
    // The code points are ISO/IEC 23091-2's, as FFmpeg's enumerations are.
    frame->colorspace = static_cast<AVColorSpace>(picture->matrix);
    frame->color_primaries = static_cast<AVColorPrimaries>(picture->primaries);
    frame->color_trc = static_cast<AVColorTransferCharacteristic>(picture->transfer);
    frame->color_range = picture->range == QM_HEVC_ALPHA_RANGE_VIDEO  ? AVCOL_RANGE_MPEG
                         : picture->range == QM_HEVC_ALPHA_RANGE_FULL ? AVCOL_RANGE_JPEG
                                                                      : AVCOL_RANGE_UNSPECIFIED;
    return 0;
}

#else

struct HevcAlphaDecoding::Private {};
bool HevcAlphaDecoding::available() { return false; }
const int HevcAlphaDecoding::kAlphaNotDecoded = AVERROR_BUG2;
const int HevcAlphaDecoding::kPictureNotDecoded = AVERROR_BUG;
int64_t HevcAlphaDecoding::droppedTime() const { return 0; }
bool HevcAlphaDecoding::readsSamplesOf(const AVStream*) { return false; }
std::unique_ptr<HevcAlphaDecoding> HevcAlphaDecoding::open(const AVStream*, int) {
    throw MediaError("decoder", "this build has no decoder of HEVC alpha layers");
}
int HevcAlphaDecoding::send(const AVPacket*, bool) { return AVERROR(ENOSYS); }
int HevcAlphaDecoding::receive(AVFrame*) { return AVERROR(ENOSYS); }

#endif

std::string HevcAlphaDecoding::reasonFor(int code) {
    // The library's own texts ("Cannot allocate memory" for a picture too large or a reference
    // missing) would mislead: what fails here is the stream.
    if (code == kAlphaNotDecoded) return "its alpha layer is missing or damaged";
    if (code == kPictureNotDecoded) return "its data is damaged";
#if QM_HAVE_HEVC_ALPHA_DECODER
    if (code == QM_HEVC_ALPHA_DAMAGED) return "its data is damaged";
#endif
    if (code == AVERROR(ENOMEM)) return "its data is damaged or describes a picture too large to decode";
    if (code == AVERROR_PATCHWELCOME || code == AVERROR(ENOSYS))
        return "it uses a form of HEVC with alpha this decoder can't read";
    if (code == AVERROR_INVALIDDATA || code == AVERROR(EINVAL)) return "its data is damaged";
    return "its data is damaged (" + mediaErrorText(code) + ")";
}

HevcAlphaDecoding::HevcAlphaDecoding(std::unique_ptr<Private> p) : p_(std::move(p)) {}
HevcAlphaDecoding::~HevcAlphaDecoding() = default;

}  // namespace qm::reading
