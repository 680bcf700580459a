#pragma once
// Projects built in code over media the ffmpeg CLI makes at test time, for the renderer, mix and
// exporter tests.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "editor/model/project.h"
#include "engine/media_info.h"
#include "support/test_support.h"

namespace qm::test {

// A movie made by ffmpeg from the arguments, probed as the editor probes it.
struct Medium {
    std::filesystem::path path;
    MediaInfo info;
    MediaItem item;
};

inline Medium probedMedium(const std::filesystem::path& path) {
    Medium m{path, MediaInfo::load(path, true), {}};
    m.item = MediaItem(QString::fromStdString(path.string()), m.info);
    return m;
}

inline Medium makeMedium(const std::filesystem::path& path, const std::vector<std::string>& ffmpegArgs) {
    std::vector<std::string> args = ffmpegArgs;
    args.push_back(path.string());
    ffmpeg(args);
    return probedMedium(path);
}

// A clip of the whole medium from `start`, with the default transform of a `width` × `height` canvas.
inline Clip clipOf(const Medium& m, double start, double duration, int width, int height) {
    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = m.item.id;
    c.start = start;
    c.duration = duration;
    c.transform = ClipTransform::makeDefault({m.item.width / 2.0, m.item.height / 2.0}, {width / 2.0, height / 2.0}, 100);
    return c;
}

// A project whose tracks hold one clip each, the first on top.
inline Project projectOf(int width, int height, double rate, const std::vector<Medium>& media, const std::vector<Clip>& clips) {
    Project p;
    p.width = width;
    p.height = height;
    p.frameRate = rate;
    for (const Medium& m : media) p.media.push_back(m.item);
    for (const Clip& c : clips) p.tracks.push_back({QUuid::createUuid(), "Layer", {c}, true, true});
    return p;
}

inline MediaInfos infosOf(const std::vector<Medium>& media) {
    MediaInfos infos;
    for (const Medium& m : media) infos.insert(m.item.id, m.info);
    return infos;
}

// The project's mix over its whole length as stereo floats; empty without sound.
inline std::vector<float> mixOf(const Project& p, const LTCInfos& ltc = {}) {
    const auto plan = makeAudioMix(p.tracks, p.media, ltc);
    if (!plan) return {};
    AudioMixReader reader(*plan, 0, p.duration());
    std::vector<float> out;
    while (auto b = reader.next()) {
        const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
        out.insert(out.end(), f, f + 2 * size_t(b->frameCount));
    }
    return out;
}

// Signal to noise of `ours` against `ref` in dB, over their common length.
inline double snr(const std::vector<float>& ours, const std::vector<float>& ref) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < std::min(ours.size(), ref.size()); ++i) {
        signal += double(ref[i]) * ref[i];
        noise += (double(ours[i]) - ref[i]) * (double(ours[i]) - ref[i]);
    }
    return noise <= 0 ? 200 : 10 * std::log10(signal / noise);
}

}  // namespace qm::test
