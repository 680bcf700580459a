#include "platform/media/movie_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "core/partial_file.h"
#include "platform/media/ffmpeg_internal.h"
#include "platform/media/hevc_alpha_encoder.h"
#include "platform/media/movie_audio_queue.h"
#include "platform/media/movie_writer_codecs.h"
#include "platform/media/quicktime_channel_layout.h"

namespace qm {

namespace {

constexpr double kInterleaveWindowSeconds = 1.0;

using CodecPtr = ffmpeg::CodecContextPtr;
using PacketPtr = ffmpeg::PacketPtr;
using FramePtr = ffmpeg::FramePtr;

void releasePixelBuffer(void* opaque, uint8_t*) { delete static_cast<PixelBufferRef*>(opaque); }

// The muxer writes through the descriptor the hidden file was created and locked with, never
// through its name, which another user may swap for a link in a shared folder.
int writeToDescriptor(void* opaque, uint8_t* bytes, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
        done += static_cast<int>(n);
    }
    return size;
}

int64_t seekDescriptor(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

// Flushes and frees the muxer's output over the descriptor; returns its first error or 0. The
// descriptor stays open.
int closeDescriptorOutput(AVIOContext*& io) {
    if (io == nullptr) return 0;
    avio_flush(io);
    const int error = io->error;
    av_freep(&io->buffer);
    avio_context_free(&io);
    return error;
}

std::string pictureTooSmallText(uint32_t codecType, int width, int height) {
    return std::string(codecType == kCodecTypeHevcAlpha ? "HEVC with alpha" : "HEVC") + " needs pictures of at least " +
           std::to_string(MovieWriter::minimumPictureSide(codecType)) + " × " +
           std::to_string(MovieWriter::minimumPictureSide(codecType)) + " pixels, not " + std::to_string(width) +
           " × " + std::to_string(height);
}

void setBT709(AVCodecContext* ctx) {
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;
    ctx->colorspace = AVCOL_SPC_BT709;
}

}  // namespace

struct MovieWriter::Impl {
    std::filesystem::path file;
    // The movie is written under this hidden name beside `file` and renamed only once complete,
    // so that a killed run never leaves a movie without its index under the name the user chose.
    std::unique_ptr<PartialFile> temporary;
    std::function<int(PartialFile&)> publisher;  // how it takes its name (else renamed over `file`)
    int descriptor = -1;  // the temporary's, for the muxer's output
    MovieFileType type = MovieFileType::quickTime;
    AVFormatContext* format = nullptr;
    bool fileOpen = false;
    bool headerWritten = false;

    // Video
    bool hasVideo = false;
    bool videoEncoded = false;
    MovieVideoSettings video;
    CodecPtr videoCodec;
    std::unique_ptr<HevcAlphaEncoder> alphaEncoder;  // HEVC with alpha instead of videoCodec
    AVStream* videoStream = nullptr;
    uint32_t videoPixelFormat = 0;
    int64_t lastVideoPts = AV_NOPTS_VALUE;
    int64_t lastVideoDuration = 0;
    std::map<int64_t, int64_t> videoDurations;  // pts -> duration, for packets leaving the encoder
    std::atomic<int64_t> videoFrames{0};

    // Audio
    bool hasAudio = false;
    MovieAudioSettings audio;
    CodecPtr audioCodec;
    AVStream* audioStream = nullptr;
    std::unique_ptr<MovieAudioQueue> audioQueue;
    std::atomic<int64_t> audioFrames{0};

    MediaTime sessionStart = MediaTime::zero();

    // Muxer: one lock around every call into the format context.
    std::mutex muxMutex;

    // State shared by the two feeding threads.
    mutable std::mutex stateMutex;
    mutable std::condition_variable stateChanged;
    Status status = Status::unknown;
    std::string error;
    bool videoFinished = false;
    bool audioFinished = false;
    double videoPosition = 0;  // seconds of output accepted so far
    double audioPosition = 0;

    ~Impl() { closeAll(); }

    void closeAll() {
        videoCodec.reset();
        alphaEncoder.reset();
        audioQueue.reset();
        audioCodec.reset();
        if (format != nullptr) {
            if (fileOpen) closeDescriptorOutput(format->pb);
            fileOpen = false;
            avformat_free_context(format);
            format = nullptr;
        }
    }

