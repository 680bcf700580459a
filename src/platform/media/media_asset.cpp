#include "platform/media/media_asset.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/hevc_alpha_layer.h"
#include "platform/media/media_error.h"
#include "platform/media/movie_writer_codecs.h"
#include "platform/media/reader_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/intreadwrite.h>
}

namespace qm {

namespace ffmpeg {

namespace {

// Demuxers whose files are movies, and those whose files are plain audio.
constexpr std::array<std::string_view, 5> kMovieDemuxers = {"mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "avi",
                                                            "mxf", "mpegts"};
constexpr std::array<std::string_view, 7> kAudioDemuxers = {"wav", "w64", "aiff", "caf", "mp3", "flac", "aac"};

// Movie containers recognised but not read, by the name users know them by.
constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kUnreadMovieDemuxers = {{
    {"flv", "FLV"},
    {"live_flv", "FLV"},
    {"mpeg", "MPEG-PS"},
    {"mpegvideo", "MPEG video elementary stream"},
    {"asf", "ASF (WMV)"},
    {"rm", "RealMedia"},
    {"ogg", "Ogg"},
    {"nut", "NUT"},
    {"dv", "DV"},
    {"gxf", "GXF"},
    {"wtv", "WTV"},
}};

// Sound files recognised but not taken, by the name users know them by.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kUnreadSoundDemuxers = {{
    {"ac3", "raw AC-3"},
    {"eac3", "raw E-AC-3"},
    {"dts", "raw DTS"},
    {"wv", "WavPack"},
}};

// Raw video streams recognised but not taken: they carry no stamps and no rate, so a movie's
// times can't be told from them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kUnreadVideoStreamDemuxers = {{
    {"h264", "H.264"},
    {"hevc", "HEVC"},
}};

// The name users know `demuxer` by, from one of the tables above; nothing when it is not there.
template <size_t N>
std::optional<std::string_view> nameUsersKnow(const std::array<std::pair<std::string_view, std::string_view>, N>& table,
                                              std::string_view demuxer) {
    for (const auto& [key, name] : table)
        if (key == demuxer) return name;
    return std::nullopt;
}

ContainerKind kindOf(std::string_view demuxer) {
    for (auto name : kMovieDemuxers)
        if (name == demuxer) return ContainerKind::movie;
    for (auto name : kAudioDemuxers)
        if (name == demuxer) return ContainerKind::audio;
    return ContainerKind::none;
}

struct DictionaryGuard {
    AVDictionary* dict = nullptr;
    ~DictionaryGuard() { av_dict_free(&dict); }
};

}  // namespace

bool isHapVariantCode(uint32_t code) {
    switch (code) {
    case fourCC('H', 'a', 'p', '1'):
    case fourCC('H', 'a', 'p', '5'):
    case fourCC('H', 'a', 'p', 'Y'):
    case fourCC('H', 'a', 'p', 'A'):
    case fourCC('H', 'a', 'p', 'M'):
    case fourCC('H', 'a', 'p', '7'): return true;
    default: return false;
    }
}

namespace {

uint32_t proResCodecType(int profile) {
    switch (profile) {
    case FF_PROFILE_PRORES_PROXY: return fourCC('a', 'p', 'c', 'o');
    case FF_PROFILE_PRORES_LT: return fourCC('a', 'p', 'c', 's');
    case FF_PROFILE_PRORES_STANDARD: return fourCC('a', 'p', 'c', 'n');
    case FF_PROFILE_PRORES_HQ: return fourCC('a', 'p', 'c', 'h');
    case FF_PROFILE_PRORES_4444: return fourCC('a', 'p', '4', 'h');
    case FF_PROFILE_PRORES_XQ: return fourCC('a', 'p', '4', 'x');
    default: return 0;
    }
}

uint32_t audioCodecType(const AVCodecParameters& par) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(par.codec_id);
    if (desc != nullptr && std::strncmp(desc->name, "pcm_", 4) == 0) return fourCC('l', 'p', 'c', 'm');
    switch (par.codec_id) {
    case AV_CODEC_ID_AAC: return fourCC('a', 'a', 'c', ' ');
    case AV_CODEC_ID_MP3: return fourCC('.', 'm', 'p', '3');
    case AV_CODEC_ID_ALAC: return fourCC('a', 'l', 'a', 'c');
    case AV_CODEC_ID_FLAC: return fourCC('f', 'l', 'a', 'c');
    default: break;
    }
    const AVCodecTag* const tables[] = {avformat_get_mov_audio_tags(), nullptr};
    if (const unsigned tag = av_codec_get_tag(tables, par.codec_id)) return fromFFmpegTag(tag);
    return par.codec_tag != 0 ? fromFFmpegTag(par.codec_tag) : 0;
}

}  // namespace

