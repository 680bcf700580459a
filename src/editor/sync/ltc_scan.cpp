#include "editor/sync/ltc_scan.h"

#include <algorithm>
#include <cmath>

#include "platform/media/asset_reader.h"
#include "platform/media/media_error.h"

namespace qm {

std::vector<double> ltcOffsets(const std::vector<LTCDecoder::Frame>& frames, const std::vector<double>& numbers,
                               double samplesPerFrame) {
    const size_t n = std::min(frames.size(), numbers.size());
    std::vector<double> offsets(n);
    for (size_t k = 0; k < n; ++k) offsets[k] = frames[k].position - numbers[k] * samplesPerFrame;
    return offsets;
}

std::optional<LTCInfo> analyzeLTCFrames(const std::vector<LTCDecoder::Frame>& frames, double sampleRate) {
    const size_t n = frames.size();
    if (n < 10 || !(sampleRate > 0)) return std::nullopt;
    size_t dfCount = 0;
    int64_t maxFrames = 0;
    for (const auto& f : frames) {
        if (f.timecode.dropFrame) ++dfCount;
        maxFrames = std::max(maxFrames, f.timecode.frames);
    }

    std::vector<double> gaps;
    gaps.reserve(n - 1);
    for (size_t k = 0; k + 1 < n; ++k) {
        const double d = frames[k + 1].position - frames[k].position;
        if (d > 0) gaps.push_back(d);
    }
    if (gaps.empty()) return std::nullopt;
    std::nth_element(gaps.begin(), gaps.begin() + std::ptrdiff_t(gaps.size() / 2), gaps.end());
    const double spacing = gaps[gaps.size() / 2];

    const double r = sampleRate / spacing;
    int64_t nominal = 24;
    if (std::abs(25 - r) < std::abs(24 - r)) nominal = 25;
    if (std::abs(30 - r) < std::abs(double(nominal) - r)) nominal = 30;
    // A frame field the rate cannot hold rules that rate out.
    if (maxFrames >= nominal) nominal = maxFrames < 25 ? 25 : 30;
    const bool dropFrame = 2 * dfCount > n;
    if (dropFrame) nominal = 30;

    std::vector<double> numbers(n);
    for (size_t k = 0; k < n; ++k) {
        const Timecode& tc = frames[k].timecode;
        const int64_t m = tc.hours * 60 + tc.minutes;
        int64_t number = (m * 60 + tc.seconds) * nominal + tc.frames;
        if (tc.dropFrame) number -= 2 * (m - m / 10);
        numbers[k] = double(number);
    }

    std::vector<double> offsets = ltcOffsets(frames, numbers, spacing);
    std::nth_element(offsets.begin(), offsets.begin() + std::ptrdiff_t(offsets.size() / 2), offsets.end());
    const double offset0 = offsets[offsets.size() / 2];

    // The frames on the majority's line; dropouts and jumps in the timecode fall off it.
    double sumPos = 0, sumN = 0;
    size_t k = 0;
    std::vector<size_t> inliers;
    inliers.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (std::abs(frames[i].position - spacing * numbers[i] - offset0) < 0.5 * spacing) {
            inliers.push_back(i);
            sumPos += frames[i].position;
            sumN += numbers[i];
        }
    }
    k = inliers.size();
    if (k < 10) return std::nullopt;
    const double meanPos = sumPos / double(k), meanN = sumN / double(k);
    double sxy = 0, sxx = 0;
    for (size_t i : inliers) {
        sxy += (numbers[i] - meanN) * (frames[i].position - meanPos);
        sxx += (numbers[i] - meanN) * (numbers[i] - meanN);
    }
    double slope = spacing, measuredRate = r;
    if (sxx > 0) {
        slope = sxy / sxx;
        measuredRate = sampleRate / slope;
    }

    LTCInfo info;
    info.nominalRate = nominal;
    info.dropFrame = dropFrame;
    info.measuredRate = measuredRate;
    info.startFrame = -(meanPos - meanN * slope) / slope;
    info.framesDecoded = int64_t(k);
    // One misread word can set the nominal rate (a frame field of 27 makes 25 fps "30"); a line
    // that does not run near a rate of that nominal one is no reading.
    if (!std::isfinite(measuredRate) || !(measuredRate > 0) || !std::isfinite(info.startFrame) ||
        std::abs(measuredRate - info.standardRate()) > 0.01 * info.standardRate())
        return std::nullopt;
    return info;
}

std::optional<LTCInfo> decodeLTCTrack(const std::filesystem::path& file, int audioTrack, int64_t minFrames,
                                      double maxSeconds, std::stop_token stop) {
    auto reader = AudioSampleReader::openTrack(file, audioTrack);
    if (!reader) return std::nullopt;
    std::vector<LTCDecoder> decoders;
    double sampleRate = 48000.0;
    double t0 = 0;
    int64_t consumed = 0;
    for (;;) {
        if (stop.stop_requested()) return std::nullopt;
        std::optional<AudioSampleBuffer> buffer;
        try {
            buffer = reader->next();
        } catch (const MediaError&) {
            // Sound read so far still counts; a file that gives none cannot be read.
            if (decoders.empty()) throw;
            break;
        }
        if (!buffer) break;
        const int channels = buffer->format.channels;
        if (decoders.empty()) {
            sampleRate = buffer->format.sampleRate;
            t0 = buffer->time.seconds();
            decoders.assign(size_t(std::max(channels, 1)), LTCDecoder(sampleRate));
        }
        // The reader keeps its first format, so this only guards the decoders' indexes; the
        // samples still count so that later positions stay on the file's time line.
        if (size_t(channels) == decoders.size()) {
            const auto* samples = reinterpret_cast<const float*>(buffer->planes[0].data());
            for (int c = 0; c < channels; ++c)
                decoders[size_t(c)].process(samples + c, buffer->frameCount, channels, consumed);
        }
        consumed += buffer->frameCount;
        if (double(consumed) / sampleRate > maxSeconds) break;
        if (std::any_of(decoders.begin(), decoders.end(), [&](const LTCDecoder& d) { return int64_t(d.frames().size()) >= minFrames; }))
            break;
    }
    reader->cancel();

    std::optional<LTCInfo> best;
    for (size_t c = 0; c < decoders.size(); ++c) {
        auto info = analyzeLTCFrames(decoders[c].frames(), sampleRate);
        if (!info) continue;
        if (!best || info->framesDecoded > best->framesDecoded) {
            info->channel = int64_t(c);
            best = info;
        }
    }
    if (!best) return std::nullopt;
    best->track = audioTrack;
    best->startFrame -= t0 * best->measuredRate;
    return best;
}

std::optional<LTCInfo> readLTC(const std::filesystem::path& file, int64_t minFrames, double maxSeconds,
                               std::stop_token stop) {
    const size_t tracks = AudioSampleReader::probeTracks(file).size();
    std::optional<LTCInfo> held;
    for (size_t i = 0; i < tracks; ++i) {
        auto result = decodeLTCTrack(file, int(i), minFrames, maxSeconds, stop);
        if (stop.stop_requested()) return std::nullopt;
        if (!result) continue;
        if (!held || result->framesDecoded > held->framesDecoded) held = result;
        if (result->framesDecoded >= minFrames) break;
    }
    return held;
}

}  // namespace qm