    // Records the first failure and wakes waiting feeders; returns the error to throw. A disk
    // that is full (or a quota met) or read-only is told with the movie's name, whatever step met
    // it; a file-size limit keeps naming the step, which says what the file could not hold.
    MediaError failWith(MediaError e) {
        for (const int refused : {ENOSPC, EDQUOT, EROFS})
            if (e.code() == AVERROR(refused)) e = namingMovie(refused);
        {
            std::lock_guard lock(stateMutex);
            if (status == Status::writing || status == Status::unknown) {
                status = Status::failed;
                error = e.what();
            }
        }
        stateChanged.notify_all();
        return e;
    }

    // The system's reason, told as the movie's: "Show.mov (Read-only file system)".
    MediaError namingMovie(int error) const {
        return MediaError(file.filename().string(), std::generic_category().message(error), AVERROR(error));
    }

    void requireWriting(const char* step) {
        std::lock_guard lock(stateMutex);
        if (status != Status::writing)
            throw MediaError(step, status == Status::failed ? error : std::string("the writer is not writing"));
    }

    bool readyLocked(Input input) const {
        if (status != Status::writing) return false;
        const bool isVideo = input == Input::video;
        if (isVideo ? (!hasVideo || videoFinished) : (!hasAudio || audioFinished)) return false;
        const bool otherActive = isVideo ? (hasAudio && !audioFinished) : (hasVideo && !videoFinished);
        if (!otherActive) return true;
        const double mine = isVideo ? videoPosition : audioPosition;
        const double other = isVideo ? audioPosition : videoPosition;
        return mine <= other + kInterleaveWindowSeconds;
    }

    void advance(Input input, double position) {
        {
            std::lock_guard lock(stateMutex);
            double& p = input == Input::video ? videoPosition : audioPosition;
            p = std::max(p, position);
        }
        stateChanged.notify_all();
    }

    void writePacket(AVPacket* pkt, const char* step) {
        int rc;
        {
            std::lock_guard lock(muxMutex);
            rc = av_interleaved_write_frame(format, pkt);
        }
        if (rc < 0) throw failWith(MediaError::fromCode(step, rc));
    }

    // Takes every packet the encoder has ready and hands it to the muxer.
    void drain(AVCodecContext* ctx, AVStream* st, bool isVideo, const char* step) {
        PacketPtr pkt = ffmpeg::allocPacket(step);
        for (;;) {
            const int rc = avcodec_receive_packet(ctx, pkt.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) throw failWith(MediaError::fromCode(step, rc));
            if (isVideo && pkt->duration <= 0) {
                auto it = videoDurations.find(pkt->pts);
                if (it != videoDurations.end()) pkt->duration = it->second;
            }
            if (isVideo) videoDurations.erase(pkt->pts);
            av_packet_rescale_ts(pkt.get(), ctx->time_base, st->time_base);
            pkt->stream_index = st->index;
            writePacket(pkt.get(), step);
        }
    }

