#include "platform/media/asset_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/media/reader_internal.h"

namespace qm::reading {

ffmpeg::FormatContextPtr openFormat(const std::filesystem::path& file, bool video, bool storedTimestampsOnly) {
    ffmpeg::OpenedSource source = ffmpeg::openSource(file, storedTimestampsOnly);
    if (video && source.kind != ffmpeg::ContainerKind::movie) {
        if (auto unread = unreadMovieContainer(source.demuxerName)) throw *unread;
        return nullptr;
    }
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

int unitLengthSize(const AVCodecParameters* par) {
    const size_t at = par->codec_id == AV_CODEC_ID_HEVC ? 21 : 4;
    const bool lengths = par->extradata != nullptr && size_t(par->extradata_size) > at && par->extradata[0] == 1;
    return lengths ? (par->extradata[at] & 3) + 1 : 0;
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
    // This H.264 decoder marks a picture it concealed once the thread decoding it has finished,
    // while with frame threads another thread may already have handed that picture out with the
    // marks it had before: whether damage is told would vary from run to run. On slice threads it
    // conceals and marks nothing in pictures of several slices, but a single-slice picture is told
    // alike in every run. The video reader decodes H.264 with the private library's decoder where
    // the build has it, which marks each picture once it is finished, on frame threads.
    if (codec->id == AV_CODEC_ID_H264) frameThreads = false;
    ctx->thread_type = frameThreads ? (FF_THREAD_FRAME | FF_THREAD_SLICE) : FF_THREAD_SLICE;
    // The same picture cap as the probe's: a stream that changes to an absurd size mid-way
    // fails to decode instead of allocating it.
    ctx->max_pixels = int64_t(PixelBuffer::kMaxSide) * PixelBuffer::kMaxSide;
    // The HEVC decoder skips a slice it finds damaged and hands out the picture as if whole, unless
    // told to return the error. Told so, it also refuses a sample for a unit beside the picture that
    // it would pass over: the video reader leaves those out first (HevcUnitCheck).
    if (codec->id == AV_CODEC_ID_HEVC) ctx->err_recognition |= AV_EF_EXPLODE;
    rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    return ctx;
}

namespace {

// A file cut short, read as it was listed: its bytes, then zeros up to `size`. Only the times of
// the first few missing samples are wanted: a table listing huge samples ends the zeros early.
struct PaddedFile {
    std::FILE* file = nullptr;
    int64_t held = 0;
    int64_t size = 0;
    int64_t at = 0;
    int64_t zerosLeft = int64_t(64) << 20;
};

int readPadded(void* opaque, uint8_t* buffer, int wanted) {
    auto& f = *static_cast<PaddedFile*>(opaque);
    if (f.at >= f.size || wanted <= 0) return AVERROR_EOF;
    const size_t n = size_t(std::min<int64_t>(wanted, f.size - f.at));
    size_t got = 0;
    if (f.at < f.held && fseeko(f.file, f.at, SEEK_SET) == 0)
        got = std::fread(buffer, 1, std::min(n, size_t(f.held - f.at)), f.file);
    if (got < n && (f.zerosLeft -= int64_t(n - got)) < 0) return AVERROR_EOF;
    std::memset(buffer + got, 0, n - got);
    f.at += int64_t(n);
    return int(n);
}

int64_t seekPadded(void* opaque, int64_t offset, int whence) {
    auto& f = *static_cast<PaddedFile*>(opaque);
    if (whence & AVSEEK_SIZE) return f.size;
    whence &= ~AVSEEK_FORCE;
    if (whence == SEEK_CUR) offset += f.at;
    else if (whence == SEEK_END) offset += f.size;
    else if (whence != SEEK_SET) return AVERROR(EINVAL);
    if (offset < 0) return AVERROR(EINVAL);
    return f.at = offset;
}

// Where the samples past `held` bytes show: the demuxer reads their times from the file's tables
// when the file is padded to the length they list. Nothing when that reading does not settle it.
std::optional<int64_t> shownFrom(const std::filesystem::path& file, const AVInputFormat* demuxer, int stream,
                                 int64_t held, int64_t listedEnd, int64_t firstDecoded) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!opened) return std::nullopt;
    PaddedFile padded{opened.get(), held, listedEnd};
    constexpr int kBufferSize = 1 << 16;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kBufferSize, 0, &padded, readPadded, nullptr, seekPadded) : nullptr;
    if (io == nullptr) {
        av_free(buffer);
        return std::nullopt;
    }
    AVFormatContext* format = avformat_alloc_context();
    std::optional<int64_t> shown;
    if (format != nullptr) {
        format->pb = io;
        // Only the times are wanted: the zeros in place of the missing bytes are not to be parsed.
        format->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
        // Freed by avformat_open_input when it fails.
        if (avformat_open_input(&format, nullptr, demuxer, nullptr) < 0) format = nullptr;
    }
    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (format != nullptr && packet && stream < int(format->nb_streams)) {
        discardAllBut(format, stream);
        av_seek_frame(format, stream, firstDecoded, AVSEEK_FLAG_BACKWARD);
        // No sample shows before it is decoded: once one is decoded after the earliest missing
        // time found, no later one can show earlier.
        for (int read = 0; read < 4096 && av_read_frame(format, packet.get()) >= 0; ++read) {
            const bool missing = packet->pos >= 0 && packet->pos + std::max(packet->size, 1) > held;
            const int64_t decoded = packet->dts;
            if (packet->stream_index == stream && missing && packet->pts != AV_NOPTS_VALUE &&
                (!shown || packet->pts < *shown))
                shown = packet->pts;
            av_packet_unref(packet.get());
            if (shown && decoded != AV_NOPTS_VALUE && decoded > *shown) break;
            if (read == 4095) shown.reset();
        }
    }
    if (format != nullptr) avformat_close_input(&format);
    av_freep(&io->buffer);
    avio_context_free(&io);
    return shown;
}

}  // namespace

std::optional<int64_t> firstMissingSample(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    const int64_t held = format->pb != nullptr ? avio_size(format->pb) : -1;
    if (held < 0) return std::nullopt;
    AVStream* st = format->streams[stream];
    std::optional<int64_t> firstDecoded;
    int64_t listedEnd = held;
    const int count = avformat_index_get_entries_count(st);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(st, i);
        if (entry == nullptr || entry->pos < 0) continue;
        const int64_t end = entry->pos + std::max<int64_t>(entry->size, 1);
        if (end <= held) continue;
        if (!firstDecoded || entry->timestamp < *firstDecoded) firstDecoded = entry->timestamp;
        listedEnd = std::max(listedEnd, end);
    }
    if (!firstDecoded) return std::nullopt;
    // Index times are decoding times, and no sample shows before it is decoded: the first of them
    // is the safe answer where the presentation times can't be had.
    const std::optional<int64_t> shown = shownFrom(file, format->iformat, stream, held, listedEnd, *firstDecoded);
    return shown ? *shown : *firstDecoded;
}

}  // namespace qm::reading
