#pragma once
// One conversion run: a source movie, or a stream of frames a caller renders, into a movie file
// or an image-sequence folder, with audio, progress, cancellation and typed errors.
//
// The run entries block until the output is complete; callers run them on a worker thread and
// stop them through cancellation(). Frames are processed in parallel batches; a movie's video
// and audio feeds run on two threads of their own.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "codecs/frame_codec.h"
#include "core/partial_file.h"
#include "engine/conversion_settings.h"
#include "engine/frame_batch.h"
#include "engine/media_info.h"
#include "engine/pixel_transfer.h"
#include "engine/transcode_rules.h"
#include "engine/transcode_sync.h"
#include "platform/media/asset_reader.h"
#include "platform/media/image_sequence_writer.h"
#include "platform/media/media_time.h"
#include "platform/media/movie_writer.h"

namespace qm {

// A supplier of converted audio for a rendered export (the caller's mix), in the reader format
// of Transcoder::stereoAudioSettings. Pulled on the writer's audio thread.
class AudioBufferSource {
public:
    virtual ~AudioBufferSource() = default;
    // The next run of samples, or nothing at the end.
    virtual std::optional<AudioSampleBuffer> next() = 0;
};

// Serves an opened audio reader as an AudioBufferSource. A read that fails throws
// ConversionError::readerFailed naming the time in the file where the sound stops, counted from
// `origin` (the source time the movie starts at).
class AudioReaderSource : public AudioBufferSource {
public:
    explicit AudioReaderSource(std::unique_ptr<AudioSampleReader> reader, MediaTime origin = MediaTime::zero())
        : reader_(std::move(reader)), origin_(origin) {}
    std::optional<AudioSampleBuffer> next() override;

private:
    std::unique_ptr<AudioSampleReader> reader_;
    MediaTime origin_;
};

class Transcoder {
public:
    using SourceFrame = qm::SourceFrame;
    using RawFrame = qm::RawFrame;
    using ProcessedFrame = qm::ProcessedFrame;

    // Does not fail; nothing is opened until a run starts. A movie replaces only the file that
    // stands at the destination now.
    Transcoder(std::filesystem::path source, std::filesystem::path destination, MediaInfo info,
               ConversionSettings settings);
    ~Transcoder();
    Transcoder(const Transcoder&) = delete;
    Transcoder& operator=(const Transcoder&) = delete;

    // Converts the source movie. Throws ConversionError (or MediaError from the media layer).
    // Progress arrives on the writer's threads.
    void run(const ProgressCallback& progress);

    // Converts frames the caller renders (a RenderFeeder), with an optional stereo mix read in
    // the reader format of stereoAudioSettings(). Progress reaches the caller through the feeder.
    void runRendered(FrameBatchProvider& feeder, AudioBufferSource* audio = nullptr);

    // Reader format and writer settings of a rendered stereo mix at 48 kHz.
    static std::pair<AudioFormat, MovieAudioSettings> stereoAudioSettings(OutputFormat format);

    // Shared stop request of this run; once set it stays set.
    CancellationFlag& cancellation() const { return *cancellation_; }

    const std::filesystem::path& source() const { return source_; }
    const std::filesystem::path& destination() const { return destination_; }
    // Where the output went: a movie's name as it took it (in its folder wherever that was moved
    // meanwhile), else the destination.
    std::filesystem::path output() const { return published_.value_or(destination_); }
    const MediaInfo& info() const { return info_; }
    const ConversionSettings& settings() const { return settings_; }
    int outWidth() const { return outWidth_; }
    int outHeight() const { return outHeight_; }
    // Working pixel format of output frames: 'BGRA', or 'l64r' for deep outputs of deep sources.
    uint32_t pixelFormat() const { return pixelFormat_; }
    // The pixel format processed frames are delivered in: the movie encoder's input format, or
    // pixelFormat() for GPU codecs and image sequences.
    uint32_t deliveryPixelFormat() const { return deliveryPixelFormat_; }

    // Makes the decoder, encoder and pools; called once before frames flow.
    void prepareCodecs();
    // Lets go of what prepareCodecs() made (pools, scaler sessions, encoder and decoder working
    // memory) and hands the freed memory back to the system. The runs call it when they end,
    // however they end.
    void releaseCodecs();
    // Processes one frame: decode, scale and convert, then encode, write as an image file, or
    // hand on as pixels. The frame's raw picture or bytes are let go as soon as they are used.
    // Safe to call from many threads at once after prepareCodecs().
    ProcessedFrame processFrame(SourceFrame& frame, const FrameFolder& folder) const;
    // Bytes a frame holds while its step runs: its picture or sample, and the pictures the step
    // decodes and converts it into. After prepareCodecs().
    int64_t stepBytes(const RawFrame& raw) const;

    const CompressedFrameEncoder* frameEncoder() const { return frameEncoder_.get(); }
    const CompressedFrameDecoder* frameDecoder() const { return frameDecoder_.get(); }

    // Batch size of a source run (see transcodeBatchSize).
    int batchSize() const;

    // Called when a run ends and once its frames have all landed: an image sequence keeps its
    // named frames, from the first up to the first missing one; frames that waited hidden for a
    // missing one go, and so does a folder that never got its first frame.
    void endSequence();
    // For a rendered run that must leave nothing after all: removes the frames the last run named
    // and the folder it made for them, through that folder's own descriptor (never by its name
    // looked up again), wherever the folder was moved.
    void discardSequence();

private:
    // Refuses a format nothing here writes, and a picture smaller than its encoder takes, before
    // anything is read.
    void checkWritable() const;
    bool needsConversion(const PixelBuffer& picture) const;
    MovieVideoSettings videoOutputSettings() const;
    void runMovie(FrameBatchProvider& feeder, AudioBufferSource* audio, const std::optional<MovieAudioSettings>& audioSettings,
                  MediaTime startTime, const DisplayMatrix& transform);
    void writeImageSequence(FrameBatchProvider& feeder);
    std::filesystem::path sequenceFolder() const;

    std::filesystem::path source_;
    std::filesystem::path destination_;
    // The file at the destination when the run was given its name, which its caller chose to
    // replace (a save panel's answer); anything else that stands there when the movie is complete
    // stays, and the movie takes the next free name (publishOutput).
    std::optional<FileId> replaceable_;
    std::optional<std::filesystem::path> published_;
    // A sequence is written into a folder at its destination only when that stood there already.
    bool sequenceFolderExisted_ = false;
    MediaInfo info_;
    ConversionSettings settings_;
    std::shared_ptr<CancellationFlag> cancellation_;
    int outWidth_ = 2;
    int outHeight_ = 2;
    uint32_t pixelFormat_ = kPixelFormatBGRA;
    uint32_t deliveryPixelFormat_ = kPixelFormatBGRA;
    std::unique_ptr<PixelTransfer> transfer_;
    PixelBufferPoolRef decodePool_;
    PixelBufferPoolRef outputPool_;
    std::unique_ptr<CompressedFrameEncoder> frameEncoder_;
    std::unique_ptr<CompressedFrameDecoder> frameDecoder_;
    std::unique_ptr<ImageSequenceWriter> sequenceWriter_;
    std::unique_ptr<BackgroundWork> sequenceNaming_;  // syncs and names the frames while others encode
    std::unique_ptr<PartialFolder> sequenceMade_;     // the folder the last run made and named frames in
    int64_t sequenceNamed_ = 0;                       // frames 0 ..< this have their names there
};

}  // namespace qm