    // One compressed video sample (timestamps in video.timeScale ticks) to the muxer: passed-through
    // samples and the HEVC alpha encoder's packets alike.
    void writeVideoSample(const std::vector<uint8_t>& bytes, int64_t pts, int64_t dts, int64_t duration, bool key,
                          const char* step) {
        if (bytes.size() > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
            throw failWith(MediaError(step, "a sample is too large"));
        PacketPtr pkt = ffmpeg::allocPacket(step);
        const int rc = av_new_packet(pkt.get(), static_cast<int>(bytes.size()));
        if (rc < 0) throw failWith(MediaError::fromCode(step, rc));
        std::memcpy(pkt->data, bytes.data(), bytes.size());
        pkt->pts = pts;
        pkt->dts = dts;
        pkt->duration = duration;
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(pkt.get(), AVRational{1, video.timeScale}, videoStream->time_base);
        pkt->stream_index = videoStream->index;
        writePacket(pkt.get(), step);
    }

    void writeAlphaPackets(const std::vector<HevcAlphaPacket>& packets, const char* step) {
        for (const HevcAlphaPacket& p : packets) {
            int64_t duration = 0;
            if (auto it = videoDurations.find(p.pts); it != videoDurations.end()) {
                duration = it->second;
                videoDurations.erase(it);
            }
            writeVideoSample(p.data, p.pts, p.dts, duration, p.key, step);
        }
    }

    // The video time base's timestamp of a source time; -1 when it lies before the session.
    int64_t videoTimestamp(const MediaTime& time) {
        const MediaTime relative = time - sessionStart;
        if (!relative.isNumeric()) throw failWith(MediaError("append", "frame time is not a number"));
        if (relative < MediaTime::zero()) return -1;
        int64_t pts = ffmpeg::timestampFrom(relative, AVRational{1, video.timeScale});
        if (lastVideoPts != AV_NOPTS_VALUE && pts <= lastVideoPts) pts = lastVideoPts + 1;
        return pts;
    }

    int64_t videoDurationTicks(const MediaTime& duration) {
        if (duration.isNumeric() && duration.value > 0) {
            const int64_t d = ffmpeg::timestampFrom(duration, AVRational{1, video.timeScale});
            if (d > 0) return d;
        }
        if (lastVideoDuration > 0) return lastVideoDuration;
        if (video.expectedFrameRate > 0)
            return std::max<int64_t>(1, std::llround(video.timeScale / video.expectedFrameRate));
        return std::max<int64_t>(1, video.timeScale / 30);
    }

    void noteVideo(int64_t pts, int64_t duration) {
        lastVideoPts = pts;
        lastVideoDuration = duration;
        ++videoFrames;
        advance(Input::video, static_cast<double>(pts + duration) / video.timeScale);
    }

    // --- audio -------------------------------------------------------------------------------

    void sendAudioFrame(AVFrame* frame) {
        const int rc = avcodec_send_frame(audioCodec.get(), frame);
        if (rc < 0) throw failWith(MediaError::fromCode("audio append", rc));
        drain(audioCodec.get(), audioStream, false, "audio append");
    }

    void flushEncoders() {
        if (hasVideo && alphaEncoder) {
            try {
                writeAlphaPackets(alphaEncoder->flush(), "finish");
            } catch (const MediaError& e) {
                throw failWith(e);
            }
        }
        if (hasVideo && videoEncoded && videoCodec) {
            const int rc = avcodec_send_frame(videoCodec.get(), nullptr);
            if (rc < 0 && rc != AVERROR_EOF) throw failWith(MediaError::fromCode("finish", rc));
            drain(videoCodec.get(), videoStream, true, "finish");
        }
        if (hasAudio && audioCodec) {
            try {
                audioQueue->flush();
            } catch (const MediaError& e) {
                throw failWith(e);
            }
            const int rc = avcodec_send_frame(audioCodec.get(), nullptr);
            if (rc < 0 && rc != AVERROR_EOF) throw failWith(MediaError::fromCode("finish", rc));
            drain(audioCodec.get(), audioStream, false, "finish");
        }
    }

    void removeTemporary() { temporary.reset(); }

    // The muxer writes no layout for channels in unspecified order; a QuickTime movie says they
    // are discrete, in order, before it is published.
    void addChannelLayout() {
        if (type != MovieFileType::quickTime || !hasAudio || !audio.discreteLayout || audio.channels <= 2) return;
        if (const int error = addDiscreteChannelLayout(temporary->descriptor(), audio.channels); error != 0)
            throw failWith(MediaError("finish", "channel layout: " + mediaErrorText(AVERROR(error)), AVERROR(error)));
    }

    // Puts the closed, complete temporary file under its final name, durably.
    void publish() {
        if (const int error = !temporary ? ENOENT : publisher ? publisher(*temporary) : temporary->publish(); error != 0)
            throw failWith(MediaError::fromCode("finish", AVERROR(error)));
    }
};

MovieWriter::MovieWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

void MovieWriter::setPublisher(std::function<int(PartialFile&)> publish) { impl_->publisher = std::move(publish); }

MovieWriter::~MovieWriter() {
    Status s;
    {
        std::lock_guard lock(impl_->stateMutex);
        s = impl_->status;
    }
    if (s != Status::completed && s != Status::cancelled) cancelWriting();
}

std::unique_ptr<MovieWriter> MovieWriter::create(const std::filesystem::path& file, MovieFileType type) {
    auto impl = std::make_unique<Impl>();
    impl->file = file;
    impl->type = type;
    // Whatever stands at `file` (an earlier movie) stays until the new movie is complete and
    // takes its place.
    const int rc = avformat_alloc_output_context2(&impl->format, nullptr, type == MovieFileType::mpeg4 ? "mp4" : "mov",
                                                  file.c_str());
    if (rc < 0 || impl->format == nullptr) throw MediaError::fromCode("create", rc < 0 ? rc : AVERROR(ENOMEM));
    return std::unique_ptr<MovieWriter>(new MovieWriter(std::move(impl)));
}

void MovieWriter::addVideoInput(const MovieVideoSettings& settings) {
    Impl& w = *impl_;
    if (w.hasVideo || w.headerWritten) throw MediaError("video input", "a video input exists already");
    if (settings.width < 1 || settings.height < 1 || settings.width > PixelBuffer::kMaxSide ||
        settings.height > PixelBuffer::kMaxSide)
        throw MediaError("video input", "unsupported size " + std::to_string(settings.width) + " x " +
                                            std::to_string(settings.height));
    if (const int side = minimumPictureSide(settings.codecType); settings.width < side || settings.height < side)
        throw MediaError("video input", pictureTooSmallText(settings.codecType, settings.width, settings.height));
    w.video = settings;
    if (w.video.timeScale <= 0) w.video.timeScale = 600;
    const AVRational timeBase{1, w.video.timeScale};
    const AVRational rate = settings.expectedFrameRate > 0 && std::isfinite(settings.expectedFrameRate)
                                ? av_d2q(settings.expectedFrameRate, 1 << 20)
                                : AVRational{0, 1};

    AVStream* st = avformat_new_stream(w.format, nullptr);
    if (st == nullptr) throw MediaError::fromCode("video input", AVERROR(ENOMEM));
    st->time_base = timeBase;
    if (rate.num > 0) st->avg_frame_rate = rate;

    if (const AVCodecID passId = passThroughCodec(settings.codecType); passId != AV_CODEC_ID_NONE) {
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = passId;
        par->codec_tag = ffmpeg::fromFFmpegTag(settings.codecType);  // the swap is its own inverse
        par->width = settings.width;
        par->height = settings.height;
        par->bits_per_coded_sample = settings.depth > 0 ? settings.depth : 24;
        par->color_primaries = AVCOL_PRI_BT709;
        par->color_trc = AVCOL_TRC_BT709;
        par->color_space = AVCOL_SPC_BT709;
        if (!settings.formatName.empty()) av_dict_set(&st->metadata, "encoder", settings.formatName.c_str(), 0);
        w.videoEncoded = false;
    } else if (settings.codecType == kCodecTypeHevcAlpha) {
        HevcAlphaSettings alpha;
        alpha.width = settings.width;
        alpha.height = settings.height;
        alpha.rateNumerator = rate.num;
        alpha.rateDenominator = rate.den;
        alpha.quality = settings.quality;
        alpha.maxKeyFrameInterval = settings.maxKeyFrameInterval;
        auto encoder = std::make_unique<HevcAlphaEncoder>(alpha);
        const std::vector<uint8_t>& hvcC = encoder->decoderConfiguration();
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_HEVC;
        // An extradata that already is an hvcC record is written as it stands.
        par->codec_tag = ffmpeg::fromFFmpegTag(fourCC('h', 'v', 'c', '1'));
        par->width = settings.width;
        par->height = settings.height;
        par->format = AV_PIX_FMT_YUVA420P;
        par->bits_per_coded_sample = 32;  // the sample description's depth: the movie has alpha
        par->color_primaries = AVCOL_PRI_BT709;
        par->color_trc = AVCOL_TRC_BT709;
        par->color_space = AVCOL_SPC_BT709;
        par->color_range = AVCOL_RANGE_MPEG;
        par->extradata = static_cast<uint8_t*>(av_mallocz(hvcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) throw MediaError::fromCode("video input", AVERROR(ENOMEM));
        std::memcpy(par->extradata, hvcC.data(), hvcC.size());
        par->extradata_size = static_cast<int>(hvcC.size());
        w.alphaEncoder = std::move(encoder);
        w.videoPixelFormat = kPixelFormatYUVA420P;
        w.videoEncoded = true;
    } else if (const auto kind = encodedKind(settings.codecType)) {
        const AVCodec* codec = avcodec_find_encoder_by_name(kind->encoder);
        if (codec == nullptr) throw MediaError("video input", std::string("no encoder ") + kind->encoder);
        CodecPtr ctx(avcodec_alloc_context3(codec));
        if (!ctx) throw MediaError::fromCode("video input", AVERROR(ENOMEM));
        ctx->width = settings.width;
        ctx->height = settings.height;
        ctx->pix_fmt = ffmpeg::toAVPixelFormat(kind->pixelFormat);
        ctx->time_base = timeBase;
        if (rate.num > 0) ctx->framerate = rate;
        setBT709(ctx.get());
        ctx->color_range = AVCOL_RANGE_MPEG;
        ctx->thread_count = 0;
        if (w.format->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* options = nullptr;
        if (kind->proResProfile >= 0) {
            av_dict_set_int(&options, "profile", kind->proResProfile, 0);
        } else {
            av_dict_set(&options, "preset", "medium", 0);
            if (settings.averageBitRate > 0) ctx->bit_rate = std::max(settings.averageBitRate, kMinimumAverageBitRate);
            if (settings.maxKeyFrameInterval > 0) ctx->gop_size = settings.maxKeyFrameInterval;
            if (settings.codecType == fourCC('a', 'v', 'c', '1')) {
                av_dict_set(&options, "profile", "high", 0);
            } else {
                av_dict_set(&options, "profile", "main", 0);
                // The system's libx265 overruns a row buffer of its lookahead's cu-tree on pictures
                // up to 48 pixels wide (fewer than four 16-pixel blocks across) and corrupts the
                // heap. The cu-tree only moves bits between blocks; without it that code never runs.
                av_dict_set(&options, "x265-params",
                            settings.width <= 48 ? "log-level=error:cutree=0" : "log-level=error", 0);
            }
        }
        const int rc = avcodec_open2(ctx.get(), codec, &options);
        av_dict_free(&options);
        // The library's own text ("Generic error in an external library") says nothing of what
        // was refused.
        if (rc < 0) {
            const char* name = kind->proResProfile >= 0 ? "ProRes" : settings.codecType == fourCC('a', 'v', 'c', '1') ? "H.264" : "HEVC";
            throw MediaError("video input",
                             std::string("the ") + name + " encoder refused a picture of " + std::to_string(settings.width) +
                                 " × " + std::to_string(settings.height) + " pixels: " + mediaErrorText(rc),
                             rc);
        }
        const int prc = avcodec_parameters_from_context(st->codecpar, ctx.get());
        if (prc < 0) throw MediaError::fromCode("video input", prc);
        // HEVC is tagged hvc1 (parameter sets in the sample description), which players expect.
        if (settings.codecType == fourCC('h', 'v', 'c', '1')) st->codecpar->codec_tag = ffmpeg::fromFFmpegTag(settings.codecType);  // the swap is its own inverse
        w.videoCodec = std::move(ctx);
        w.videoPixelFormat = kind->pixelFormat;
        w.videoEncoded = true;
    } else {
        throw MediaError("video input", "unsupported codec type " + fourCCString(settings.codecType));
    }
    if (settings.transform != kIdentityDisplayMatrix) {
        uint8_t* side = av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
        if (side != nullptr) std::memcpy(side, settings.transform.data(), sizeof(int32_t) * 9);
    }
    w.videoStream = st;
    w.hasVideo = true;
}

bool MovieWriter::addAudioInput(const MovieAudioSettings& settings) {
    Impl& w = *impl_;
    if (w.hasAudio || w.headerWritten) throw MediaError("audio input", "an audio input exists already");
    if (settings.sampleRate < 1 || settings.channels < 1 || settings.channels > 64)
        throw MediaError("audio input", std::to_string(settings.channels) + " channels at " +
                                            std::to_string(settings.sampleRate) + " Hz");
    CodecPtr ctx = openAudioEncoder(settings, *w.format->oformat);
    // The one case without an error: a container that cannot carry this audio at all.
    if (!ctx) return false;
    auto queue = std::make_unique<MovieAudioQueue>(*ctx, [&w](AVFrame* frame) { w.sendAudioFrame(frame); });
    AVStream* st = avformat_new_stream(w.format, nullptr);
    if (st == nullptr) throw MediaError::fromCode("audio input", AVERROR(ENOMEM));
    st->time_base = ctx->time_base;
    const int rc = avcodec_parameters_from_context(st->codecpar, ctx.get());
    if (rc < 0) throw MediaError::fromCode("audio input", rc);
    w.audioQueue = std::move(queue);
    w.audio = settings;
    w.audioCodec = std::move(ctx);
    w.audioStream = st;
    w.hasAudio = true;
    return true;
}

void MovieWriter::startWriting() {
    Impl& w = *impl_;
    {
        std::lock_guard lock(w.stateMutex);
        if (w.status != Status::unknown) throw MediaError("start", "the writer has started already");
    }
    if (!w.hasVideo && !w.hasAudio) throw w.failWith(MediaError("start", "no input"));
    // The muxer holds packets of one stream while it waits for the other; once one input has
    // ended (or lags) that queue is bounded by this span instead of ten seconds of 4K video.
    w.format->max_interleave_delta = static_cast<int64_t>(kInterleaveWindowSeconds * AV_TIME_BASE);
    // A folder in the way is never replaced.
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(w.file, ec)))
        throw w.failWith(MediaError::fromCode("start", AVERROR(EISDIR)));
    // The new movie's hidden file stays locked while this writer lives. (What killed runs left
    // beside it is its callers' to sweep, with their one look at the folder.)
    try {
        w.temporary = std::make_unique<PartialFile>(w.file);
    } catch (const std::system_error& e) {
        // The folder refused the movie (read-only, not ours, gone): say which movie.
        throw w.failWith(w.namingMovie(e.code().value()));
    }
    w.descriptor = w.temporary->descriptor();
    constexpr int kOutputBufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kOutputBufferSize));
    w.format->pb = buffer != nullptr ? avio_alloc_context(buffer, kOutputBufferSize, 1, &w.descriptor, nullptr,
                                                          writeToDescriptor, seekDescriptor)
                                     : nullptr;
    if (w.format->pb == nullptr) {
        av_free(buffer);
        throw w.failWith(MediaError::fromCode("start", AVERROR(ENOMEM)));
    }
    w.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    w.fileOpen = true;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+write_colr", 0);
    if (w.hasVideo) av_dict_set_int(&options, "video_track_timescale", w.video.timeScale, 0);
    const int rc = avformat_write_header(w.format, &options);
    av_dict_free(&options);
    if (rc < 0) throw w.failWith(MediaError::fromCode("start", rc));
    w.headerWritten = true;
    {
        std::lock_guard lock(w.stateMutex);
        w.status = Status::writing;
    }
    w.stateChanged.notify_all();
}

