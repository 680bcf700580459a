#pragma once
// An editor model with a scripted desktop whose previews record their times, and short media
// made by ffmpeg, for the document, media, packaging, export and playback tests.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QFuture>

#include "editor/editor_model.h"
#include "editor/editor_test_support.h"
#include "support/scripted_desktop.h"
#include "support/test_support.h"

namespace qm::test {

namespace fs = std::filesystem;

inline QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

// One second of a test picture (MOV whatever the name), with a 1 kHz tone when asked.
inline void makeMovie(const fs::path& path, const std::string& rate = "30", bool audio = false) {
    fs::create_directories(path.parent_path());
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=64x36:rate=" + rate + ":duration=1"};
    if (audio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=1000:duration=1", "-c:a", "aac"});
    args.insert(args.end(), {"-c:v", "mpeg4", "-pix_fmt", "yuv420p", "-f", "mov", path.string()});
    ffmpeg(args);
}

struct Editor {
    ScriptedDesktop desktop;
    std::shared_ptr<std::vector<double>> renderedAt = std::make_shared<std::vector<double>>();
    std::unique_ptr<EditorModel> model;
    EditorModel& m;

    Editor() : model(make(desktop, renderedAt)), m(*model) {}
    static std::unique_ptr<EditorModel> make(ScriptedDesktop& desktop, std::shared_ptr<std::vector<double>> at) {
        qtApp();
        EditorModel::Environment env;
        env.desktop = &desktop;
        env.render = [at](const Project&, const MediaInfos&, double t) {
            at->push_back(t);  // renders run one at a time
            return QImage(4, 4, QImage::Format_RGBA8888);
        };
        return std::make_unique<EditorModel>(env);
    }
    void await(const QFuture<void>& f) { ASSERT_TRUE(waitUntil([&] { return f.isFinished(); })); }
    void settle() { ASSERT_TRUE(waitUntil([&] { return !m.isProbing() && !m.isRendering(); })); }
    // Imports the files and lays one clip of each end to end on the first track.
    void importAndPlace(const std::vector<fs::path>& files) {
        QStringList paths;
        for (const auto& f : files) paths.append(q(f));
        await(m.importFiles(paths));
        double at = 0;
        for (const MediaItem& item : m.project().media) {
            m.addClipAtPlayhead(item.id, std::size_t(0), at);
            at += item.duration;
        }
    }
};

}  // namespace qm::test
