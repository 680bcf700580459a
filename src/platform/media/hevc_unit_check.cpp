#include "platform/media/hevc_unit_check.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/media/hevc_alpha_layer.h"
#include "platform/media/media_error.h"

namespace qm::reading {

namespace {

// Unit types of the base layer that the decoder parses beside the pictures: VPS, SPS, PPS and the
// prefix and suffix SEI. The others beside the pictures it passes over without a look.
bool besidePictures(int type) { return (type >= 32 && type <= 34) || type == 39 || type == 40; }

}  // namespace

std::unique_ptr<HevcUnitCheck> HevcUnitCheck::open(const AVStream* stream) {
    const AVCodecParameters* par = stream->codecpar;
    if (par->codec_id != AV_CODEC_ID_HEVC) return nullptr;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (codec == nullptr) throw MediaError("decoder", "no decoder for hevc");
    auto check = std::unique_ptr<HevcUnitCheck>(new HevcUnitCheck);
    check->check_.reset(avcodec_alloc_context3(codec));
    if (!check->check_) throw MediaError::fromCode("decoder", AVERROR(ENOMEM));
    AVCodecContext* ctx = check->check_.get();
    int rc = avcodec_parameters_to_context(ctx, par);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    ctx->thread_count = 1;
    ctx->err_recognition |= AV_EF_EXPLODE;
    // What it refuses is told by the sample's own decoding where it matters.
    ctx->log_level_offset = AV_LOG_DEBUG;
    rc = avcodec_open2(ctx, codec, nullptr);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    // Stored samples give each unit's length as the sample description says (as the decoder reads
    // it); streams without one separate units by start codes.
    const uint8_t* extra = par->extradata;
    if (par->extradata_size > 22 && (extra[0] != 0 || extra[1] != 0 || extra[2] > 1)) {
        check->lengthSize_ = (extra[21] & 3) + 1;
        if (const int layers = (extra[21] >> 3) & 7; layers > 0) check->topSubLayer_ = layers - 1;
    }
    check->probe_ = ffmpeg::allocPacket("decode");
    check->kept_ = ffmpeg::allocPacket("decode");
    check->frame_ = ffmpeg::allocFrame("decode");
    return check;
}

std::vector<HevcUnitCheck::Unit> HevcUnitCheck::split(const AVPacket* sample) const {
    const uint8_t* data = sample->data;
    const auto size = size_t(sample->size);
    bool whole = true;
    const std::vector<HevcUnit> found = splitHevcUnits(data, size, lengthSize_, &whole);
    // Framing the decoder can't follow is damage it reports itself.
    if (!whole || found.empty() || found.back().end != size) return {};
    std::vector<Unit> units;
    for (const HevcUnit& u : found) {
        const size_t h = u.header;
        const bool header = h + 2 <= u.end;
        const int type = header ? (data[h] >> 1) & 0x3F : -1;
        const int layer = header ? ((data[h] & 1) << 5) | (data[h + 1] >> 3) : -1;
        const int subLayer = header ? (data[h + 1] & 7) - 1 : -1;
        // Slices of sub-layer non-reference pictures are of the even types below 16.
        const bool slice = layer == 0 && type >= 0 && type < 32;
        units.push_back({u.begin, u.end, layer == 0 && besidePictures(type), slice && type < 16 && type % 2 == 0 && subLayer == topSubLayer_, slice});
    }
    return units;
}

bool HevcUnitCheck::accepts(const AVPacket* sample, const std::vector<const Unit*>& units) {
    size_t size = 0;
    for (const Unit* u : units) size += u->end - u->begin;
    av_packet_unref(probe_.get());
    int rc = av_new_packet(probe_.get(), int(size));
    if (rc < 0) throw MediaError::fromCode("decode", rc);
    uint8_t* to = probe_->data;
    for (const Unit* u : units) {
        std::memcpy(to, sample->data + u->begin, u->end - u->begin);
        to += u->end - u->begin;
    }
    // The sample's side data may bring new parameter sets.
    rc = av_packet_copy_props(probe_.get(), sample);
    if (rc < 0) throw MediaError::fromCode("decode", rc);
    rc = avcodec_send_packet(check_.get(), probe_.get());
    // It makes no pictures of these units; none is left waiting in it.
    while (avcodec_receive_frame(check_.get(), frame_.get()) == 0) av_frame_unref(frame_.get());
    return rc >= 0;
}

bool HevcUnitCheck::unreferenced(const AVPacket* sample) const {
    if (sample == nullptr || sample->size <= 0) return false;
    const std::vector<Unit> units = split(sample);
    if (units.empty()) return true;
    bool slices = false;
    for (const Unit& u : units) {
        if (u.slice && !u.unreferenced) return false;
        slices = slices || u.slice;
    }
    return slices;
}

const AVPacket* HevcUnitCheck::checked(const AVPacket* sample) {
    if (sample == nullptr || sample->size <= 0) return sample;
    const std::vector<Unit> units = split(sample);
    std::vector<const Unit*> beside;
    for (const Unit& u : units)
        if (u.beside) beside.push_back(&u);
    if (beside.empty() || accepts(sample, beside)) return sample;
    // Which of them: each on its own.
    std::vector<const Unit*> refused;
    for (const Unit* u : beside)
        if (!accepts(sample, {u})) refused.push_back(u);
    if (refused.empty()) return sample;
    av_packet_unref(kept_.get());
    int rc = av_new_packet(kept_.get(), sample->size);
    if (rc < 0) throw MediaError::fromCode("decode", rc);
    // Bytes before the first start code stay as they are.
    size_t size = units.front().begin;
    std::memcpy(kept_->data, sample->data, size);
    for (const Unit& u : units) {
        if (std::find(refused.begin(), refused.end(), &u) != refused.end()) continue;
        std::memcpy(kept_->data + size, sample->data + u.begin, u.end - u.begin);
        size += u.end - u.begin;
    }
    av_shrink_packet(kept_.get(), int(size));
    rc = av_packet_copy_props(kept_.get(), sample);
    if (rc < 0) throw MediaError::fromCode("decode", rc);
    return kept_.get();
}

}  // namespace qm::reading