void MovieWriter::startSession(MediaTime sourceTime) {
    impl_->sessionStart = sourceTime.isNumeric() ? sourceTime : MediaTime::zero();
}

bool MovieWriter::isReadyForMoreMediaData(Input input) const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->readyLocked(input);
}

bool MovieWriter::waitUntilReady(Input input, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->stateMutex);
    impl_->stateChanged.wait_for(lock, timeout, [&] {
        return impl_->readyLocked(input) || impl_->status != Status::writing ||
               (input == Input::video ? impl_->videoFinished : impl_->audioFinished);
    });
    return impl_->readyLocked(input);
}

void MovieWriter::appendPixelBuffer(const PixelBufferRef& buffer, MediaTime time, MediaTime duration) {
    Impl& w = *impl_;
    w.requireWriting("append");
    if (!w.hasVideo || !w.videoEncoded) throw w.failWith(MediaError("append", "the video input takes compressed samples"));
    if (!buffer) throw w.failWith(MediaError("append", "no pixel buffer"));
    if (buffer->pixelFormat() != w.videoPixelFormat || buffer->width() != w.video.width ||
        buffer->height() != w.video.height)
        throw w.failWith(MediaError("append", "picture is " + fourCCString(buffer->pixelFormat()) + " " +
                                                  std::to_string(buffer->width()) + " x " +
                                                  std::to_string(buffer->height()) + ", the encoder takes " +
                                                  fourCCString(w.videoPixelFormat) + " " + std::to_string(w.video.width) +
                                                  " x " + std::to_string(w.video.height)));
    const int64_t pts = w.videoTimestamp(time);
    if (pts < 0) return;  // before the session: not part of the movie
    const int64_t ticks = w.videoDurationTicks(duration);
    if (w.alphaEncoder) {
        w.videoDurations[pts] = ticks;
        try {
            w.writeAlphaPackets(w.alphaEncoder->encode(*buffer, pts), "append");
        } catch (const MediaError& e) {
            throw w.failWith(e);
        }
        w.noteVideo(pts, ticks);
        return;
    }

    FramePtr frame(av_frame_alloc());
    if (!frame) throw w.failWith(MediaError::fromCode("append", AVERROR(ENOMEM)));
    frame->width = buffer->width();
    frame->height = buffer->height();
    frame->format = w.videoCodec->pix_fmt;
    ffmpeg::planePointers(*buffer, frame->data, frame->linesize);
    // The frame references the pixel buffer itself; the encoder releases it when done.
    auto* keep = new PixelBufferRef(buffer);
    frame->buf[0] = av_buffer_create(buffer->data(0), static_cast<size_t>(buffer->bytesPerRow(0)) * buffer->planeHeight(0),
                                     releasePixelBuffer, keep, AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) {
        delete keep;
        throw w.failWith(MediaError::fromCode("append", AVERROR(ENOMEM)));
    }
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->pts = pts;
    frame->pkt_duration = ticks;
    w.videoDurations[pts] = ticks;
    const int rc = avcodec_send_frame(w.videoCodec.get(), frame.get());
    if (rc < 0) throw w.failWith(MediaError::fromCode("append", rc));
    w.drain(w.videoCodec.get(), w.videoStream, true, "append");
    w.noteVideo(pts, ticks);
}

