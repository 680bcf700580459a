#pragma once
// Writing a movie with libavformat (QuickTime or MPEG-4): one video input, encoded by libavcodec
// (ProRes, H.264, HEVC) or passed through as compressed samples (Hap, DXV3), and at most one audio
// input (AAC or little-endian PCM).
//
// The video and the audio input may be fed from two threads at once; the muxer is guarded by one
// lock and each input has its own encoder. Neither input runs more than about a second ahead of
// the other: an input that is ahead reports "not ready" until the other catches up or finishes,
// so the interleaving queue stays short.
//
// Times given to the appends are source times; the output starts at the session start time
// (output time = source time - session start), so every output begins at 0.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/asset_reader.h"
#include "platform/media/media_error.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

enum class MovieFileType { quickTime, mpeg4 };

struct MovieVideoSettings {
    // The sample description FourCC: 'apco' 'apcs' 'apcn' 'apch' 'ap4h' 'ap4x' (ProRes),
    // 'avc1' (H.264), 'hvc1' (HEVC), 'muxa' (HEVC with an alpha layer, written as 'hvc1' with
    // depth 32) are encoded from pixel buffers; 'Hap1' 'Hap5' 'HapY' 'HapM'
    // 'DXD3' are compressed samples passed through unchanged.
    uint32_t codecType = 0;
    int width = 0;
    int height = 0;
    // Media time scale of the track (the source's natural time scale); 0 picks 600.
    int32_t timeScale = 0;
    double expectedFrameRate = 0;  // rate control and the muxer's nominal rate; 0 when unknown
    // H.264 / HEVC only: average bit rate in bit/s (0 = encoder default; at least
    // kMinimumAverageBitRate otherwise), maximum key-frame interval in frames (0 = encoder default).
    int64_t averageBitRate = 0;
    int maxKeyFrameInterval = 0;
    // HEVC with alpha only: the quality, 0...1 (x265 codes the alpha layer at the colour's quantiser).
    double quality = 0.65;
    // Pass-through only: the compressor name shown by players (e.g. "Hap Q") and the depth
    // (24, or 32 with alpha).
    std::string formatName;
    int depth = 24;
    DisplayMatrix transform = kIdentityDisplayMatrix;
};

struct MovieAudioSettings {
    enum class Codec { pcm16, pcm24, aac };
    Codec codec = Codec::pcm16;
    int sampleRate = 48000;
    int channels = 2;
    int64_t bitRate = 0;          // AAC only; 0 = encoder default
    bool discreteLayout = false;  // channels in order without speaker positions (more than two)
};

class PartialFile;

class MovieWriter {
public:
    enum class Input { video, audio };
    enum class Status { unknown, writing, completed, failed, cancelled };

    // Whether the codec type is encoded from pixel buffers / passed through as compressed samples.
    static bool isEncodedCodecType(uint32_t codecType);
    static bool isPassThroughCodecType(uint32_t codecType);
    // The pixel format the encoder of a codec type takes; appended buffers must be in it:
    // kPixelFormatYUV422P10 for ProRes 422, kPixelFormatYUVA444P10 for ProRes 4444 / 4444 XQ,
    // kPixelFormatYUV420P for H.264 and HEVC, kPixelFormatYUVA420P for HEVC with alpha. 0 for other
    // codec types.
    static uint32_t encoderPixelFormat(uint32_t codecType);
    // The smallest width and height the encoder of a codec type takes: 16 for HEVC, with or
    // without alpha (x265 codes at least one 16-pixel coding tree unit each way), else 1.
    static int minimumPictureSide(uint32_t codecType);
    // The lowest average bit rate H.264 and HEVC are encoded at: libavcodec hands libx264 and
    // libx265 whole kbit/s, and libx264 refuses 0. A lower requested rate is raised to it.
    static constexpr int64_t kMinimumAverageBitRate = 1000;
    // Whether libavcodec here offers the ProRes 4444 XQ profile.
    static bool proRes4444XQAvailable();

    // Prepares a writer for `file`. The movie is written under a hidden, locked temporary name
    // beside it and renamed over `file` (an earlier movie) only by finishWriting(); a failed or
    // cancelled movie removes its temporary file and leaves `file` as it was. startWriting()
    // first removes the temporary files killed runs left for `file`. A folder is never replaced
    // (startWriting() then fails with a clear error).
    static std::unique_ptr<MovieWriter> create(const std::filesystem::path& file, MovieFileType type);
    // How finishWriting() puts the complete hidden file under its name instead of renaming it over
    // `file`: returns 0 or the errno (PartialFile::publishNew and retarget serve it).
    void setPublisher(std::function<int(PartialFile&)> publish);
    // Cancels writing (removing the partial file) when neither finished nor cancelled.
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Before startWriting(). The video input throws MediaError("video input", ...) when the codec
    // type is unknown, the picture is smaller than its encoder takes (the text names both sizes)
    // or its encoder cannot be opened with these settings. The audio input returns
    // false when the container cannot carry that audio (the movie is then written without it) and
    // throws MediaError("audio input", ...) for every other failure, its encoder's included.
    void addVideoInput(const MovieVideoSettings& settings);
    bool addAudioInput(const MovieAudioSettings& settings);

    // Opens the file and writes the header. Throws MediaError ("start (...)").
    void startWriting();
    // Source time that becomes time 0 of the output; appends before it are dropped.
    void startSession(MediaTime sourceTime);

    // Readiness of one input: false while it is more than about a second ahead of the other
    // (unfinished) input, or once it is finished or the writer has failed/cancelled.
    bool isReadyForMoreMediaData(Input input) const;
    // Waits until the input is ready, the writer is no longer writing, or the timeout passes;
    // returns isReadyForMoreMediaData(input).
    bool waitUntilReady(Input input, std::chrono::milliseconds timeout) const;

    // Appends one picture at its presentation time (and display duration; invalid: the previous
    // frame's or 1 / expected rate). The buffer must be width x height in encoderPixelFormat();
    // it is kept (not copied) until the encoder is done with it. Throws MediaError; the writer is
    // then failed.
    void appendPixelBuffer(const PixelBufferRef& buffer, MediaTime time, MediaTime duration = MediaTime::invalid());
    // Appends one compressed sample (pass-through inputs), bytes unchanged.
    void appendCompressedSample(const std::vector<uint8_t>& bytes, MediaTime time,
                                MediaTime duration = MediaTime::invalid());
    // Appends audio frames of any AudioSampleFormat at the input's rate and channel count; they
    // are converted to the encoder's sample format and, for AAC, cut into 1024-sample frames.
    void appendAudio(const AudioSampleBuffer& samples);

    // No more data for this input. Idempotent.
    void markAsFinished(Input input);

    // Flushes the encoders, writes the trailer and closes the file. Throws MediaError
    // ("finish (...)"); the status is then failed and the file is left as it is (call
    // cancelWriting() to remove it).
    void finishWriting();
    // Abandons the movie: closes and removes the partial file. Idempotent; safe after a failure
    // or after finishWriting() failed. Call it once the feeding threads have stopped appending.
    void cancelWriting();

    Status status() const;
    // The first failure's text ("" when none).
    std::string errorText() const;
    // Video frames / audio frames (samples per channel) accepted so far.
    int64_t videoFramesAppended() const;
    int64_t audioFramesAppended() const;

    struct Impl;

private:
    explicit MovieWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm
