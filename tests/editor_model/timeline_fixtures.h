#pragma once
// Projects built in code over media the ffmpeg CLI makes at test time, for the renderer, mix and
// exporter tests.

#include <filesystem>
#include <string>
#include <vector>

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

inline Medium makeMedium(const std::filesystem::path& path, const std::vector<std::string>& ffmpegArgs) {
    std::vector<std::string> args = ffmpegArgs;
    args.push_back(path.string());
    ffmpeg(args);
    Medium m{path, MediaInfo::load(path, true), {}};
    m.item = MediaItem(QString::fromStdString(path.string()), m.info);
    return m;
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

}  // namespace qm::test