void MovieWriter::appendCompressedSample(const std::vector<uint8_t>& bytes, MediaTime time, MediaTime duration) {
    Impl& w = *impl_;
    w.requireWriting("append");
    if (!w.hasVideo || w.videoEncoded) throw w.failWith(MediaError("append", "the video input takes pixel buffers"));
    if (bytes.empty()) throw w.failWith(MediaError("append", "empty sample"));
    const int64_t pts = w.videoTimestamp(time);
    if (pts < 0) return;
    const int64_t ticks = w.videoDurationTicks(duration);
    // Every passed-through sample (Hap, DXV3) is a key frame.
    w.writeVideoSample(bytes, pts, pts, ticks, true, "append");
    w.noteVideo(pts, ticks);
}

void MovieWriter::appendAudio(const AudioSampleBuffer& samples) {
    Impl& w = *impl_;
    w.requireWriting("audio append");
    if (!w.hasAudio) throw w.failWith(MediaError("audio append", "no audio input"));
    if (samples.format.sampleRate != w.audio.sampleRate || samples.format.channels != w.audio.channels)
        throw w.failWith(MediaError("audio append", "audio is " + std::to_string(samples.format.channels) + " channels at " +
                                                        std::to_string(samples.format.sampleRate) + " Hz, the input takes " +
                                                        std::to_string(w.audio.channels) + " at " +
                                                        std::to_string(w.audio.sampleRate) + " Hz"));
    int count = 0;
    try {
        count = w.audioQueue->append(samples, w.sessionStart);
    } catch (const MediaError& e) {
        throw w.failWith(e);
    }
    if (count == 0) return;
    w.audioFrames += count;
    w.advance(Input::audio, static_cast<double>(w.audioQueue->position()) / w.audio.sampleRate);
}

