// The editor model's state: history, gestures, preview requests, zoom, title, layers, preview
// sizes and the eyedropper's pixel read.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include <QSignalSpy>

#include "editor/editor_preview.h"
#include "editor_test_support.h"
#include "platform/media/pixel_buffer.h"

namespace qm {
namespace {

using test::CountingEditor;

TEST(EditorState, HistoryKeepsTheLast200StepsAndSharesUnchangedClips) {
    CountingEditor e;
    const QUuid media = e.addMedia(10);
    for (int i = 0; i < 10; ++i) e->addClipAtPlayhead(media, 0, i * 10.0);
    const QUuid first = e.clipAt(0, 0).id;
    std::vector<Project> before;
    for (int i = 0; i < 250; ++i) {
        before.push_back(e->project());
        e->setClipVolume(first, 1.0 + (i + 1) * 0.01, true);
    }
    ASSERT_EQ(e->undoCount(), 200u);
    // Entry 0 is the project before the 51st edit.
    EXPECT_EQ(e->history().undoEntry(0), before[50]);
    EXPECT_EQ(e->history().undoEntry(199), before[249]);
    // Nine of the ten clips are the same objects in neighbouring snapshots.
    EXPECT_EQ(e->history().undoSnapshot(198).sharedClips(e->history().undoSnapshot(199)), 9u);
    for (int i = 249; i >= 50; --i) {
        e->undo();
        ASSERT_EQ(e->project(), before[std::size_t(i)]);
    }
    const bool dirty = e->isDirty();
    e->undo();  // empty: nothing, no render
    EXPECT_EQ(e->isDirty(), dirty);
    EXPECT_EQ(e->redoCount(), 200u);
    e->setClipVolume(first, 3, true);
    EXPECT_EQ(e->redoCount(), 0u);
}

// Every volume the model keeps can be saved and opened again: one beyond the sound mix's, which
// opening refuses, is not taken, however it comes.
TEST(EditorState, AVolumeBeyondTheMixIsNotTaken) {
    CountingEditor e;
    e->addClipAtPlayhead(e.addMedia(10), 0, 0);
    const QUuid id = e->selectedClipID();
    e->setClipVolume(id, -1e30, true);
    e->setClipVolume(id, 1e308, true);
    e->updateClip(id, true, [](Clip& c) { c.volume = 2e30; });
    EXPECT_EQ(e.clipAt(0, 0).volume, -1e30);
    const QByteArray saved = e->project().encoded();
    EXPECT_EQ(Project::decode(std::string_view(saved.constData(), std::size_t(saved.size()))).tracks[0].clips[0].volume, -1e30);
}

TEST(EditorState, KeyframeListsAreSharedUntilWrittenAndHistoryStaysIntact) {
    CountingEditor e;
    e->addClipAtPlayhead(e.addMedia(10), 0, 0);
    const QUuid id = e->selectedClipID();
    e->toggleKeyframeAtPlayhead(id, TransformProperty::opacity);
    const Project kept = e->project();
    e->setPropertyValue(TransformProperty::rotation, id, 5.0, true);
    const auto& live = e.clipAt(0, 0).transform->opacity.keyframes;
    EXPECT_TRUE(e->history().undoEntry(e->undoCount() - 1).tracks[0].clips[0].transform->opacity.keyframes.sharesStorageWith(live));
    e->setPropertyValue(TransformProperty::opacity, id, 40.0, true);
    EXPECT_EQ(e.clipAt(0, 0).transform->opacity.keyframes[0].value, 40);
    e->undo();
    e->undo();
    EXPECT_EQ(e->project(), kept);
}

TEST(EditorState, UndoKeepsOrDropsTheSelectionAndAlwaysDirties) {
    CountingEditor e;
    const QUuid media = e.addMedia(5);
    e->addClipAtPlayhead(media);
    const QUuid id = e->selectedClipID();
    ASSERT_FALSE(id.isNull());
    e->setIsDirty(false);  // as after a save
    e->beginGesture();
    e->moveClipInModel(0, 0, std::nullopt, 2.0);
    e->endGesture();
    e->setSelectedKeyframes({QUuid::createUuid()});
    e->undo();  // the move: selection stays
    EXPECT_EQ(e->selectedClipID(), id);
    EXPECT_EQ(e->selectedKeyframes().size(), 1u);
    EXPECT_TRUE(e->isDirty());
    QSignalSpy selection(e.model.get(), &EditorModel::selectedClipIDChanged);
    QSignalSpy playhead(e.model.get(), &EditorModel::playheadChanged);
    e->setSelectedClipID(id);  // the same id: no news, keyframes kept
    e->seek(e->playhead());
    EXPECT_EQ(selection.count() + playhead.count(), 0);
    EXPECT_EQ(e->selectedKeyframes().size(), 1u);
    e->undo();  // the add: the clip is gone
    EXPECT_TRUE(e->selectedClipID().isNull());
    EXPECT_TRUE(e->selectedKeyframes().isEmpty());
}

TEST(EditorState, GestureIsOneStepAndAnUnchangedOneIsNone) {
    CountingEditor e;
    const QUuid media = e.addMedia(5);
    e->addClipAtPlayhead(media);
    const QUuid id = e->selectedClipID();
    e->setIsDirty(false);
    const std::size_t steps = e->undoCount();
    e->beginGesture();
    for (double v : {10.0, 20.0, 30.0}) e->setPropertyValue(TransformProperty::rotation, id, v, false);
    e->setPropertyValue(TransformProperty::rotation, id, 0.0, false);
    e->endGesture();
    EXPECT_EQ(e->undoCount(), steps);
    EXPECT_FALSE(e->isDirty());
    e->beginGesture();
    for (double v : {10.0, 20.0}) e->setPropertyValue(TransformProperty::rotation, id, v, false);
    e->undo();  // ends the gesture first, then undoes it whole
    EXPECT_EQ(e->undoCount(), steps);
    EXPECT_EQ(e->transform(id)->rotation.value, 0);
    // A command that changes nothing records nothing.
    e->setIsDirty(false);
    e->setClipVolume(id, e.clipAt(0, 0).volume, true);
    e->moveKeyframes(id, {QUuid::createUuid()}, 1.0, true);
    e->setClipVolume(id, std::numeric_limits<double>::quiet_NaN(), true);
    EXPECT_EQ(e->undoCount(), steps);
    EXPECT_FALSE(e->isDirty());
}

TEST(EditorState, RenderRequestsCoalesceAndNoneWhilePlaying) {
    CountingEditor e;
    ASSERT_TRUE(e.idle());
    QSignalSpy images(e.model.get(), &EditorModel::previewImageChanged);
    for (int i = 0; i < 10; ++i) e->requestRender();
    EXPECT_TRUE(e->isRendering());
    ASSERT_TRUE(e.idle());
    EXPECT_EQ(*e.renders, 1);
    EXPECT_EQ(images.count(), 1);
    EXPECT_FALSE(e->renderPending());

    const QUuid media = e.addMedia(5);
    e->addClipAtPlayhead(media);
    ASSERT_TRUE(e.idle());
    *e.renders = 0;
    e->play();
    ASSERT_TRUE(e->isPlaying());
    e->requestRender();
    EXPECT_FALSE(e->renderPending());
    EXPECT_FALSE(e->isRendering());
    e->pause();
    ASSERT_TRUE(e.idle());
    EXPECT_EQ(*e.renders, 1);
}

TEST(EditorState, ZoomAndTitle) {
    CountingEditor e;
    struct Case {
        double from, factor, expected;
    };
    for (const Case& c : {Case{700, 1.5, 800}, Case{5, 2.0 / 3.0, 4}, Case{100, std::nan(""), 100}}) {
        e->setPixelsPerSecond(c.from);
        e->zoomTimeline(c.factor);
        EXPECT_DOUBLE_EQ(e->pixelsPerSecond(), c.expected) << c.from << " × " << c.factor;
    }
    e->zoomToFit();  // empty project: nothing
    EXPECT_DOUBLE_EQ(e->pixelsPerSecond(), 100);
    e->addClipAtPlayhead(e.addMedia(10));
    for (auto [viewport, expected] : {std::pair{800.0, 76.4}, std::pair{100.0, 10.0}}) {
        e->setTimelineViewportWidth(viewport);
        e->zoomToFit();
        EXPECT_DOUBLE_EQ(e->pixelsPerSecond(), expected);
    }
}

TEST(EditorState, LayerCommands) {
    CountingEditor e;
    e->addTrack();
    e->addTrack();
    e->addTrack();
    EXPECT_EQ(e->project().tracks[0].name, "Layer 4");
    e->undo();
    EXPECT_EQ(e->project().tracks.size(), 3u);
    const std::size_t steps = e->undoCount();
    e->moveTrack(0, -1);
    e->moveTrack(2, +1);
    e->deleteTrack(9);
    e->toggleTrackVisibility(3, true);
    EXPECT_EQ(e->undoCount(), steps);
    const QUuid top = e->project().tracks[0].id;
    e->moveTrack(0, +1);
    EXPECT_EQ(e->project().tracks[1].id, top);
    e->toggleTrackVisibility(1, false);
    EXPECT_FALSE(e->project().tracks[1].isVisible);
    EXPECT_EQ(e->undoCount(), steps + 1);
    e->toggleTrackAudio(1, true);
    EXPECT_FALSE(e->project().tracks[1].isAudioEnabled);

    CountingEditor single;
    single->addClipAtPlayhead(single.addMedia(3));
    const QUuid clip = single->project().tracks[0].clips[0].id;
    single->setSelectedClipID(clip);
    const Project before = single->project();
    single->deleteTrack(0);
    EXPECT_EQ(single->selectedClipID(), clip);
    ASSERT_EQ(single->project().tracks.size(), 1u);
    EXPECT_EQ(single->project().tracks[0].name, "Layer 1");
    EXPECT_NE(single->project().tracks[0].id, before.tracks[0].id);
    single->undo();
    EXPECT_EQ(single->project(), before);
    single->duplicateClip();  // the clip came back selected
    EXPECT_EQ(single->project().tracks[0].clips.size(), 2u);
}

TEST(EditorState, PreviewSizes) {
    struct Case {
        int w, h, pw, ph;
    };
    for (const Case& c : {Case{1920, 1080, 1280, 720}, Case{3840, 2160, 1280, 720}, Case{1280, 1024, 900, 720},
                          Case{640, 360, 640, 360}, Case{16, 16, 16, 16}, Case{20000, 10, 1280, 1}}) {
        EXPECT_EQ(previewSize(c.w, c.h), QSize(c.pw, c.ph)) << c.w << "x" << c.h;
    }
}

TEST(EditorState, PreviewOfAnOpaqueBackgroundSaysItHasNoAlpha) {
    // The viewer paints nothing under a picture without alpha; over a transparent background the
    // picture keeps its alpha.
    CompositionRenderer renderer;
    Project project;
    project.width = 64, project.height = 36;
    for (bool transparent : {false, true}) {
        project.transparentBackground = transparent;
        const QImage picture = renderFrame(renderer, project, {}, 0.0);
        ASSERT_EQ(picture.size(), QSize(64, 36));
        EXPECT_EQ(picture.hasAlphaChannel(), transparent);
        EXPECT_EQ(picture.pixelColor(5, 5), transparent ? QColor(0, 0, 0, 0) : QColor(Qt::black));
    }
}

// The mean under the click, edges included, is EditorEyedropper.PicksTheMeanOfFfmpegsFrameUnderTheClick's;
// here the points and formats it refuses.
TEST(EditorState, ReadPixelColorRefusesPointsOffThePicture) {
    auto buffer = PixelBuffer::create(8, 6, kPixelFormatBGRA);
    ASSERT_TRUE(buffer);
    std::fill_n(buffer->data(), buffer->bytesPerRow() * 6, uint8_t(0));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(readPixelColor(*buffer, -0.5, 0));  // half a pixel out still rounds onto the picture
    for (auto [x, y] : {std::pair{-1.0, 0.0}, {8.0, 0.0}, {0.0, 6.0}, {std::nan(""), 0.0}, {inf, 0.0}, {1e300, 0.0}})
        EXPECT_FALSE(readPixelColor(*buffer, x, y)) << x << "," << y;
    auto rgba = PixelBuffer::create(8, 6, kPixelFormatRGBA64LE);
    ASSERT_TRUE(rgba);
    EXPECT_FALSE(readPixelColor(*rgba, 1, 1));
}

}  // namespace
}  // namespace qm
