#pragma once
// A source file probed once: its container and the facts of each track, read through
// libavformat/libavcodec; the file is closed again before open() returns. Only the movie
// containers (QuickTime/MP4, Matroska/WebM, AVI, MXF, MPEG-TS) report video tracks; the common
// audio file types report their audio. Anything else opens with no tracks at all.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

enum class TrackKind { video, audio, other };

// What a track's first format description says: codec FourCC (most significant byte first),
// compressor name ("encoder" metadata), bit depth and coded size.
struct VideoFormatDescription {
    uint32_t codecType = 0;
    int width = 0;
    int height = 0;
    std::optional<std::string> formatName;
    std::optional<int> depth;
    bool operator==(const VideoFormatDescription&) const = default;
};

struct TrackInfo {
    int streamIndex = -1;
    TrackKind kind = TrackKind::other;
    uint32_t codecType = 0;          // FourCC, 0 when none is known
    std::string codecId;             // the library's codec name ("h264", "prores", "hap", ...)
    bool decoderAvailable = false;   // libavcodec has a decoder for it
    std::optional<std::string> formatName;
    std::optional<int> depth;
    // Video
    int width = 0;
    int height = 0;
    double nominalFrameRate = 0;     // frames per second: stated, else measured; 0 when unknown
    ColorTags colorTags;
    // Time: the track's own length and first timestamp, and its time base denominator.
    MediaTime duration;
    MediaTime startTime;
    int32_t naturalTimeScale = 0;
    // Audio
    int sampleRate = 0;
    int channels = 0;
    std::string channelLayout;       // e.g. "stereo", "5.1(side)"
    // The codec's opening samples that its decoder drops but the start time still counts (Opus in
    // Matroska and WebM): the first sample heard lies at startTime + priming.
    MediaTime priming = MediaTime::zero();

    VideoFormatDescription formatDescription() const { return {codecType, width, height, formatName, depth}; }
};

class MediaAsset {
public:
    static constexpr int kMaxSide = 16384;

    // Opens and probes the file. Throws MediaError naming the failed step ("open", "read stream
    // info", "video size") with the library's text.
    static std::shared_ptr<MediaAsset> open(const std::filesystem::path& path);

    ~MediaAsset();
    MediaAsset(const MediaAsset&) = delete;
    MediaAsset& operator=(const MediaAsset&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The demuxer that recognised the file ("mov,mp4,m4a,3gp,3g2,mj2", "wav", "png_pipe", ...).
    const std::string& containerName() const { return containerName_; }
    const std::vector<TrackInfo>& tracks() const { return tracks_; }
    std::vector<TrackInfo> tracks(TrackKind kind) const;
    // The container's duration (indefinite when it does not say).
    const MediaTime& duration() const { return duration_; }
    // Damage the probe found that a reading would pass over without a word (raw ADTS whose frames
    // stop before the file's end): a probe refuses the file with it; a reading finds it in place.
    const std::optional<std::string>& damage() const { return damage_; }

private:
    MediaAsset();
    std::filesystem::path path_;
    std::string containerName_;
    std::vector<TrackInfo> tracks_;
    MediaTime duration_;
    std::optional<std::string> damage_;
};

// Hap's variant FourCC ("Hap1", "Hap5", "HapY", "HapA", "HapM", "Hap7") from the first bytes of
// a frame; 0 when they are not a Hap section header.
uint32_t hapCodecTypeFromFrame(const uint8_t* data, size_t size);

// For a file in a movie container that is recognised but not read (FLV, MPEG-PS, ...), or a raw
// sound or video stream not taken (AC-3, E-AC-3, DTS, WavPack, H.264, HEVC), the reading error naming that kind, so that it is not
// refused as a file without video; nothing for any other file. `demuxerName` as MediaAsset::containerName() gives it.
std::optional<ConversionError> unreadMovieContainer(std::string_view demuxerName);

}  // namespace qm
