// The editor's activities and their workers' lifetimes: stopped while busy, destroyed while a
// worker runs, a stopped run's late result dropped. Workers are held at a gate the test opens.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "editor_test_support.h"

namespace qm {
namespace {

// A worker step that waits until opened, told to stop, or past `hold` (so that a model destroyed
// meanwhile is not kept waiting for ever).
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> waiting{0};
    std::chrono::milliseconds hold{10000};
    void pass(std::stop_token stop = {}) {
        ++waiting;
        const auto limit = std::chrono::steady_clock::now() + hold;
        while (!open && !stop.stop_requested() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // a held worker leaves its core to the rest
        --waiting;
    }
};

struct GatedEditor {
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();  // pictures
    std::shared_ptr<Gate> comparing = std::make_shared<Gate>();  // sound comparisons
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<EditorModel> model;

    GatedEditor() {
        test::qtApp();
        EditorModel::Environment env;
        env.sound = false;
        // Each picture carries the number of the render call that drew it.
        env.render = [gate = gate, calls = calls](const Project&, const MediaInfos&, double) {
            QImage image(4, 4, QImage::Format_RGBA8888);
            image.setText("call", QString::number(++*calls));
            gate->pass();
            return image;
        };
        env.matchSound = [gate = comparing](auto, auto&, auto, auto&, auto, double, std::stop_token stop) {
            gate->pass(stop);
            return SoundMatch{};
        };
        model = std::make_unique<EditorModel>(env);
    }
    EditorModel* operator->() { return model.get(); }

    // A clip of a medium without a file, 2 s long, on its own layer from 0.
    QUuid addClip(const QString& name) {
        MediaItem item;
        item.id = QUuid::createUuid();
        item.name = name;
        item.path = QStringLiteral("/nowhere/") + name;
        item.width = item.height = 16;
        item.duration = 2;
        item.hasAudio = true;
        Project p = model->project();
        p.media.push_back(item);
        Clip c;
        c.id = QUuid::createUuid();
        c.mediaID = item.id;
        c.duration = 2;
        p.tracks.push_back(Track{QUuid::createUuid(), "Layer", {c}});
        model->setProject(std::move(p));
        return c.id;
    }
    static bool held(Gate& at) {
        return test::waitUntil([&] { return at.waiting > 0; });
    }
};

TEST(EditorActivities, PlaybackStoppedWhileDrawingDropsTheFrame) {
    GatedEditor e;
    e.addClip("a.mov");
    e->play();
    ASSERT_TRUE(e.held(*e.gate));  // the first frame is being drawn
    e->pause();
    EXPECT_FALSE(e->isPlaying());
    EXPECT_FALSE(e->playback().hasSound());
    e.gate->open = true;
    ASSERT_TRUE(test::waitUntil([&] { return !e->isRendering() && e.gate->waiting == 0; }));
    test::drainEvents();
    // The stopped run's frame (call 1) is never shown; the still after the pause (call 2) is.
    EXPECT_EQ(e->playbackFrames(), 0);
    EXPECT_EQ(e->previewImage().text("call"), "2");

    // Destroyed while a frame is drawn: waits for it, shows nothing.
    GatedEditor d;
    d.gate->hold = std::chrono::milliseconds(100);
    d.addClip("b.mov");
    d->play();
    ASSERT_TRUE(d.held(*d.gate));
    d.model.reset();
}

TEST(EditorActivities, SyncRunDestroyedOrCancelledWhileComparing) {
    for (const bool destroy : {false, true}) {
        GatedEditor e;
        const QUuid ref = e.addClip("ref.mov");
        e.addClip("other.mov");
        e.gate->open = true;
        e->syncClips(ref);
        ASSERT_TRUE(e.held(*e.comparing));
        if (destroy) {
            e.model.reset();  // stops the comparison and waits for it
            continue;
        }
        // A new project stops the comparison; the run ends, placing nothing into the new one.
        e->newProject();
        ASSERT_TRUE(test::waitUntil([&] { return !e->syncStatus(); }));
        EXPECT_TRUE(e->syncReport()->entries.empty());
    }
}

}  // namespace
}  // namespace qm