void FormatContextDeleter::operator()(AVFormatContext* context) const {
    if (context == nullptr) return;
    AVIOContext* io = context->pb;
    const bool ownIO = (context->flags & AVFMT_FLAG_CUSTOM_IO) != 0;
    avformat_close_input(&context);
    if (ownIO) avio_closep(&io);
}

uint32_t codecTypeOf(const AVStream& stream, bool quickTimeContainer) {
    const AVCodecParameters& par = *stream.codecpar;
    if (par.codec_type == AVMEDIA_TYPE_AUDIO) return audioCodecType(par);
    const uint32_t containerTag = par.codec_tag != 0 ? fromFFmpegTag(par.codec_tag) : 0;
    // A QuickTime sample entry is the FourCC itself. Other containers carry tags of their own
    // families (AVI's "H264", MPEG-TS stream types), so there the codec is named by its QuickTime
    // tag, except for Hap, whose tag is the variant.
    if (containerTag != 0 && (quickTimeContainer || isHapVariantCode(containerTag))) return containerTag;
    if (par.codec_id == AV_CODEC_ID_PRORES)
        if (const uint32_t code = proResCodecType(par.profile)) return code;
    if (par.codec_id != AV_CODEC_ID_NONE) {
        const AVCodecTag* const tables[] = {avformat_get_mov_video_tags(), nullptr};
        if (const unsigned tag = av_codec_get_tag(tables, par.codec_id)) return fromFFmpegTag(tag);
    }
    return containerTag;
}

OpenedSource openSource(const std::filesystem::path& path, bool storedTimestampsOnly) {
    OpenedSource result;
    // Only regular files: opening a named pipe blocks until some writer comes, and a device
    // never ends. A missing file keeps the library's own text.
    std::error_code statusError;
    const auto status = std::filesystem::status(path, statusError);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        throw MediaError("open", "Not a regular file", AVERROR(EINVAL));
    // Only the file protocol: a name such as "concat:a|b" or "http://..." is just a file name.
    const std::string url = "file:" + path.string();
    DictionaryGuard ioOptions;
    av_dict_set(&ioOptions.dict, "protocol_whitelist", "file", 0);
    AVIOContext* io = nullptr;
    int err = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &ioOptions.dict);
    if (err < 0) throw MediaError::fromCode("open", err);
    const AVInputFormat* format = nullptr;
    err = av_probe_input_buffer2(io, &format, url.c_str(), nullptr, 0, 0);
    if (err < 0 || format == nullptr) {
        avio_closep(&io);
        // An empty file reads as the end of the file; it is simply not media.
        throw MediaError::fromCode("open", err == AVERROR_EOF || err >= 0 ? AVERROR_INVALIDDATA : err);
    }
    result.demuxerName = format->name;
    result.kind = kindOf(result.demuxerName);
    if (result.kind == ContainerKind::none) {
        avio_closep(&io);
        return result;
    }
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
        avio_closep(&io);
        throw MediaError::fromCode("open", AVERROR(ENOMEM));
    }
    context->pb = io;  // marks the context as using our I/O; the deleter closes it
    if (storedTimestampsOnly && result.demuxerName != "matroska,webm") context->flags |= AVFMT_FLAG_NOFILLIN;
    DictionaryGuard formatOptions;
    av_dict_set(&formatOptions.dict, "protocol_whitelist", "file", 0);
    err = avformat_open_input(&context, url.c_str(), format, &formatOptions.dict);
    if (err < 0) {
        // avformat_open_input frees the context on failure but leaves our I/O open.
        avio_closep(&io);
        throw MediaError::fromCode("open", err);
    }
    result.context.reset(context);

    // Stream information decodes a few frames: one thread each, and no absurd picture sizes.
    const unsigned streams = context->nb_streams;
    std::vector<AVDictionary*> streamOptions(streams, nullptr);
    for (auto& options : streamOptions) {
        av_dict_set(&options, "threads", "1", 0);
        av_dict_set_int(&options, "max_pixels", int64_t(MediaAsset::kMaxSide) * MediaAsset::kMaxSide, 0);
    }
    // Reading stream information puts the decoder's colour description in the container's place,
    // and HEVC's decoder states one where the coded stream has none: the container's holds there.
    std::vector<ColourDescription> containerColours;
    for (unsigned i = 0; i < streams; ++i) containerColours.push_back(colourOf(*context->streams[i]->codecpar));
    err = avformat_find_stream_info(context, streams > 0 ? streamOptions.data() : nullptr);
    for (auto& options : streamOptions) av_dict_free(&options);
    if (err < 0) throw MediaError::fromCode("read stream info", err);
    for (unsigned i = 0; i < streams && i < context->nb_streams; ++i)
        describeWhereUnsaid(*context->streams[i]->codecpar, containerColours[i]);
    return result;
}

uint32_t codecTypeWithAlphaLayer(AVFormatContext* context, int streamIndex, uint32_t codecType) {
    const AVStream& stream = *context->streams[streamIndex];
    const AVCodecParameters& par = *stream.codecpar;
    if (par.codec_id != AV_CODEC_ID_HEVC) return codecType;
    HevcAlphaLayerScan scan;
    scan.addConfiguration(par.extradata, par.extradata_size > 0 ? size_t(par.extradata_size) : 0);
    const bool inBand = fromFFmpegTag(par.codec_tag) == fourCC('h', 'e', 'v', '1');
    if (!scan.hasAlphaLayer() && (inBand || !scan.configurationHasParameterSets())) {
        AVPacket* packet = av_packet_alloc();
        if (packet == nullptr) return codecType;
        // The parameter sets come with the first key frame; do not scan a whole file for them.
        int samples = 0;
        for (int read = 0; read < 256 && samples < 2 && !scan.hasAlphaLayer() && av_read_frame(context, packet) >= 0;
             ++read) {
            if (packet->stream_index == streamIndex) {
                scan.addSample(packet->data, size_t(packet->size));
                ++samples;
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        // Back to the first picture by its time: QuickTime's demuxer shifts the time it is given
        // onto its decoding time line, so INT64_MIN would wrap around to the end.
        const int64_t first = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
        // Where the sync-sample table leaves out the first sample, a seek by time lands on the
        // first it lists: to the first sample the index lists instead, by its own stamp.
        AVStream* st = context->streams[streamIndex];
        const AVIndexEntry* entry = avformat_index_get_entries_count(st) > 0 ? avformat_index_get_entry(st, 0) : nullptr;
        if (entry != nullptr && (entry->flags & AVINDEX_KEYFRAME) == 0)
            av_seek_frame(context, streamIndex, entry->timestamp, AVSEEK_FLAG_ANY | AVSEEK_FLAG_BACKWARD);
        else
            avformat_seek_file(context, streamIndex, INT64_MIN, first, first, 0);
    }
    return scan.hasAlphaLayer() ? kCodecTypeHevcAlpha : codecType;
}

}  // namespace ffmpeg

std::optional<ConversionError> unreadMovieContainer(std::string_view demuxerName) {
    if (const auto name = ffmpeg::nameUsersKnow(ffmpeg::kUnreadMovieDemuxers, demuxerName))
        return ConversionError::readerFailed(
            "the " + std::string(*name) +
            " container can't be read; movies are read from QuickTime (MOV, MP4), Matroska (MKV, WebM), AVI, MXF "
            "and MPEG-TS files");
    // Not a file without pictures, as the probe would take it for: one of a kind not taken.
    if (const auto name = ffmpeg::nameUsersKnow(ffmpeg::kUnreadSoundDemuxers, demuxerName))
        return ConversionError::readerFailed(
            std::string(*name) +
            " files can't be read; sound is read from movies and from WAV, W64, AIFF, CAF, MP3, FLAC and AAC (ADTS) "
            "files");
    if (const auto name = ffmpeg::nameUsersKnow(ffmpeg::kUnreadVideoStreamDemuxers, demuxerName))
        return ConversionError::readerFailed(
            "raw " + std::string(*name) +
            " streams can't be read; movies are read from QuickTime (MOV, MP4), Matroska (MKV, WebM), AVI, MXF and "
            "MPEG-TS files");
    return std::nullopt;
}

uint32_t hapCodecTypeFromFrame(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 4) return 0;
    const uint8_t type = data[3];
    if (type == 0x0D) return fourCC('H', 'a', 'p', 'M');  // several textures: Hap Q + alpha
    const uint8_t compressor = type >> 4;
    if (compressor < 0xA || compressor > 0xC) return 0;
    switch (type & 0x0F) {
    case 0xB: return fourCC('H', 'a', 'p', '1');
    case 0xE: return fourCC('H', 'a', 'p', '5');
    case 0xF: return fourCC('H', 'a', 'p', 'Y');
    case 0x1: return fourCC('H', 'a', 'p', 'A');
    case 0xC: return fourCC('H', 'a', 'p', '7');
    default: return 0;
    }
}

namespace {

// Reads the first packet of a Hap stream whose container did not say which variant it is.
uint32_t hapVariantFromFirstFrame(AVFormatContext* context, int streamIndex) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return 0;
    uint32_t code = 0;
    // A stream's first packet comes early; do not scan a whole file for it.
    for (int read = 0; read < 256 && av_read_frame(context, packet) >= 0; ++read) {
        const bool ours = packet->stream_index == streamIndex;
        if (ours) code = hapCodecTypeFromFrame(packet->data, static_cast<size_t>(packet->size));
        av_packet_unref(packet);
        if (ours) break;
    }
    av_packet_free(&packet);
    return code;
}

// What reading a file's packets (no decoding) tells of each stream: where its last packet ends on
// the file's time line, and the times of its first packets.
struct PacketSpan {
    MediaTime end = MediaTime::invalid();
    std::vector<int64_t> times;  // stream time base, in file order
    int64_t bytesEnd = -1;       // the furthest byte of its packets
};

// Reads the file from where it stands, to its end, keeping the times of up to `kept` packets of
// the streams `timed`; with `stopWhenKept`, only until each of them has that many.
std::vector<PacketSpan> readPacketSpans(AVFormatContext* context, const std::vector<int>& timed, size_t kept,
                                        bool stopWhenKept) {
    std::vector<PacketSpan> spans(context->nb_streams);
    std::vector<bool> keeps(spans.size(), false);
    for (int index : timed) keeps[size_t(index)] = true;
    auto enough = [&] {
        if (!stopWhenKept) return false;
        for (int index : timed)
            if (spans[size_t(index)].times.size() < kept) return false;
        return true;
    };
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) throw MediaError::fromCode("read stream info", AVERROR(ENOMEM));
    while (!enough() && av_read_frame(context, packet) >= 0) {
        const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        // A stream that appears mid-file (MPEG-TS) is not one of the tracks.
        if (at != AV_NOPTS_VALUE && packet->stream_index >= 0 && size_t(packet->stream_index) < spans.size()) {
            PacketSpan& span = spans[size_t(packet->stream_index)];
            const MediaTime end = ffmpeg::mediaTimeFrom(at + std::max<int64_t>(packet->duration, 0),
                                                        context->streams[packet->stream_index]->time_base);
            if (end.isNumeric() && (!span.end.isNumeric() || end > span.end)) span.end = end;
            if (keeps[size_t(packet->stream_index)] && span.times.size() < kept) span.times.push_back(at);
            if (packet->pos >= 0) span.bytesEnd = std::max(span.bytesEnd, packet->pos + int64_t(packet->size));
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return spans;
}

// Whether a raw ADTS stream's frames stop before the file's end with something other than a tag
// after them: the demuxer gives up at a frame whose header it can't read (its length zeroed), and
// the sound after it would be lost without a word.
bool adtsStopsShort(AVFormatContext* context, int64_t framesEnd) {
    if (context->pb == nullptr || framesEnd < 0) return false;
    const int64_t size = avio_size(context->pb);
    if (size <= framesEnd) return false;
    unsigned char head[8] = {};
    if (avio_seek(context->pb, framesEnd, SEEK_SET) < 0) return false;
    const int got = avio_read(context->pb, head, int(std::min<int64_t>(sizeof head, size - framesEnd)));
    const std::string_view rest(reinterpret_cast<const char*>(head), size_t(std::max(got, 0)));
    if (rest.starts_with("TAG") || rest.starts_with("APETAGEX") || rest.starts_with("ID3") || rest.starts_with("3DI")) return false;
    // A frame the file's end cuts short is a cut, which reading names as such.
    const bool frameStart = got >= 6 && head[0] == 0xFF && (head[1] & 0xF0) == 0xF0;
    const int frameLength = (head[3] & 0x03) << 11 | head[4] << 3 | head[5] >> 5;
    return !(frameStart && frameLength > size - framesEnd);
}

// What is wrong with raw ADTS whose frames stop short (adtsStopsShort), naming where they stop.
std::optional<std::string> adtsStoppingShort(AVFormatContext* context, const std::vector<TrackInfo>& tracks,
                                             const std::vector<PacketSpan>& spans) {
    for (const TrackInfo& track : tracks) {
        if (!adtsStopsShort(context, spans[size_t(track.streamIndex)].bytesEnd)) continue;
        char at[32];
        std::snprintf(at, sizeof at, "%.2f", track.duration.isNumeric() ? track.duration.seconds() : 0.0);
        return std::string("the sound's frames can't be read from ") + at + " s on, before the file's end: the file is damaged there";
    }
    return std::nullopt;
}

// Where the sound tracks `audio` of an MPEG-TS end: their last parsed packets' ends, read from
// the file's tail, a window that grows until each track has a packet in it. The library's own
// estimate gives a last PES packet the length of one frame, though it holds several.
std::vector<MediaTime> soundEndsFromTail(AVFormatContext* context, const std::vector<int>& audio) {
    std::vector<MediaTime> ends(audio.size(), MediaTime::invalid());
    const int64_t size = context->pb != nullptr ? avio_size(context->pb) : -1;
    if (size <= 0 || audio.empty()) return ends;
    for (int64_t window = int64_t(1) << 20;; window *= 4) {
        const int64_t from = std::max<int64_t>(size - window, 0);
        if (av_seek_frame(context, -1, from, AVSEEK_FLAG_BYTE) < 0) return ends;
        const std::vector<PacketSpan> spans = readPacketSpans(context, {}, 0, false);
        bool all = true;
        for (size_t i = 0; i < audio.size(); ++i) {
            ends[i] = spans[size_t(audio[i])].end;
            all = all && ends[i].isNumeric();
        }
        if (all || from == 0 || window >= (int64_t(1) << 28)) return ends;
    }
}

// The usual rates, whole and NTSC (n·1000/1001), that a measured rate is taken as when it lies
// this close to one: uneven stamps wander around the rate the recorder aimed at.
double nearestUsualRate(double measured) {
    constexpr double kTolerance = 0.005;
    double best = measured, bestError = kTolerance;
    for (int n = 1; n <= 240; ++n)
        for (const double rate : {double(n), n * 1000.0 / 1001.0}) {
            const double error = std::abs(measured - rate) / rate;
            if (error < bestError) {
                best = rate;
                bestError = error;
            }
        }
    return best;
}

// Frames per second from the frames' own times: the slope of a line fitted through them in
// presentation order, which the jitter of single stamps, the first and last ones too, barely
// moves. 0 when they cannot tell (fewer than two frames, or all at one time).
double rateFromPackets(std::vector<int64_t> times, AVRational timeBase) {
    if (times.size() < 2 || timeBase.num <= 0 || timeBase.den <= 0) return 0;
    std::sort(times.begin(), times.end());
    const double n = double(times.size()), meanIndex = (n - 1) / 2;
    const int64_t origin = times.front();
    double meanTime = 0;
    for (int64_t t : times) meanTime += double(t - origin) / n;
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < times.size(); ++i) {
        const double dx = double(i) - meanIndex;
        covariance += dx * (double(times[i] - origin) - meanTime);
        variance += dx * dx;
    }
    const double frameSeconds = covariance / variance * av_q2d(timeBase);
    if (!(frameSeconds > 0) || !std::isfinite(frameSeconds)) return 0;
    return nearestUsualRate(1 / frameSeconds);
}

