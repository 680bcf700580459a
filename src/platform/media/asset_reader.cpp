#include "platform/media/asset_reader.h"

#include <climits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/media/reader_internal.h"

namespace qm::reading {

ffmpeg::FormatContextPtr openFormat(const std::filesystem::path& file, bool video, bool storedTimestampsOnly) {
    ffmpeg::OpenedSource source = ffmpeg::openSource(file, storedTimestampsOnly);
    if (video && source.kind != ffmpeg::ContainerKind::movie) return nullptr;
    return std::move(source.context);
}

int firstStream(AVFormatContext* format, AVMediaType type) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != type) continue;
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        return static_cast<int>(i);
    }
    return -1;
}

void discardAllBut(AVFormatContext* format, int keep) {
    for (unsigned i = 0; i < format->nb_streams; ++i)
        format->streams[i]->discard = static_cast<int>(i) == keep ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

uint32_t codecTypeOf(const AVCodecParameters* par, bool video) {
    uint32_t tag = par->codec_tag;
    if (tag == 0) {
        const AVCodecTag* const tables[] = {video ? avformat_get_mov_video_tags() : avformat_get_mov_audio_tags(),
                                            nullptr};
        tag = av_codec_get_tag(tables, par->codec_id);
    }
    return ((tag & 0xFFu) << 24) | ((tag & 0xFF00u) << 8) | ((tag >> 8) & 0xFF00u) | (tag >> 24);
}

void seekNear(AVFormatContext* format, int stream, const MediaTime& start) {
    if (!start.isNumeric()) return;
    const AVRational tb = format->streams[stream]->time_base;
    const int64_t ts = ffmpeg::timestampFrom(start, tb);
    if (ts == AV_NOPTS_VALUE) return;
    // To the key frame at or before the time; a failed seek reads from the beginning instead.
    if (avformat_seek_file(format, stream, INT64_MIN, ts, ts, 0) < 0)
        avformat_seek_file(format, stream, INT64_MIN, INT64_MIN, INT64_MIN, 0);
}

ffmpeg::CodecContextPtr openDecoder(const AVStream* st, int threads, bool frameThreads) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (codec == nullptr) throw MediaError("decoder", std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
    ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) throw MediaError::fromCode("decoder", AVERROR(ENOMEM));
    int rc = avcodec_parameters_to_context(ctx.get(), st->codecpar);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = threads;
    // Frame threads each hold a picture of their own, a whole 4K frame apiece. A codec whose
    // frames stand alone and whose decoder splits a frame into slices is as fast on slice threads,
    // holding one picture at a time.
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec->id);
    const bool intraOnly = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    if (intraOnly && (codec->capabilities & AV_CODEC_CAP_SLICE_THREADS) != 0) frameThreads = false;
    ctx->thread_type = frameThreads ? (FF_THREAD_FRAME | FF_THREAD_SLICE) : FF_THREAD_SLICE;
    // The same picture cap as the probe's: a stream that changes to an absurd size mid-way
    // fails to decode instead of allocating it.
    ctx->max_pixels = int64_t(PixelBuffer::kMaxSide) * PixelBuffer::kMaxSide;
    // The HEVC decoder skips a slice it finds damaged and hands out the picture as if whole, unless
    // told to return the error.
    if (codec->id == AV_CODEC_ID_HEVC) ctx->err_recognition |= AV_EF_EXPLODE;
    rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    return ctx;
}

}  // namespace qm::reading
