#include "engine/transcoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>
#include <unistd.h>

#include "core/conversion_error.h"
#include "core/partial_file.h"
#include "engine/codec_factories.h"
#include "engine/frame_feeder.h"
#include "platform/media/image_sequence_writer.h"

namespace qm {

namespace {

// The file's or folder's name travels with the system's reason.
ConversionError sequenceError(const MediaError& e, const std::string& frameName) {
    if (e.step() == "image write" || e.step() == "image folder") return ConversionError::writerFailed(e.detail());
    return ConversionError::encodeFailed("image " + frameName);
}

bool isCompressedSource(const SourceDecoder& decoder) {
    return decoder.kind == SourceDecoder::Kind::hap || decoder.kind == SourceDecoder::Kind::dxv ||
           decoder.kind == SourceDecoder::Kind::notchLC;
}

}  // namespace

Transcoder::Transcoder(std::filesystem::path source, std::filesystem::path destination, MediaInfo info,
                       ConversionSettings settings)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      replaceable_(fileIdAt(destination_)),
      info_(std::move(info)),
      settings_(std::move(settings)),
      cancellation_(std::make_shared<CancellationFlag>()),
      transfer_(std::make_unique<PixelTransfer>()) {
    const auto size = settings_.outputDimensions(info_.width, info_.height);
    const OutputGeometry geometry = outputGeometry(settings_.format, size.width, size.height);
    outWidth_ = geometry.width;
    outHeight_ = geometry.height;
    const bool gpuSource = info_.decoder.kind == SourceDecoder::Kind::hap || info_.decoder.kind == SourceDecoder::Kind::dxv;
    pixelFormat_ = usesDeepPixels(settings_.format, gpuSource) ? kPixelFormatRGBA64LE : kPixelFormatBGRA;
    deliveryPixelFormat_ = pixelFormat_;
    std::error_code ec;
    sequenceFolderExisted_ = std::filesystem::symlink_status(sequenceFolder(), ec).type() != std::filesystem::file_type::not_found;
    if (auto codec = videoCodecType(settings_.format)) {
        if (uint32_t encoderFormat = MovieWriter::encoderPixelFormat(fourCCCode(*codec))) deliveryPixelFormat_ = encoderFormat;
    }
}

// Frames of an abandoned batch may still be landing while the run unwinds; the sequence is
// settled once their feeder is gone (the end of the run, or here).
Transcoder::~Transcoder() { endSequence(); }

std::filesystem::path Transcoder::sequenceFolder() const {
    // Also when the destination was given with a trailing separator.
    return destination_.has_filename() ? destination_ : destination_.parent_path();
}

void Transcoder::endSequence() {
    sequenceNaming_.reset();  // waits for a run naming frames
    if (sequenceWriter_) {
        sequenceNamed_ = sequenceWriter_->named();
        sequenceMade_ = sequenceWriter_->takeFolder();
    }
    sequenceWriter_.reset();
}

void Transcoder::discardSequence() {
    if (!sequenceMade_) return;
    // The last frame first, so that a kill meanwhile still leaves frames 0 ... k-1 and no gap.
    std::vector<std::string> frames;
    const std::string name = sequenceFolder().filename().string();
    for (int64_t index = sequenceNamed_; index-- > 0;) frames.push_back(imageSequenceFileName(name, index, settings_.format));
    sequenceMade_->discard(frames);
    sequenceMade_.reset();
}

int Transcoder::batchSize() const {
    return transcodeBatchSize(info_.width, info_.height, outWidth_, outHeight_, activeProcessorCount());
}

namespace {
// The movie writer's audio settings for an audio plan.
MovieAudioSettings movieAudioSettings(const AudioPlan& plan) {
    MovieAudioSettings writer;
    writer.codec = plan.codec == AudioPlan::Codec::aac     ? MovieAudioSettings::Codec::aac
                   : plan.codec == AudioPlan::Codec::pcm24 ? MovieAudioSettings::Codec::pcm24
                                                           : MovieAudioSettings::Codec::pcm16;
    writer.sampleRate = plan.sampleRate;
    writer.channels = plan.channels;
    writer.bitRate = plan.bitRate;
    writer.discreteLayout = plan.discreteLayout;
    return writer;
}
}  // namespace

void Transcoder::checkWritable() const {
    if (!isAvailable(settings_.format)) throw ConversionError::formatUnavailable(std::string(label(settings_.format)));
    const auto codec = videoCodecType(settings_.format);
    const int side = codec ? MovieWriter::minimumPictureSide(fourCCCode(*codec)) : 1;
    if (outWidth_ < side || outHeight_ < side)
        throw ConversionError::encodeFailed(std::string(label(settings_.format)) + " needs pictures of at least " +
                                            std::to_string(side) + " × " + std::to_string(side) +
                                            " pixels; this output would be " + std::to_string(outWidth_) + " × " +
                                            std::to_string(outHeight_));
}

std::pair<AudioFormat, MovieAudioSettings> Transcoder::stereoAudioSettings(OutputFormat format) {
    const AudioPlan plan = stereoAudioPlan(format);
    return {AudioFormat{48000, 2, AudioSampleFormat::float32}, movieAudioSettings(plan)};
}

void Transcoder::prepareCodecs() {
    keepHeapSmall();
    frameDecoder_ = makeFrameDecoder(info_);
    if (frameDecoder_)
        decodePool_ = makePixelBufferPool(info_.width, info_.height, frameDecoder_->outputPixelFormat(pixelFormat_));
    outputPool_ = makePixelBufferPool(outWidth_, outHeight_, deliveryPixelFormat_);
    frameEncoder_ = makeFrameEncoder(settings_.format, settings_.hapChunks, settings_.hapHighQuality, outWidth_, outHeight_);
    if (isImageSequence(settings_.format)) {
        sequenceMade_.reset();
        sequenceWriter_ = std::make_unique<ImageSequenceWriter>(sequenceFolder(), 64, sequenceFolderExisted_);
        sequenceNaming_ = std::make_unique<BackgroundWork>([writer = sequenceWriter_.get()] { writer->nameWaiting(); });
    }
}

bool Transcoder::needsConversion(const PixelBuffer& picture) const {
    // Y'CbCr (the planar formats) of another matrix than the BT.709 written is converted too, even
    // to its own layout.
    const ColorMatrix matrix = picture.colorTags().matrix;
    return picture.width() != outWidth_ || picture.height() != outHeight_ || picture.pixelFormat() != deliveryPixelFormat_ ||
           (PixelBuffer::planeCountOf(picture.pixelFormat()) > 1 && matrix != ColorMatrix::bt709 &&
            matrix != ColorMatrix::unspecified);
}

int64_t Transcoder::stepBytes(const RawFrame& raw) const {
    int64_t bytes = 0;
    bool converts = true;
    if (raw.kind == RawFrame::Kind::compressed) {
        bytes = int64_t(raw.bytes.capacity());
        if (decodePool_) {
            bytes += int64_t(decodePool_->bufferBytes());
            converts = decodePool_->width() != outWidth_ || decodePool_->height() != outHeight_ ||
                       decodePool_->pixelFormat() != deliveryPixelFormat_;
        }
    } else if (raw.pixels) {
        bytes = int64_t(raw.pixels->byteCount());
        converts = needsConversion(*raw.pixels);
    }
    if (converts && outputPool_) bytes += int64_t(outputPool_->bufferBytes());
    return bytes;
}

void Transcoder::releaseCodecs() {
    frameEncoder_.reset();
    frameDecoder_.reset();
    endSequence();
    decodePool_.reset();
    outputPool_.reset();
    transfer_ = std::make_unique<PixelTransfer>();
    returnFreeMemoryToSystem();
}

namespace {
// Releases the codecs when a run ends; declared before everything else the run makes, so that the
// reader, the writer and every frame are gone first.
struct ReleaseCodecsAtEnd {
    Transcoder& transcoder;
    ~ReleaseCodecsAtEnd() { transcoder.releaseCodecs(); }
};
}  // namespace

ProcessedFrame Transcoder::processFrame(SourceFrame& frame, const FrameFolder& folder) const {
    // The source picture or sample goes as soon as it has been used, not when the step ends: a
    // step spends most of its time encoding, with only the converted picture still needed.
    RawFrame raw = std::move(frame.raw);
    frame.raw = RawFrame{};
    PixelBufferRef buffer;
    if (raw.kind == RawFrame::Kind::compressed) {
        if (!decodePool_ || !frameDecoder_) throw ConversionError::decodeFailed("no decoder");
        buffer = makePixelBuffer(decodePool_);
        frameDecoder_->decode(raw.bytes.data(), raw.bytes.size(), *buffer);
    } else {
        buffer = std::move(raw.pixels);
        if (!buffer) throw ConversionError::decodeFailed("no picture");
    }
    raw = RawFrame{};
    if (needsConversion(*buffer)) {
        if (!outputPool_) throw ConversionError::encodeFailed("pixel buffer pool (no pool)");
        PixelBufferRef converted = makePixelBuffer(outputPool_);
        converted->setColorTags(ColorTags::bt709());
        transfer_->transfer(*buffer, *converted);
        buffer = std::move(converted);
        if (frame.charge) frame.charge->resize(int64_t(buffer->byteCount()));
    }
    if (frameEncoder_) {
        std::vector<uint8_t> bytes = frameEncoder_->encode(*buffer);
        // An encoder may hand back its worst-case buffer, many times the frame's bytes; frames wait
        // a batch or two for the writer, so only the bytes travel on.
        if (bytes.capacity() - bytes.size() > bytes.size() / 4) bytes.shrink_to_fit();
        return ProcessedFrame::fromEncoded(std::move(bytes));
    }
    if (folder && isImageSequence(settings_.format)) {
        if (!sequenceWriter_) throw ConversionError::writerFailed("no sequence writer");
        const std::string name = imageSequenceFileName(sequenceFolder().filename().string(), frame.index, settings_.format);
        ImageFileSettings image;
        image.type = settings_.format == OutputFormat::pngSequence    ? ImageFileType::png
                     : settings_.format == OutputFormat::tiffSequence ? ImageFileType::tiff
                                                                      : ImageFileType::jpeg;
        image.withAlpha = image.type != ImageFileType::jpeg;
        image.jpegQuality = 0.9;
        try {
            sequenceWriter_->write(frame.index, name, *buffer, image);
            // The disk is waited for away from the frame steps, so they go on encoding meanwhile.
            if (sequenceWriter_->hasWaiting()) sequenceNaming_->request();
        } catch (const MediaError& e) {
            throw sequenceError(e, name);
        }
        return ProcessedFrame::written();
    }
    buffer->setColorTags(ColorTags::bt709());
    return ProcessedFrame::fromPixels(std::move(buffer));
}

namespace {
// Settles an image sequence when a run ends, however it ends; declared before the feeder, so that
// the frames it still has in flight have landed first.
struct EndSequence {
    Transcoder& transcoder;
    ~EndSequence() { transcoder.endSequence(); }
};
}  // namespace

std::optional<AudioSampleBuffer> AudioReaderSource::next() {
    try {
        return reader_->next();
    } catch (const MediaError& e) {
        // The reader's own words where it found the loss itself, else the library's.
        const std::string why = e.code() == 0 && e.step() == "read audio" ? e.detail() : e.what();
        char at[32];
        std::snprintf(at, sizeof at, "%.2f", std::max((reader_->position() - origin_).seconds(), 0.0));
        throw ConversionError::readerFailed(std::string("the sound can't be read at ") + at + " s into the file: " + why);
    }
}

void Transcoder::run(const ProgressCallback& progress) {
    const EndSequence endSequence{*this};
    const ReleaseCodecsAtEnd release{*this};
    checkWritable();
    if (info_.decoder.kind == SourceDecoder::Kind::unsupported)
        throw ConversionError::unsupportedCodec(codecName(info_.decoder.codecType));

    VideoReaderSettings readerSettings;
    // Pictures arrive in the decoder's own format and are converted in the parallel frame step.
    readerSettings.mode = isCompressedSource(info_.decoder) ? VideoReaderSettings::Mode::compressed
                                                             : VideoReaderSettings::Mode::decoded;
    readerSettings.pixelFormat = 0;
    auto reader = VideoSampleReader::open(source_, readerSettings);
    VideoTrackInfo track = reader->track();
    // The movie starts with the first picture a read from the start shows, as the editor's clips
    // count from it: samples before it that give none, and the sound beside them, are left out.
    if (!track.timeRangeStart.isNumeric()) track.timeRangeStart = MediaTime::zero();
    if (const MediaTime first = firstPictureTime(source_, track); first > track.timeRangeStart) {
        if (track.timeRangeDuration.isNumeric()) track.timeRangeDuration = track.timeRangeDuration - (first - track.timeRangeStart);
        track.timeRangeStart = first;
    }

    std::unique_ptr<AudioReaderSource> audio;
    std::optional<MovieAudioSettings> audioSettings;
    if (settings_.includeAudio && !isImageSequence(settings_.format)) {
        if (auto audioTrack = AudioSampleReader::probe(source_)) {
            const AudioPlan plan = audioPlan(settings_.format, audioTrack->sampleRate, audioTrack->channels);
            AudioFormat readerFormat{plan.sampleRate, plan.channels,
                                     plan.codec == AudioPlan::Codec::aac     ? AudioSampleFormat::float32
                                     : plan.codec == AudioPlan::Codec::pcm24 ? AudioSampleFormat::int24
                                                                             : AudioSampleFormat::int16};
            if (auto audioReader = AudioSampleReader::open(source_, readerFormat)) {
                audio = std::make_unique<AudioReaderSource>(
                    std::move(audioReader), track.timeRangeStart.isNumeric() ? track.timeRangeStart : MediaTime::zero());
                audioSettings = movieAudioSettings(plan);
            }
        }
    }

    prepareCodecs();

    const MediaTime start = track.timeRangeStart.isNumeric() ? track.timeRangeStart : MediaTime::zero();
    FrameFeeder feeder(*this, *reader, start, track.timeRangeDuration, progress, batchSize(),
                       MediaTime::make(1, defaultFrameTimescale(info_.frameRate)));
    struct StopReading {
        VideoSampleReader& reader;
        ~StopReading() {
            if (reader.status() == VideoSampleReader::Status::reading) reader.cancel();
        }
    } stopReading{*reader};
    if (isImageSequence(settings_.format))
        writeImageSequence(feeder);
    else
        runMovie(feeder, audio.get(), audioSettings, start, track.transform);
}

void Transcoder::runRendered(FrameBatchProvider& feeder, AudioBufferSource* audio) {
    // Settled when this returns: a RenderFeeder's frames have all landed once it hands out or
    // fails their batch.
    const EndSequence endSequence{*this};
    const ReleaseCodecsAtEnd release{*this};
    checkWritable();
    prepareCodecs();
    if (isImageSequence(settings_.format)) {
        writeImageSequence(feeder);
        return;
    }
    std::optional<MovieAudioSettings> audioSettings;
    if (audio) audioSettings = stereoAudioSettings(settings_.format).second;
    runMovie(feeder, audio, audioSettings, MediaTime::zero(), kIdentityDisplayMatrix);
}

void Transcoder::writeImageSequence(FrameBatchProvider& feeder) {
    // Frames go into the destination folder, each under a hidden name until it is complete and
    // every earlier frame has its name (ImageSequenceWriter). When the run is cancelled or fails,
    // the frames from the first up to the first one missing stay, and frames of an earlier run
    // with the same names are replaced.
    const std::filesystem::path folder = sequenceFolder();
    const std::string name = folder.filename().string();
    // What killed runs left go first: hidden frames under this sequence's own frame names, and a
    // hidden folder that never got its first frame published.
    sweepPartialsIn(folder, [&](std::string_view frame) { return isImageSequenceFrameStem(name, frame, settings_.format); });
    sweepPartials(folder);

    int64_t written = 0;
    for (;;) {
        if (cancellation_->value()) throw ConversionError::cancelled();
        const auto batch = feeder.nextBatch(destination_);
        if (batch.empty()) break;
        written += int64_t(batch.size());
    }
    if (written == 0) throw ConversionError::writerFailed("no frames were written");
    // Every frame's step has ended, so each is written and waits for its name at most.
    try {
        if (sequenceWriter_) sequenceWriter_->settle();
    } catch (const MediaError& e) {
        throw sequenceError(e, name);
    }
    feeder.finish();
}

}  // namespace qm
