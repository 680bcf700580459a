// qm-bench editor-history [--clips N] [--keyframes K]: the editor's undo history on a large
// project (N clips on four layers, position, scale, rotation and opacity animated with K
// keyframes each): a canvas-size change with its undo and redo beside one Project::encoded(), and
// the heap that 200 one-clip edits (plain fields, keyframe values) add beside the heap of the
// project.

#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "editor/editor_model.h"
#include "registry.h"

namespace {

using Clock = std::chrono::steady_clock;

// Fixed three decimals: these are measurements, not values to read back.
std::string number(double v) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 3);
    return std::string(text, result.ptr);
}

double heapBytes() { return double(mallinfo2().uordblks); }

qm::Project bigProject(int clips, int keyframes) {
    qm::Project p = qm::Project::makeNew();
    qm::MediaItem media;
    media.id = QUuid::createUuid();
    media.name = "a.mov";
    media.path = "/nowhere/a.mov";
    media.width = 1920, media.height = 1080, media.duration = 20;
    p.media.push_back(media);
    while (p.tracks.size() < 4) {
        qm::Track t;
        t.id = QUuid::createUuid();
        t.name = qm::layerName(long(p.tracks.size()) + 1);
        p.tracks.push_back(t);
    }
    for (int i = 0; i < clips; ++i) {
        qm::Clip c;
        c.id = QUuid::createUuid();
        c.mediaID = media.id;
        c.start = (i / 4) * 20.0;
        c.duration = 20;
        c.transform = qm::ClipTransform::makeDefault({960, 540}, {960, 540}, 100);
        for (int k = 0; k < keyframes; ++k) {
            const double t = k * 1.0;
            c.transform->position.keyframes.push_back(qm::Keyframe<qm::Vec2>::make(t, {960.0 + k, 540.0 - k}));
            c.transform->scale.keyframes.push_back(qm::Keyframe<qm::Vec2>::make(t, {100.0 + k, 100.0 + k}));
            c.transform->rotation.keyframes.push_back(qm::Keyframe<double>::make(t, k * 3.0));
            c.transform->opacity.keyframes.push_back(qm::Keyframe<double>::make(t, 100.0 - k));
        }
        p.tracks[std::size_t(i % 4)].clips.push_back(c);
    }
    return p;
}

template <typename F>
double medianMs(int runs, F&& f) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto started = Clock::now();
        f(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

int editorHistory(const std::vector<std::string>& args) {
    int clips = 200, keyframes = 20;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--clips")
            clips = std::stoi(args[i + 1]);
        else if (args[i] == "--keyframes")
            keyframes = std::stoi(args[i + 1]);
        else
            throw std::invalid_argument("unknown option " + args[i]);
    }
    if (args.size() % 2 || clips < 1 || keyframes < 0) throw std::invalid_argument("usage: editor-history [--clips N] [--keyframes K]");
    int argc = 1;
    char name[] = "qm-bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    qm::EditorModel::Environment quiet;
    quiet.render = [](const qm::Project&, const qm::MediaInfos&, double) { return QImage(); };
    qm::EditorModel model(quiet);
    model.setProject(bigProject(clips, keyframes));

    const double encodedMs = medianMs(21, [&](int) { (void)model.project().encoded(); });
    const double sizeMs = medianMs(21, [&](int i) {
        model.setProjectSize(i % 2 ? 1920 : 1280, i % 2 ? 1080 : 720);
        model.undo();
        model.redo();
    });

    // The heap of one project as built (copies share its keyframe lists, so a copy says too
    // little), and what 200 one-clip edits add to a fresh history.
    const double beforeBuild = heapBytes();
    auto built = std::make_unique<qm::Project>(bigProject(clips, keyframes));
    const double projectBytes = heapBytes() - beforeBuild;
    qm::EditorModel fresh(quiet);
    fresh.setProject(std::move(*built));
    built.reset();
    std::vector<QUuid> ids;
    for (const auto& t : fresh.project().tracks)
        for (const auto& c : t.clips) ids.push_back(c.id);
    // The first step copies the whole project into the history, which every later step shares.
    const double beforeEdits = heapBytes();
    double firstBytes = 0;
    for (int i = 0; i < 200; ++i) {
        fresh.setClipVolume(ids[std::size_t(i) % ids.size()], 0.5 + i * 0.001, true);
        if (i == 0) firstBytes = heapBytes() - beforeEdits;
    }
    const double editBytes = heapBytes() - beforeEdits;
    // The same with keyframe values: each edit also copies the one keyframe list it writes.
    qm::EditorModel keyed(quiet);
    keyed.setProject(fresh.project());
    const double beforeKeyed = heapBytes();
    for (int i = 0; i < 200; ++i)
        keyed.setPropertyValue(qm::TransformProperty::opacity, ids[std::size_t(i) % ids.size()], 50.0 + i * 0.1, true);
    const double keyedBytes = heapBytes() - beforeKeyed;

    std::printf("editor-history clips=%d keyframes=%d encoded_ms=%s size_undo_redo_ms=%s ratio=%s project_kb=%s "
                "edits_kb=%s memory_ratio=%s first_edit_kb=%s later_edits_ratio=%s keyframe_edits_ratio=%s\n",
                clips, keyframes, number(encodedMs).c_str(), number(sizeMs).c_str(), number(sizeMs / encodedMs).c_str(),
                number(projectBytes / 1024).c_str(), number(editBytes / 1024).c_str(),
                number(editBytes / projectBytes).c_str(), number(firstBytes / 1024).c_str(),
                number((editBytes - firstBytes) / projectBytes).c_str(), number(keyedBytes / projectBytes).c_str());
    return 0;
}

const qm::bench::Register registered("editor-history", "[--clips N] [--keyframes K]", editorHistory);

}  // namespace
