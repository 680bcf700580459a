#pragma once
// Reading a source movie's samples: the first video track either as stored (compressed samples
// for our own decoders) or decoded by libavcodec, and the first audio track decoded and converted
// by libswresample to the format the caller asks for.
//
// Times are on the source's own presentation time line (after edit lists, B-frames reordered),
// exactly as libavformat reports them; a track that starts after zero keeps its start, so callers
// subtract `VideoTrackInfo::timeRangeStart` (the movie writer does so for its session start).
//
// One reader serves one thread at a time. The video and the audio reader open the file
// separately, so a video feed and an audio feed may run on two threads without sharing anything.

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "platform/media/media_error.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

// A track's display transform as a 3x3 matrix in the container's fixed-point layout
// (16.16 for a, b, c, d, tx, ty; 2.30 for u, v, w), row-major: a b u / c d v / tx ty w.
using DisplayMatrix = std::array<int32_t, 9>;
inline constexpr DisplayMatrix kIdentityDisplayMatrix = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

// What the reader found out about the first video track.
struct VideoTrackInfo {
    int streamIndex = -1;
    uint32_t codecType = 0;       // FourCC, most significant byte first (container tag, else mov tag)
    int width = 0;                // coded size
    int height = 0;
    MediaTime timeRangeStart;     // start of the track (first presentation time), numeric
    MediaTime timeRangeDuration;  // length of the track; invalid when the file does not say
    // Whether that length is the track's own; else it is the container's, which may belong to a
    // longer sound.
    bool durationIsTrack = false;
    double frameRate = 0;         // average frame rate, 0 when unknown
    int32_t timeScale = 0;        // the track's own time base denominator
    DisplayMatrix transform = kIdentityDisplayMatrix;
    bool operator==(const VideoTrackInfo&) const = default;
};

// A decoded picture as the decoder gave it, not yet converted (VideoReaderSettings::deferConversion).
struct DecodedPicture;

// One video sample: the bytes as stored, or the decoded picture.
struct VideoSample {
    MediaTime time;       // presentation time (source time line)
    MediaTime duration;   // display duration; taken from the next frame's time where there is one
    std::vector<uint8_t> bytes;  // compressed mode: the sample exactly as stored
    PixelBufferRef pixels;       // decoded mode: the picture
    std::shared_ptr<const DecodedPicture> decoded;  // deferred conversion: in place of `pixels`
    int width = 0, height = 0;                      // decoded mode: the picture's size
    bool keyFrame = false;
};

struct VideoReaderSettings {
    enum class Mode {
        compressed,  // samples as stored (Hap, DXV, NotchLC): no decoding at all
        decoded,     // libavcodec on its threads, pictures in presentation order
    };
    Mode mode = Mode::decoded;
    // Decoded mode: the pixel format wanted (kPixelFormatBGRA, kPixelFormatRGBA64LE, ...), or 0 to
    // take the decoder's own picture unconverted (the per-frame step converts it later, in
    // parallel). A picture in the decoder's own format shares the decoder's memory where it can,
    // held by reference for as long as the buffer lives, so treat it as read-only. A decoder
    // format that no pixel buffer format names (NV12, 16-bit 4:4:4, ...) is converted with
    // libswscale to 'l64r' when it is deeper than 8 bits, else to 'BGRA', with the source's matrix
    // and range (the coded stream's, else its container's; BT.709 when neither says). 8-bit Y'CbCr
    // that the source marks full range comes in the JPEG formats ('j420', 'j422', 'j444'), which are
    // tagged full range.
    uint32_t pixelFormat = 0;
    // Samples that end at or before this source time are skipped (the reader seeks near it first,
    // into H.264 intra refresh to the recovery point before the one whose refresh completes by
    // then; where the decoder gives no picture for it, or a leading picture of a later key frame
    // fails, it reads again from an earlier key frame, at last from the beginning; damage elsewhere
    // fails at once). Invalid: read from the beginning.
    MediaTime start;
    // Decoder threads; 0 lets libavcodec choose from the processor count.
    int threads = 0;
    // Decoded mode: leave `pixels` empty and keep the decoder's picture in `decoded` until
    // VideoSampleReader::picture converts it, for callers that skip most samples (seeking rolls
    // forward from a keyframe and shows only the last picture).
    bool deferConversion = false;
};

class VideoSampleReader {
public:
    // Opens the file and the first video track. The file is opened as the probe opens it (local
    // files only, movie containers only, sides up to 16384): anything else has no video track.
    // Fails with MediaError naming the step ("open", "read stream info", "decoder", ...) or with
    // ConversionError::noVideoTrack.
    static std::unique_ptr<VideoSampleReader> open(const std::filesystem::path& file,
                                                   const VideoReaderSettings& settings);
    ~VideoSampleReader();
    VideoSampleReader(const VideoSampleReader&) = delete;
    VideoSampleReader& operator=(const VideoSampleReader&) = delete;

    const VideoTrackInfo& track() const;
    // The time of the last key frame at or before `time` (source time line) as the file's index
    // lists it (decoding time where it differs), or invalid when the index does not say (MPEG-TS,
    // whose index lists the packets its seeks passed, key frames or not).
    MediaTime keyFrameAtOrBefore(MediaTime time) const;

    // The next sample in presentation order, or nothing at the end of the track. A sample that
    // cannot be read or decoded throws MediaError; the reader is then failed and stays so.
    std::optional<VideoSample> next();

    // A sample's picture in the pixel format asked for: its `pixels`, or its deferred picture
    // converted now exactly as next() would have converted it (nullptr when it has neither). Only
    // for samples of this reader, on its thread; a failed conversion fails the reader as in next().
    PixelBufferRef picture(const VideoSample& sample);
    // A deferred picture converted the same way and scaled to width × height by libswscale
    // (through the scaler service, bicubic); nullptr for a sample without a deferred
    // picture or one with alpha.
    PixelBufferRef picture(const VideoSample& sample, int width, int height);

    // Whether reading has completed through a sample table: the file's index listed the track's
    // samples when it was opened and gained none while reading (QuickTime and MP4 list them all;
    // a file cut short before samples it lists fails in next()), so no sample of it was missing.
    bool readEveryListedSample() const;

    // Stops reading: later calls to next() return nothing, and one running returns nothing at
    // the next sample. Safe from any thread.
    void cancel();
    // Samples given to the decoder so far, those read again after beginning earlier included.
    // Safe from any thread.
    int64_t samplesDecoded() const;
    // Packets of the track the demuxer handed on so far, those a seek looked at to find its key
    // frame included. Safe from any thread.
    int64_t packetsRead() const;

    enum class Status { reading, completed, failed, cancelled };
    Status status() const;

    struct Impl;

private:
    explicit VideoSampleReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Where a read of the file's first video track from its start gives its first picture, on the
// source's time line: the track's start (`track` as a reader of the file found it), or later where
// its first samples give none (a stream begun mid-way or at an H.264 recovery point, HEVC pictures
// before a CRA that lack their references). Clips and conversions count from there. A file whose
// read fails before any picture keeps the track's start: that read says what fails.
MediaTime firstPictureTime(const std::filesystem::path& file, const VideoTrackInfo& track);

// Sample formats of converted audio.
enum class AudioSampleFormat {
    float32,        // 32-bit float, interleaved
    float32Planar,  // 32-bit float, one plane per channel
    int16,          // signed 16-bit, interleaved
    int24,          // signed 24-bit held in the upper bits of 32-bit words, interleaved
};

// Bytes of one sample of one channel.
int bytesPerSample(AudioSampleFormat format);
bool isPlanar(AudioSampleFormat format);

struct AudioFormat {
    int sampleRate = 48000;
    int channels = 2;
    AudioSampleFormat sampleFormat = AudioSampleFormat::float32;
    bool operator==(const AudioFormat&) const = default;
};

// A run of converted audio frames.
struct AudioSampleBuffer {
    MediaTime time;          // presentation time of the first frame (source time line)
    int frameCount = 0;      // samples per channel
    AudioFormat format;
    // One plane for interleaved formats, `channels` planes for planar ones; each holds
    // frameCount x bytesPerSample (x channels when interleaved) bytes.
    std::vector<std::vector<uint8_t>> planes;
    MediaTime duration() const { return MediaTime::make(frameCount, format.sampleRate); }
};

// One channel of a track written over another before any remix (an LTC channel replaced by a
// programme channel).
struct ChannelCopy {
    int target = 0;
    int source = 1;
    bool operator==(const ChannelCopy&) const = default;
};

// What the reader found out about the first audio track.
struct AudioTrackInfo {
    int streamIndex = -1;
    uint32_t codecType = 0;
    int sampleRate = 0;  // 0 when the file does not say
    int channels = 0;
    bool operator==(const AudioTrackInfo&) const = default;
};

class AudioSampleReader {
public:
    // Every audio track of the file, in the order MediaAsset lists them (empty when the file has
    // none, or is not a movie or audio container). Library failures throw MediaError.
    static std::vector<AudioTrackInfo> probeTracks(const std::filesystem::path& file);

