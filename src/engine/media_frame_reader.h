#pragma once
// The decoded picture of one source file at a requested time, for callers that move mostly
// forwards in small steps (the editor's renderer, the colour picker). Forward requests reuse one
// open reader with one sample of lookahead; a jump backwards, or one more than two seconds forwards
// past a key frame, reopens it just before the new time. Not safe for concurrent use: one caller at a time.

#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "codecs/frame_codec.h"
#include "engine/media_info.h"
#include "platform/media/asset_reader.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

class MediaFrameReader {
public:
    // Fails only when the pixel-buffer pool cannot be made.
    MediaFrameReader(std::filesystem::path url, MediaInfo info);
    ~MediaFrameReader();
    MediaFrameReader(const MediaFrameReader&) = delete;
    MediaFrameReader& operator=(const MediaFrameReader&) = delete;

    // The 'BGRA' picture shown at `seconds` from the start of the media (the frame whose interval
    // holds the time, i.e. the nearest frame start), or nothing when the track has no frame there.
    // Less than two seconds past the last frame, that frame is shown however the time is reached.
    // Callers only read the buffer. Throws noVideoTrack, readerFailed, MediaError or the decoder's
    // error, at the time of the sample that failed (the one before it still shows), and the same
    // error again until a jump reopens the reader; the last good frame is kept after a failure.
    PixelBufferRef frame(double seconds);
    // The same picture scaled to width × height, for callers that draw it smaller (previews).
    // Only pictures without alpha that the platform decodes at the info's size are scaled; any
    // other comes at its own size, so callers look at the size they got.
    PixelBufferRef frame(double seconds, int width, int height);

    // Reads and converts the sample after the current one at width × height (0 × 0: its own
    // size), so that a later frame() reaching that sample at that size takes it ready: for callers
    // that show one frame after another and can do this while the current one is on screen.
    // Failures are left for that frame() to meet. Not concurrently with frame().
    void prepareNext(int width, int height);

    // Whether the last frame() came without the picture it asked for because the track's samples
    // ran out before `seconds` (the time it was given) though the track's length says it runs on:
    // a file cut short. Times past the track's end are not counted, nor a track whose length only
    // the container gives (a picture may end before the sound), nor one whose sample table was read
    // to its end (its last sample is held to the track's end; a file cut short before samples it
    // lists fails in frame() instead).
    bool endedEarly(double seconds) const;

    const MediaInfo& info() const { return info_; }
    // Times the reader was (re)opened, for callers that watch seeking.
    int openCount() const { return openCount_; }

private:
    void openReader(double seconds);
    // Rolling on to `target` (track seconds) decodes no more than a reopening would.
    bool noKeyFrameBetween(double target) const;
    // The next sample with content, or nothing at the end.
    std::optional<VideoSample> readSample();
    // The next sample with content, kept as lookahead; false at the end.
    bool fillLookahead();
    bool scalable(const VideoSample& sample) const;
    PixelBufferRef convert(VideoSample& sample, int width, int height);

    std::filesystem::path url_;
    MediaInfo info_;
    std::unique_ptr<CompressedFrameDecoder> decoder_;
    PixelBufferPoolRef pool_;
    bool trackKnown_ = false;
    double trackStart_ = 0;
    MediaTime length_;  // of the track from trackStart_; invalid when the file does not say
    bool laterFirstPicture_ = false;  // the first samples give no picture
    std::unique_ptr<VideoSampleReader> reader_;
    std::optional<VideoSample> lookahead_;
    std::optional<VideoSample> following_;  // read by prepareNext, after lookahead_
    double currentTime_ = -std::numeric_limits<double>::infinity();
    // The sample shown at currentTime_, with its picture at its own size and at the last size asked for.
    std::optional<VideoSample> currentSample_;
    PixelBufferRef currentFrame_;
    PixelBufferRef scaledFrame_;
    bool unscaled_ = false;  // the current sample came at its own size when asked for a smaller one
    // prepareNext's picture: the sample at preparedTime_, asked for at preparedSize_.
    PixelBufferRef prepared_;
    MediaTime preparedTime_;
    std::pair<int, int> preparedSize_;
    bool exhausted_ = false;
    std::exception_ptr failure_;  // what failed the reader, until it is opened again
    int openCount_ = 0;
};

}  // namespace qm