void MovieWriter::markAsFinished(Input input) {
    {
        std::lock_guard lock(impl_->stateMutex);
        (input == Input::video ? impl_->videoFinished : impl_->audioFinished) = true;
    }
    impl_->stateChanged.notify_all();
}

void MovieWriter::finishWriting() {
    Impl& w = *impl_;
    w.requireWriting("finish");
    markAsFinished(Input::video);
    markAsFinished(Input::audio);
    w.flushEncoders();
    int rc;
    {
        std::lock_guard lock(w.muxMutex);
        rc = av_write_trailer(w.format);
    }
    if (rc < 0) throw w.failWith(MediaError::fromCode("finish", rc));
    rc = closeDescriptorOutput(w.format->pb);
    w.fileOpen = false;
    if (rc < 0) throw w.failWith(MediaError::fromCode("finish", rc));
    w.addChannelLayout();
    w.publish();
    {
        std::lock_guard lock(w.stateMutex);
        w.status = Status::completed;
    }
    w.stateChanged.notify_all();
    w.closeAll();
}

void MovieWriter::cancelWriting() {
    Impl& w = *impl_;
    bool removeFile = false;
    {
        std::lock_guard lock(w.stateMutex);
        if (w.status == Status::cancelled) return;
        // A completed movie stays; anything else is a partial file of ours.
        removeFile = w.status != Status::completed;
        if (w.status != Status::completed) w.status = Status::cancelled;
    }
    w.stateChanged.notify_all();
    {
        std::lock_guard lock(w.muxMutex);
        w.closeAll();
    }
    if (removeFile) w.removeTemporary();
}

MovieWriter::Status MovieWriter::status() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->status;
}

std::string MovieWriter::errorText() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->error;
}

int64_t MovieWriter::videoFramesAppended() const { return impl_->videoFrames; }
int64_t MovieWriter::audioFramesAppended() const { return impl_->audioFrames; }

}  // namespace qm
