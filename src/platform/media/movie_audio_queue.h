#pragma once
// The audio side of a movie being written: appended samples converted to the encoder's sample
// format (same rate and channels, so no remixing) and cut into the frames the encoder takes,
// fixed-size where it needs them (AAC), numbered on the output time line from zero.

#include <cstdint>
#include <functional>
#include <memory>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "platform/media/asset_reader.h"
#include "platform/media/ffmpeg_internal.h"
#include "platform/media/movie_writer.h"

struct AVAudioFifo;
struct AVCodecContext;

namespace qm {

// The opened encoder for the settings, or nullptr when the container cannot carry that audio at
// all. Throws MediaError("audio input", ...).
ffmpeg::CodecContextPtr openAudioEncoder(const MovieAudioSettings& settings, const AVOutputFormat& container);

class MovieAudioQueue {
public:
    // `encoder` is opened and outlives the queue; `send` takes each frame in order.
    // Throws MediaError("audio input", ...).
    MovieAudioQueue(const AVCodecContext& encoder, std::function<void(AVFrame*)> send);
    ~MovieAudioQueue();
    MovieAudioQueue(const MovieAudioQueue&) = delete;
    MovieAudioQueue& operator=(const MovieAudioQueue&) = delete;

    // Queues the samples; the first append places them at their time after `sessionStart`, after
    // silence from the session's start, and audio before the session is cut off. Returns how many samples were taken (0: none lay in
    // the session). Throws MediaError("audio append", ...).
    int append(const AudioSampleBuffer& samples, const MediaTime& sessionStart);
    // Output samples placed so far, those still waiting for a whole frame included.
    int64_t position() const;
    // Sends what waits for a whole frame as a last, shorter one.
    void flush();

private:
    void encode(uint8_t** data, int count);
    void silence(int64_t count);
    ffmpeg::FramePtr frame(int count);
    void pull(int count);

    const AVCodecContext& encoder_;
    std::function<void(AVFrame*)> send_;
    struct FifoFree {
        void operator()(AVAudioFifo* fifo) const;
    };
    std::unique_ptr<AVAudioFifo, FifoFree> fifo_;
    ffmpeg::SwrPtr swr_;
    AVSampleFormat swrInput_ = AV_SAMPLE_FMT_NONE;
    bool started_ = false;
    int64_t nextPts_ = 0;
};

}  // namespace qm