// Matroska states one length, the segment's, which the library hands every track: a sound track's
// own length is the one its muxer tagged it with (read against where its last packet ends: the
// muxers mean different things by it), else it lasts until its last packet ends (a GStreamer
// recording's sound may end a frame before the segment's length says). Those packets are read
// from a few seconds before the end; a track with none there keeps the tag, or the segment's length.
void listMatroskaSound(AVFormatContext* context, std::vector<TrackInfo>& tracks, const MediaTime& length) {
    std::vector<TrackInfo*> sound;
    bool readTail = false;  // a track starting at 0 reads its tag the same either way
    for (TrackInfo& track : tracks) {
        if (track.kind != TrackKind::audio) continue;
        sound.push_back(&track);
        readTail = readTail || !ffmpeg::taggedDuration(*context->streams[track.streamIndex]).isNumeric() ||
                   (track.startTime.isNumeric() && track.startTime != MediaTime::zero());
    }
    if (sound.empty()) return;
    std::vector<PacketSpan> spans;
    if (readTail && length.isNumeric()) {
        const int64_t start = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
        const int64_t tail = start + std::max<int64_t>(length.convertScale(AV_TIME_BASE).value - 5 * AV_TIME_BASE, 0);
        if (avformat_seek_file(context, -1, INT64_MIN, tail, tail, 0) >= 0) spans = readPacketSpans(context, {}, 0, false);
    }
    for (TrackInfo* track : sound) {
        const MediaTime end = spans.empty() ? MediaTime::invalid() : spans[size_t(track->streamIndex)].end;
        const MediaTime tagged = ffmpeg::taggedDuration(*context->streams[track->streamIndex], end);
        const MediaTime first = track->startTime.isNumeric() ? track->startTime : MediaTime::zero();
        if (tagged.isNumeric())
            track->duration = tagged;
        else if (end.isNumeric() && end > first)
            track->duration = end - first;
    }
}

}  // namespace

MediaAsset::MediaAsset() = default;
MediaAsset::~MediaAsset() = default;

std::vector<TrackInfo> MediaAsset::tracks(TrackKind kind) const {
    std::vector<TrackInfo> result;
    for (const auto& track : tracks_)
        if (track.kind == kind) result.push_back(track);
    return result;
}

std::shared_ptr<MediaAsset> MediaAsset::open(const std::filesystem::path& path) {
    std::shared_ptr<MediaAsset> asset(new MediaAsset());
    asset->path_ = path;
    asset->duration_ = MediaTime::indefinite();
    ffmpeg::OpenedSource source = ffmpeg::openSource(path);
    asset->containerName_ = source.demuxerName;
    AVFormatContext* context = source.context.get();
    if (context == nullptr) return asset;
    const bool quickTime = source.demuxerName == "mov,mp4,m4a,3gp,3g2,mj2";
    // Where the file states no length (raw ADTS, MP3 without a Xing header), the library guesses
    // one from the bit rate and the file's size, seconds off for a variable rate: such a file's
    // length is counted from its packets below instead.
    const bool lengthGuessed = context->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
    if (context->duration != AV_NOPTS_VALUE && context->duration >= 0 && !lengthGuessed)
        asset->duration_ = MediaTime::make(context->duration, AV_TIME_BASE);

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream& stream = *context->streams[i];
        const AVCodecParameters& par = *stream.codecpar;
        TrackInfo track;
        track.streamIndex = static_cast<int>(i);
        if (par.codec_type == AVMEDIA_TYPE_VIDEO && source.kind == ffmpeg::ContainerKind::movie &&
            (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0)
            track.kind = TrackKind::video;
        else if (par.codec_type == AVMEDIA_TYPE_AUDIO)
            track.kind = TrackKind::audio;
        track.codecType = track.kind == TrackKind::other ? 0 : ffmpeg::codecTypeOf(stream, quickTime);
        const AVCodecDescriptor* desc = avcodec_descriptor_get(par.codec_id);
        track.codecId = desc != nullptr ? desc->name : "";
        track.decoderAvailable = par.codec_id != AV_CODEC_ID_NONE && avcodec_find_decoder(par.codec_id) != nullptr;
        // Only a QuickTime sample description carries a compressor name there; other containers
        // put the library that wrote the stream in that tag ("Lavc59.37.100 libvpx-vp9").
        if (const AVDictionaryEntry* encoder = av_dict_get(stream.metadata, "encoder", nullptr, 0);
            quickTime && encoder != nullptr && encoder->value[0] != '\0')
            track.formatName = encoder->value;
        if (par.bits_per_coded_sample > 0) track.depth = par.bits_per_coded_sample;
        track.duration = lengthGuessed ? MediaTime::invalid() : ffmpeg::streamDuration(stream);
        track.startTime = ffmpeg::mediaTimeFrom(stream.start_time, stream.time_base);
        track.naturalTimeScale = stream.time_base.num > 0 && stream.time_base.den > 0 ? stream.time_base.den : 0;
        if (track.kind == TrackKind::video) {
            track.width = par.width;
            track.height = par.height;
            if (track.width > kMaxSide || track.height > kMaxSide)
                throw MediaError("video size", std::to_string(track.width) + " \u00D7 " + std::to_string(track.height) +
                                                   " pixels; sides above 16384 are not supported");
            // Only a stated or measured average: the library's other guess falls back on the time
            // base, 1000 fps for the uneven 1 ms stamps of a browser's recording.
            const AVRational rate = stream.avg_frame_rate;
            if (rate.num > 0 && rate.den > 0) track.nominalFrameRate = av_q2d(rate);
            // The average counts every sample the track lists over their stored lengths: one stored
            // shorter or longer than the rest (a trim's last sample, samples an edit list leaves
            // out) moves it off the rate the frames step at, which the library reads from the
            // samples' common length. Near the average, that step is the rate.
            const AVRational step = stream.r_frame_rate;
            if (track.nominalFrameRate > 0 && step.num > 0 && step.den > 0 &&
                std::abs(av_q2d(step) / track.nominalFrameRate - 1) < 0.1)
                track.nominalFrameRate = av_q2d(step);
            track.colorTags = ffmpeg::colorTagsFrom(par.color_space, par.color_primaries, par.color_trc, par.color_range);
            track.codecType = ffmpeg::codecTypeWithAlphaLayer(context, track.streamIndex, track.codecType);
            if (par.codec_id == AV_CODEC_ID_HAP && !ffmpeg::isHapVariantCode(track.codecType))
                if (const uint32_t code = hapVariantFromFirstFrame(context, track.streamIndex)) track.codecType = code;
        } else if (track.kind == TrackKind::audio) {
            track.sampleRate = par.sample_rate;
            track.channels = par.ch_layout.nb_channels;
            // A file that does not say which channels it holds gets the usual layout for the count.
            AVChannelLayout channelLayout{};
            if (par.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&channelLayout, par.ch_layout.nb_channels);
            else if (av_channel_layout_copy(&channelLayout, &par.ch_layout) < 0)
                throw MediaError::fromCode("read stream info", AVERROR(ENOMEM));
            char layout[128] = {};
            if (av_channel_layout_describe(&channelLayout, layout, sizeof layout) > 0) track.channelLayout = layout;
            av_channel_layout_uninit(&channelLayout);
            // Matroska stamps an Opus track's first packet before its pre-skip, which the decoder
            // drops, moving the first frame's stamp on by it rounded to the track's clock; other
            // containers start the track with its first kept sample already.
            if (par.codec_id == AV_CODEC_ID_OPUS && source.demuxerName == "matroska,webm" && par.extradata_size >= 19 &&
                std::memcmp(par.extradata, "OpusHead", 8) == 0) {
                const int preSkip = AV_RL16(par.extradata + 10);
                track.priming = ffmpeg::mediaTimeFrom(av_rescale_q(preSkip, AVRational{1, 48000}, stream.time_base), stream.time_base);
            }
        }
        asset->tracks_.push_back(std::move(track));
    }
    // A file that states no length: its tracks last until their last packets end, so the whole
    // file is read once for it, as playing it through would (packets only, nothing decoded). A
    // video track that states no rate has it measured from its packets' times: on the way, or
    // from its first few hundred.
    std::vector<int> rateless;
    for (const TrackInfo& track : asset->tracks_)
        if (track.kind == TrackKind::video && !(track.nominalFrameRate > 0)) rateless.push_back(track.streamIndex);
    const bool lengthless = !asset->duration_.isNumeric();
    if (lengthless || !rateless.empty()) {
        constexpr size_t kRatePackets = 600;
        const std::vector<PacketSpan> spans = readPacketSpans(context, rateless, kRatePackets, !lengthless);
        for (int index : rateless) {
            TrackInfo& track = *std::find_if(asset->tracks_.begin(), asset->tracks_.end(),
                                             [&](const TrackInfo& t) { return t.streamIndex == index; });
            track.nominalFrameRate = rateFromPackets(spans[size_t(index)].times, context->streams[index]->time_base);
        }
        if (lengthless) {
            MediaTime first = MediaTime::invalid(), last = MediaTime::invalid();
            for (TrackInfo& track : asset->tracks_) {
                const MediaTime& end = spans[size_t(track.streamIndex)].end;
                if (!end.isNumeric()) continue;
                const MediaTime start = track.startTime.isNumeric() ? track.startTime : MediaTime::zero();
                if (!track.duration.isNumeric() && end > start) track.duration = end - start;
                if (!first.isNumeric() || start < first) first = start;
                if (!last.isNumeric() || end > last) last = end;
            }
            if (first.isNumeric() && last > first) asset->duration_ = last - first;
            if (source.demuxerName == "aac") asset->damage_ = adtsStoppingShort(context, asset->tracks_, spans);
        }
    }
    if (source.demuxerName == "matroska,webm" && !lengthless) listMatroskaSound(context, asset->tracks_, asset->duration_);
    // MPEG-TS states no lengths: its sound lasts until its last packet ends.
    if (!lengthless && source.demuxerName == "mpegts" && context->duration_estimation_method == AVFMT_DURATION_FROM_PTS) {
        std::vector<int> audio;
        for (const TrackInfo& track : asset->tracks_)
            if (track.kind == TrackKind::audio && track.startTime.isNumeric()) audio.push_back(track.streamIndex);
        const std::vector<MediaTime> ends = soundEndsFromTail(context, audio);
        const MediaTime first = context->start_time != AV_NOPTS_VALUE ? MediaTime::make(context->start_time, AV_TIME_BASE)
                                                                      : MediaTime::invalid();
        for (size_t i = 0; i < audio.size(); ++i) {
            TrackInfo& track = *std::find_if(asset->tracks_.begin(), asset->tracks_.end(),
                                             [&](const TrackInfo& t) { return t.streamIndex == audio[i]; });
            if (!(ends[i] > track.startTime)) continue;
            track.duration = ends[i] - track.startTime;
            if (first.isNumeric() && ends[i] - first > asset->duration_) asset->duration_ = ends[i] - first;
        }
    }
    // A clip counts from the picture a read from the start shows first: where the first samples
    // give none (a stream begun mid-way or at a recovery point), the track begins later and is
    // that much shorter, its sound placed from there too.
    for (TrackInfo& track : asset->tracks_) {
        if (track.kind != TrackKind::video) continue;
        if (reading::firstSampleShowsFirst(context, track.streamIndex, true)) break;
        const MediaTime start = track.startTime.isNumeric() ? track.startTime : MediaTime::zero();
        const MediaTime first = reading::firstDecodedPicture(path, start);
        if (!(first > start)) break;
        if (track.duration.isNumeric()) {
            track.duration = track.duration > first - start ? track.duration - (first - start) : MediaTime::invalid();
        } else if (asset->duration_.isNumeric()) {
            // Only the container states a length: the track ends where it ends.
            const MediaTime containerStart =
                context->start_time != AV_NOPTS_VALUE ? MediaTime::make(context->start_time, AV_TIME_BASE) : MediaTime::zero();
            const MediaTime end = containerStart + asset->duration_;
            if (end > first) track.duration = end - first;
        }
        track.startTime = first;
        break;
    }
    // The probe's facts are all read: the file is closed here, so a queue of thousands of probed
    // files holds no file handles.
    return asset;
}

}  // namespace qm
