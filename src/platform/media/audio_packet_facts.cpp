#include "platform/media/audio_packet_facts.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/ac3_parser.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mathematics.h>
}

namespace qm::reading {

// The frame length its configuration names (SILK, hybrid, CELT), times its frames.
int64_t opusSamples(const uint8_t* data, int size) {
    if (size < 1) return 0;
    const int config = data[0] >> 3;
    static constexpr int64_t kSilk[] = {480, 960, 1920, 2880}, kHybrid[] = {480, 960}, kCelt[] = {120, 240, 480, 960};
    const int64_t frame = config < 12 ? kSilk[config % 4] : config < 16 ? kHybrid[config % 2] : kCelt[config % 4];
    const int code = data[0] & 3;
    if (code == 3 && size < 2) return 0;
    return frame * (code == 0 ? 1 : code < 3 ? 2 : data[1] & 0x3f);
}

int64_t flacSamples(const uint8_t* data, int size) {
    if (size < 5 || data[0] != 0xFF || (data[1] & 0xFE) != 0xF8) return 0;
    const int code = data[2] >> 4;
    if (code == 1) return 192;
    if (code >= 2 && code <= 5) return int64_t(576) << (code - 2);
    if (code >= 8) return int64_t(256) << (code - 8);
    if (code != 6 && code != 7) return 0;
    // Stored after the frame's number, whose first byte's leading ones count its bytes.
    int ones = 0;
    while (ones < 8 && (data[4] & (0x80 >> ones))) ++ones;
    if (ones == 1 || ones > 7) return 0;
    const int at = 4 + std::max(ones, 1);
    if (size < at + code - 5) return 0;
    return (code == 6 ? data[at] : data[at] << 8 | data[at + 1]) + 1;
}

// 256 for each audio block of an independent frame (an AC-3 core's six included); a dependent
// frame adds channels to the frame before it, not time.
int64_t eac3Samples(const uint8_t* data, int size) {
    int64_t samples = 0;
    for (int at = 0; at < size;) {
        uint8_t bitstreamId = 0;
        uint16_t frameBytes = 0;
        if (size - at < 6 || av_ac3_parse_header(data + at, size_t(size - at), &bitstreamId, &frameBytes) < 0 || frameBytes == 0)
            return 0;
        if (bitstreamId <= 10) {
            samples += 6 * 256;
        } else if ((data[at + 2] >> 6) != 1) {
            static constexpr int kBlocks[] = {1, 2, 3, 6};
            samples += 256 * ((data[at + 4] >> 6) == 3 ? 6 : kBlocks[(data[at + 4] >> 4) & 3]);
        }
        at += frameBytes;
    }
    return samples;
}

// Big-endian 16-bit words, as Matroska and MP4 hold it: 32 for each of its blocks; extension
// substreams add no time.
int64_t dtsSamples(const uint8_t* data, int size) {
    if (size < 6 || AV_RB32(data) != 0x7FFE8001) return 0;
    return 32 * (((data[4] & 1) << 6 | data[5] >> 2) + 1);
}

// Matroska's stamps and durations are rounded to its clock: the codec's own count comes first.
int64_t packetSamples(AVCodecParameters* par, const AVPacket& p, int rate, AVRational timeBase) {
    int64_t length = av_get_audio_frame_duration2(par, p.size);
    if (av_get_exact_bits_per_sample(par->codec_id) > 0) return length;
    if (par->codec_id == AV_CODEC_ID_OPUS) length = av_rescale(opusSamples(p.data, p.size), rate, 48000);
    if (par->codec_id == AV_CODEC_ID_FLAC) length = flacSamples(p.data, p.size);
    if (par->codec_id == AV_CODEC_ID_EAC3) length = eac3Samples(p.data, p.size);
    if (par->codec_id == AV_CODEC_ID_DTS) length = dtsSamples(p.data, p.size);
    if (length <= 0) length = av_rescale_q(p.duration, timeBase, AVRational{1, rate});
    size_t size = 0;
    const uint8_t* skip = av_packet_get_side_data(&p, AV_PKT_DATA_SKIP_SAMPLES, &size);
    return length - (skip && size >= 8 ? AV_RL32(skip + 4) : 0);
}

// AAC's overlapping windows fade in over about 450 samples, and only from the first packet does
// the file's priming get cut off. An MP3 frame takes its data from the frames before it (up to
// 511 bytes at 32 kHz and over, 255 below, where frames are of 576 samples and the lowest bit rate
// is 8 kb/s, not 32), besides its own headers and side information, and overlaps the frame
// before: at low bit rates that is several frames. A variable rate drops to the lowest in quiet
// passages. Opus converges within 80 ms by its design, but its prediction of band energies
// settles later (about 30 dB over the first 50 ms after 80 ms, over 100 dB after 300 ms). A
// container may ask for more.
double preroll(const AVCodecParameters* par, int64_t bitRate) {
    double seconds = 0.1;
    if (par->codec_id == AV_CODEC_ID_MP3 && par->sample_rate > 0) {
        const bool mpeg1 = par->sample_rate >= 32000;
        const int frame = par->frame_size > 0 ? par->frame_size : mpeg1 ? 1152 : 576;
        const double reservoir = mpeg1 ? 511 : 255, headers = mpeg1 ? 36 : 21, lowest = mpeg1 ? 32000 : 8000;
        const double rate = double(bitRate > 0 ? bitRate : int64_t(lowest));
        const double dataBytes = std::max(double(frame) / 8 * rate / par->sample_rate - headers, 1.0);
        seconds = std::clamp((std::ceil(reservoir / dataBytes) + 1) * frame / par->sample_rate, seconds, 1.0);
    }
    if (par->codec_id == AV_CODEC_ID_OPUS) seconds = 0.3;
    if (par->seek_preroll > 0 && par->sample_rate > 0) seconds = std::max(seconds, double(par->seek_preroll) / par->sample_rate);
    return seconds;
}

}  // namespace qm::reading
