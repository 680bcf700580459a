// Where a stream's pictures begin: the first sample's time, unless its first samples give no
// picture, which only a decoder tells.
#include <exception>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/media/asset_reader.h"
#include "platform/media/reader_internal.h"
#include "platform/media/recovery_point.h"

namespace qm {

namespace reading {

bool firstSampleShowsFirst(AVFormatContext* format, int stream, bool rewind) {
    const AVStream* st = format->streams[stream];
    if (rewind) {
        // A byte stream from its first byte: a seek by time would land on a key frame.
        const bool byteStream = (format->iformat->flags & (AVFMT_TS_DISCONT | AVFMT_NOTIMESTAMPS)) != 0;
        const int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const int rc = byteStream ? av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE)
                                  : avformat_seek_file(format, stream, INT64_MIN, first, first, 0);
        if (rc < 0) return true;
    }
    PacketPtr packet(av_packet_alloc());
    if (!packet) return true;
    // The first sample in decoding order, those an edit list leaves out included: decoding begins there.
    for (int read = 0; read < 4096 && av_read_frame(format, packet.get()) >= 0; ++read) {
        if (packet->stream_index != stream) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVCodecParameters* par = st->codecpar;
        const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
        bool shows = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        // x264's recovery points and HEVC's CRAs are taken for key frames too.
        if (shows && (hevc || par->codec_id == AV_CODEC_ID_H264))
            shows = packet->data != nullptr &&
                    beginsAtInstantRefresh(packet->data, size_t(packet->size), unitLengthSize(par), hevc);
        // A picture shown before the first decoded one is one it may lack.
        if (shows && st->start_time != AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE && packet->pts > st->start_time &&
            (packet->flags & AV_PKT_FLAG_DISCARD) == 0)
            shows = false;
        av_packet_unref(packet.get());
        return shows;
    }
    return true;
}

MediaTime firstDecodedPicture(const std::filesystem::path& file, const MediaTime& trackStart) {
    try {
        VideoReaderSettings settings;
        settings.deferConversion = true;  // only its time is wanted
        const auto reader = VideoSampleReader::open(file, settings);
        if (const auto sample = reader->next(); sample && sample->time > trackStart) return sample->time;
    } catch (const std::exception&) {
        // A read that fails before its first picture says so itself, from the track's start.
    }
    return trackStart;
}

}  // namespace reading

MediaTime firstPictureTime(const std::filesystem::path& file, const VideoTrackInfo& track) {
    {
        const reading::FormatPtr format = reading::openFormat(file, true);
        if (!format || track.streamIndex < 0 || track.streamIndex >= int(format->nb_streams)) return track.timeRangeStart;
        reading::discardAllBut(format.get(), track.streamIndex);
        if (reading::firstSampleShowsFirst(format.get(), track.streamIndex, false)) return track.timeRangeStart;
    }
    return reading::firstDecodedPicture(file, track.timeRangeStart);
}

}  // namespace qm