    // The sound of the file's n-th audio track (counted as probeTracks lists them), or nullptr
    // when there is no such track. Buffers hold 32-bit float interleaved at the track's own rate
    // and channel count: those of its first decoded frame; frames that change rate, layout or
    // format later are converted to it (the converter is flushed and made anew). Each buffer's
    // time comes from the stream's timestamps, and the delivered sound runs on without gaps: a
    // buffer that starts over 2 ms after the sound delivered so far is preceded by silence (a jump
    // of over an hour fails the read), one that starts over 2 ms before it loses the overlap.
    // Packets the decoder refuses leave such a gap. Library failures throw MediaError.
    static std::unique_ptr<AudioSampleReader> openTrack(const std::filesystem::path& file, int audioTrack);
    // The same track converted to `output` (float32 only), times and gaps as above: `copy` is
    // applied to the source channels first; a mono track plays at unity on every output channel,
    // the same channel count passes unchanged, other counts take libswresample's remix. Reading
    // starts a little before `start` (stream time), so that the sound from `start` on is whole,
    // or at the beginning when it is invalid.
    static std::unique_ptr<AudioSampleReader> openTrack(const std::filesystem::path& file, int audioTrack,
                                                        const AudioFormat& output, std::optional<ChannelCopy> copy,
                                                        MediaTime start = MediaTime::invalid());

    // The first audio track of the file, or nullptr when the file has none (files the probe does
    // not read as movie or audio containers have none). Library failures
    // throw MediaError. The output keeps the source's channel layout when the channel count is
    // unchanged; otherwise the channels are remixed (downmix to stereo or mono) with a matrix
    // scaled so that no output channel can exceed full scale. Times, gaps and `start` as in
    // openTrack, read strictly (setStrict) but for the file's end, which the pictures' reading
    // names where it is cut.
    static std::unique_ptr<AudioSampleReader> open(const std::filesystem::path& file, const AudioFormat& output,
                                                   MediaTime start = MediaTime::invalid());
    // The source track's rate and channel count without opening a decoder (nullopt: no audio).
    static std::optional<AudioTrackInfo> probe(const std::filesystem::path& file);

    ~AudioSampleReader();
    AudioSampleReader(const AudioSampleReader&) = delete;
    AudioSampleReader& operator=(const AudioSampleReader&) = delete;

    const AudioTrackInfo& track() const;
    const AudioFormat& outputFormat() const;

    // The next buffer of converted audio, or nothing at the end. A packet that cannot be read or
    // decoded throws MediaError.
    std::optional<AudioSampleBuffer> next();
    void cancel();

    // Track reading (openTrack): sound the file no longer holds or cannot decode, from `start` on,
    // fails next() with MediaError ("read audio"): a packet the decoder refuses or says on its log
    // is damaged, or the demuxer found corrupt; bytes a raw ADTS demuxer passed over; a gap after
    // bytes a Matroska demuxer passed over (its blocks follow on unless a cluster was unreadable);
    // and an end inside the last packet,
    // in a Matroska file that stops inside an element, or more than two codec frames before the
    // track's stated length (one estimated from the bit rate states none).
    void setStrict(bool on);
    // Where the sound delivered so far ends (source time line), so where a failed read stopped:
    // before any sound, where it was wanted from, or the track's start.
    MediaTime position() const;
    // Where the track's sound breaks off when read strictly from two seconds before `end` (its
    // probed length) to the file's end, on the stream's time line: nothing when it ends whole.
    // Library failures opening it throw MediaError. `why`, where given, takes the words for it.
    static std::optional<MediaTime> breaksOff(const std::filesystem::path& file, int audioTrack, MediaTime end,
                                              std::string* why = nullptr);
    // Whether the track's sound, read from two seconds before `end`, stops where the demuxer gives
    // up on bytes it can't read before the file's end: damaged there, not cut.
    static bool stopsAtDamage(const std::filesystem::path& file, int audioTrack, MediaTime end);

    struct Impl;

private:
    explicit AudioSampleReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm
