#include <cmath>

#include "core/conversion_error.h"
#include "editor/sync/audio_aligner.h"
#include "platform/media/asset_reader.h"
#include "platform/media/media_error.h"
#include "platform/media/mono_resampler.h"

namespace qm::AudioAligner {

std::optional<double> streamSamples(const std::filesystem::path& file, std::optional<ChannelRef> excluding, double rate,
                                    double maxSeconds, const SoundSink& sink, std::stop_token stop) {
    if (!std::isfinite(rate) || rate < 1 || rate > 1e6 || rate != std::floor(rate)) return std::nullopt;
    const std::vector<AudioTrackInfo> tracks = AudioSampleReader::probeTracks(file);

    // The first track with a channel to use: a mono track that carries the excluded channel has none.
    int chosen = -1;
    for (size_t i = 0; i < tracks.size() && chosen < 0; ++i) {
        const int channels = std::max(tracks[i].channels, 1);
        const bool excludedTrack = excluding && excluding->track == int64_t(i);
        if (channels > (excludedTrack ? 1 : 0)) chosen = int(i);
    }
    if (chosen < 0) return std::nullopt;
    auto reader = AudioSampleReader::openTrack(file, chosen);
    if (!reader) return std::nullopt;
    const int64_t skipChannel = excluding && excluding->track == chosen ? excluding->channel : -1;  // -1: keep all

    std::unique_ptr<MonoResampler> resampler;
    std::optional<double> start;
    std::vector<float> mono;
    std::vector<float> out;
    size_t delivered = 0;
    double secondsRead = 0;
    auto hand = [&] {
        if (!out.empty()) sink(out.data(), out.size());
        delivered += out.size();
        out.clear();
    };
    for (;;) {
        if (stop.stop_requested()) return std::nullopt;
        std::optional<AudioSampleBuffer> buffer;
        try {
            buffer = reader->next();
        } catch (const MediaError& e) {
            if (!resampler) throw ConversionError::readerFailed(e.what());
            break;  // the sound read so far stands
        }
        if (!buffer) break;
        const int channels = buffer->format.channels;
        const int frames = buffer->frameCount;
        if (channels < 1 || frames <= 0) continue;
        if (!resampler) {
            resampler = std::make_unique<MonoResampler>(buffer->format.sampleRate, int(rate));
            start = buffer->time.seconds();
        }
        const auto* samples = reinterpret_cast<const float*>(buffer->planes[0].data());
        int kept = 0;
        for (int c = 0; c < channels; ++c)
            if (c != skipChannel) ++kept;
        const float scale = 1.0f / float(std::max(kept, 1));
        mono.assign(size_t(frames), 0.0f);
        if (kept > 0) {
            for (int i = 0; i < frames; ++i) {
                const float* frame = samples + size_t(i) * size_t(channels);
                float sum = 0;
                for (int c = 0; c < channels; ++c)
                    if (c != skipChannel) sum += frame[c];
                mono[size_t(i)] = sum * scale;
            }
        }
        resampler->convert(mono.data(), frames, out);
        hand();
        secondsRead += double(frames) / double(buffer->format.sampleRate);
        if (secondsRead >= maxSeconds) break;
    }
    reader->cancel();
    if (!resampler) return std::nullopt;
    resampler->flush(out);
    hand();
    if (delivered == 0) return std::nullopt;
    return start;
}

std::optional<LoadedSound> loadSamples(const std::filesystem::path& file, std::optional<ChannelRef> excluding,
                                       double rate, double maxSeconds, std::stop_token stop) {
    LoadedSound sound;
    const auto start = streamSamples(
        file, excluding, rate, maxSeconds,
        [&](const float* samples, size_t count) { sound.samples.insert(sound.samples.end(), samples, samples + count); },
        stop);
    if (!start) return std::nullopt;
    sound.start = *start;
    return sound;
}

}  // namespace qm::AudioAligner
