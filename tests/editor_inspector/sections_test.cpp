// The panel on a real editor model: rows, sections, project settings and whole sessions.

#include <gtest/gtest.h>

#include <random>

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>
#include <QWheelEvent>

#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/curve_editor.h"
#include "editor/views/inspector/effect_sections.h"
#include "editor/views/inspector/scrub_field.h"
#include "editor/views/inspector/slider_row.h"
#include "inspector_test_support.h"

namespace qm {
namespace {

using test::Panel;

void scrub(Panel& panel, const QString& name, std::vector<int> dx) {
    ScrubField* field = panel.find<ScrubField>(name);
    ASSERT_NE(field, nullptr) << name.toStdString();
    test::dragBy(field, {20, 8}, dx);
}

void click(Panel& panel, const QString& name) {
    auto* button = panel.find<QAbstractButton>(name);
    ASSERT_NE(button, nullptr) << name.toStdString();
    button->click();
    QApplication::processEvents();
}

void type(Panel& panel, const QString& name, const QString& text) {
    ScrubField* field = panel.find<ScrubField>(name);
    ASSERT_NE(field, nullptr);
    QTest::mouseClick(field, Qt::LeftButton);
    field->editor()->setText(text);
    QTest::keyClick(field->editor(), Qt::Key_Return);
}

TEST(TransformRows, EditsAreKeyframeAwareAndOneStepEach) {
    Panel panel;
    scrub(panel, QStringLiteral("rotation.value"), {10, 20, 30});
    EXPECT_DOUBLE_EQ(panel.transform().rotation.value, 15);
    EXPECT_EQ(panel.editor->undoCount(), 2u);  // the clip, then the drag
    type(panel, QStringLiteral("rotation.value"), QStringLiteral("40"));
    type(panel, QStringLiteral("opacity.value"), QStringLiteral("100"));  // the shown number: no step
    EXPECT_EQ(panel.editor->undoCount(), 3u);

    EXPECT_EQ(panel.find<QWidget>(QStringLiteral("position.keyframe")), nullptr);
    click(panel, QStringLiteral("position.stopwatch"));
    ASSERT_EQ(panel.transform().position.keyframes.size(), 1u);
    EXPECT_EQ(panel.transform().position.keyframes[0].value, panel.transform().position.value);
    ASSERT_NE(panel.find<QWidget>(QStringLiteral("position.keyframe")), nullptr);
    panel.editor->seek(2);
    scrub(panel, QStringLiteral("position.x"), {10});  // between keyframes: a new one at the playhead
    EXPECT_EQ(panel.transform().position.keyframes.size(), 2u);
    click(panel, QStringLiteral("position.stopwatch"));  // off: the value at the playhead stays
    EXPECT_TRUE(panel.transform().position.keyframes.empty());
    EXPECT_DOUBLE_EQ(panel.transform().position.value.x, 960 + 10);  // the canvas centre, moved
}

TEST(TransformRows, UniformScaleKeepsTheGesturesRatioThroughZero) {
    Panel panel;
    click(panel, QStringLiteral("scale.link"));
    type(panel, QStringLiteral("scale.y"), QStringLiteral("50"));  // 100 × 50
    click(panel, QStringLiteral("scale.link"));
    EXPECT_EQ(panel.transform().scale.value, (Vec2{100, 50}));
    type(panel, QStringLiteral("scale.x"), QStringLiteral("200"));
    EXPECT_EQ(panel.transform().scale.value, (Vec2{200, 100}));
    const std::size_t before = panel.editor->undoCount();
    scrub(panel, QStringLiteral("scale.x"), {-200, -400, -600, -200});  // through 0 and back to 100
    EXPECT_EQ(panel.transform().scale.value, (Vec2{100, 50}));
    EXPECT_EQ(panel.editor->undoCount(), before + 1);
    type(panel, QStringLiteral("scale.x"), QStringLiteral("0"));
    type(panel, QStringLiteral("scale.x"), QStringLiteral("30"));  // from 0 only x changes
    EXPECT_EQ(panel.transform().scale.value, (Vec2{30, 0}));
}

std::vector<QString> headers(Panel& panel) {
    std::vector<QString> texts;
    auto* inspector = panel.view->clipInspector();
    for (QWidget* w : inspector->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(inspector)) continue;
        if (w->objectName() == QStringLiteral("header")) texts.push_back(static_cast<QLabel*>(w)->text());
        if (auto* box = qobject_cast<QCheckBox*>(w); box && box->font().bold()) texts.push_back(box->text());
    }
    std::stable_sort(texts.begin(), texts.end(), [&](const QString& a, const QString& b) {
        const auto y = [&](const QString& t) {
            for (QWidget* w : inspector->findChildren<QWidget*>())
                if (auto* l = qobject_cast<QLabel*>(w); l && l->text() == t && w->isVisibleTo(inspector))
                    return w->mapTo(inspector, QPoint()).y();
                else if (auto* c = qobject_cast<QCheckBox*>(w); c && c->text() == t)
                    return w->mapTo(inspector, QPoint()).y();
            return 0;
        };
        return y(a) < y(b);
    });
    return texts;
}

TEST(ClipInspector, SectionsFollowTheMedia) {
    {
        Panel panel;
        EXPECT_EQ(headers(panel), (std::vector<QString>{"m0.mov", "Transform", "Chroma Key", "Color Correction",
                                                        "Compositing", "Fades", "Audio"}));
    }
    {
        Panel audioOnly(0);
        EXPECT_EQ(headers(audioOnly), (std::vector<QString>{"m0.mov", "Fades", "Audio"}));
    }
    {
        Panel missing;
        Project p = missing.editor->project();
        p.media.clear();
        missing.editor->setProject(p);
        QApplication::processEvents();
        EXPECT_EQ(headers(missing), (std::vector<QString>{"?", "Transform", "Chroma Key", "Color Correction",
                                                          "Compositing", "Fades"}));
    }
}

TEST(ClipInspector, FadesSnapAndTextsShowTheirValues) {
    Panel panel;
    Project p = panel.editor->project();
    p.frameRate = 25;
    panel.editor->setProject(p);
    auto* fadeIn = panel.find<SliderRow>(QStringLiteral("fadeIn"));
    for (const auto& [dragged, stored] : {std::pair{1.234, 1.24}, {-0.3, 0.0}, {std::nan(""), 0.0}}) {
        fadeIn->onChange(dragged, true);
        fadeIn->onEnd();
        EXPECT_DOUBLE_EQ(panel.clipRef().fadeIn, stored);
    }
    panel.editor->setClipFades(panel.clip, 1.24, std::nullopt, true);
    QApplication::processEvents();
    EXPECT_EQ(fadeIn->valueLabel()->text(), QStringLiteral("1.24 s"));
    panel.editor->setClipVolume(panel.clip, 1.234, true);
    QApplication::processEvents();
    EXPECT_EQ(panel.find<SliderRow>(QStringLiteral("volume"))->valueLabel()->text(), QStringLiteral("123%"));
    EXPECT_EQ(volumeText(std::numeric_limits<double>::infinity()), QStringLiteral("--"));
    EXPECT_EQ(fadeText(std::nan("")), QStringLiteral("--"));

    LTCInfo ltc;
    ltc.nominalRate = 25;
    ltc.measuredRate = 25;
    ltc.startFrame = 90000;
    ltc.channel = 1;
    Clip clip;
    clip.sourceIn = 2;
    clip.duration = 4;
    EXPECT_EQ(ltcTexts(ltc, clip), (QStringList{"01:00:02:00", "01:00:06:00", "25 fps", "Audio track 1, channel 2"}));
    ltc.startFrame = std::nan("");
    EXPECT_EQ(ltcTexts(ltc, clip)[0], QStringLiteral("--"));
}

TEST(KeyingSection, OneStepPerSwitchAndPerColourSession) {
    Panel panel;
    const std::size_t start = panel.editor->undoCount();
    click(panel, QStringLiteral("chromaKey"));
    EXPECT_TRUE(panel.transform().effects.keyEnabled);
    EXPECT_EQ(panel.editor->undoCount(), start + 1);
    click(panel, QStringLiteral("keyColor"));
    QColorDialog* dialog = panel.view->clipInspector()->keying()->colorDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->setCurrentColor(QColor::fromHsvF(0.5f, 1.0f, 1.0f));
    dialog->setCurrentColor(QColor::fromHsvF(0.0f, 0.5f, 0.5f));
    dialog->accept();
    QApplication::processEvents();
    const auto keyColorIs = [&](RGBColor c) {
        const RGBColor k = panel.transform().effects.keyColor;
        return std::abs(k.r - c.r) < 0.003 && std::abs(k.g - c.g) < 0.003 && std::abs(k.b - c.b) < 0.003;
    };
    EXPECT_TRUE(keyColorIs({0.5, 0.25, 0.25}));
    EXPECT_EQ(panel.editor->undoCount(), start + 2);

    click(panel, QStringLiteral("keyColor"));
    dialog = panel.view->clipInspector()->keying()->colorDialog();
    dialog->setCurrentColor(QColor(10, 20, 30));
    dialog->reject();
    QApplication::processEvents();
    EXPECT_TRUE(keyColorIs({0.5, 0.25, 0.25}));
    EXPECT_EQ(panel.editor->undoCount(), start + 2);

    // A deleted clip while the section still shows: nothing is written or recorded.
    KeyingSection section(*panel.editor, panel.clip);
    panel.editor->deleteSelection();
    const std::size_t afterDelete = panel.editor->undoCount();
    for (auto* box : section.findChildren<QCheckBox*>()) box->click();
    EXPECT_EQ(panel.editor->undoCount(), afterDelete);
}

TEST(ColorSection, ACurveDragIsOneStep) {
    Panel panel;
    click(panel, QStringLiteral("colorCorrection"));
    EXPECT_EQ(panel.find<QWidget>(QStringLiteral("resetCurve")), nullptr);
    CurveEditor* curve = panel.view->clipInspector()->color()->curveEditor();
    const std::size_t before = panel.editor->undoCount();
    test::dragBy(curve, curve->handleCentre(2).toPoint(), {5, 10, 15});
    EXPECT_EQ(panel.editor->undoCount(), before + 1);
    EXPECT_FALSE(isIdentityCurve(panel.transform().effects.curve));
    click(panel, QStringLiteral("resetCurve"));
    EXPECT_EQ(panel.transform().effects.curve, ToneCurve{});
    EXPECT_EQ(panel.find<QWidget>(QStringLiteral("resetCurve")), nullptr);
}

TEST(ProjectInspector, ShowsTheNearestRateAndRecordsOnlyChanges) {
    Panel panel;
    QSignalSpy exports(panel.view.get(), &InspectorView::exportRequested);
    QTest::keyClick(panel.view.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(exports.count(), 1);
    panel.editor->setSelectedClipID({});
    Project p = panel.editor->project();
    p.frameRate = 48;
    panel.editor->setProject(p);
    QApplication::processEvents();
    auto* rate = panel.find<QComboBox>(QStringLiteral("frameRate"));
    ASSERT_NE(rate, nullptr);
    EXPECT_EQ(rate->currentText(), QStringLiteral("50 fps"));
    EXPECT_DOUBLE_EQ(panel.editor->project().frameRate, 48);
    const std::size_t before = panel.editor->undoCount();
    const int thirty = rate->findText(QStringLiteral("30 fps"));
    emit rate->activated(thirty);
    emit rate->activated(thirty);  // the same choice again: no step
    EXPECT_EQ(panel.editor->undoCount(), before + 1);
    EXPECT_EQ(panel.find<QLabel>(QStringLiteral("length"))->text(), QStringLiteral("Duration 00:00:10:00 · 1 layer"));
    auto* width = panel.find<QLineEdit>(QStringLiteral("width"));
    width->setText(QStringLiteral("8"));
    emit width->editingFinished();
    EXPECT_EQ(panel.editor->project().width, 16);

    // Filled with the accent while enabled; disabled, the fill goes grey, not only the icon.
    QPushButton* exportButton = panel.view->exportButton();
    const auto fill = [&] {
        return exportButton->grab().toImage().pixelColor(exportButton->width() / 2, 4).toHsv();
    };
    EXPECT_GT(fill().saturation(), 80);
    panel.editor->deleteTrack(0);
    QApplication::processEvents();
    EXPECT_FALSE(exportButton->isEnabled());
    EXPECT_LT(fill().saturation(), 40);
    QTest::keyClick(panel.view.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(exports.count(), 1);
}

TEST(ProjectInspector, ASizeOffThePresetsHasItsOwnEntry) {
    Panel panel;
    panel.editor->setSelectedClipID({});
    panel.editor->setProjectSize(1000, 1000);
    QApplication::processEvents();
    auto* size = panel.find<QComboBox>(QStringLiteral("size"));
    ASSERT_EQ(size->count(), 6);
    EXPECT_EQ(size->currentText(), QStringLiteral("1000 × 1000"));
    const std::size_t before = panel.editor->undoCount();
    emit size->activated(5);  // the extra entry changes nothing
    emit size->activated(1);
    EXPECT_EQ(panel.editor->project().width, 1920);
    EXPECT_EQ(panel.editor->undoCount(), before + 1);
    EXPECT_EQ(size->count(), 5);
}

TEST(ClipInspector, TheWheelPassesOverAnUnfocusedSlider) {
    Panel panel;
    panel.view->resize(330, 300);  // the form scrolls
    QApplication::processEvents();
    SliderRow* volume = panel.find<SliderRow>(QStringLiteral("volume"));
    const QPoint at = volume->slider()->rect().center();
    QWheelEvent wheel(QPointF(at), volume->slider()->mapToGlobal(QPointF(at)), {}, QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(volume->slider(), &wheel);
    EXPECT_DOUBLE_EQ(panel.clipRef().volume, 1.0);
    volume->slider()->setFocus();
    QApplication::sendEvent(volume->slider(), &wheel);
    EXPECT_NE(panel.clipRef().volume, 1.0);
    EXPECT_EQ(panel.editor->undoCount(), 2u);  // one wheel step, one undo step
}

TEST(InspectorSession, ScrubsKeepTheirFieldAndUndoWritesNothingBack) {
    Panel panel;
    ScrubField* field = panel.find<ScrubField>(QStringLiteral("keySpill.value"));
    EXPECT_EQ(field, nullptr);  // hidden while keying is off
    click(panel, QStringLiteral("chromaKey"));
    field = panel.find<ScrubField>(QStringLiteral("keySpill.value"));
    ASSERT_NE(field, nullptr);
    test::dragBy(field, {20, 8}, {10, 20});
    EXPECT_EQ(panel.find<ScrubField>(QStringLiteral("keySpill.value")), field);
    const std::size_t undo = panel.editor->undoCount();
    panel.editor->undo();
    QApplication::processEvents();
    EXPECT_EQ(panel.editor->undoCount(), undo - 1);
    EXPECT_EQ(panel.editor->redoCount(), 1u);
    EXPECT_DOUBLE_EQ(panel.transform().keySpill.value, 50);
}

TEST(InspectorSession, ClosingThePanelMidDragEndsTheGesture) {
    Panel panel;
    ScrubField* field = panel.find<ScrubField>(QStringLiteral("rotation.value"));
    const auto send = [&](QEvent::Type type, QPoint at) {
        QMouseEvent event(type, QPointF(at), field->mapToGlobal(QPointF(at)), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(field, &event);
    };
    send(QEvent::MouseButtonPress, {20, 8});
    send(QEvent::MouseMove, {40, 8});
    EXPECT_TRUE(panel.editor->inGesture());
    panel.view.reset();
    EXPECT_FALSE(panel.editor->inGesture());
    EXPECT_EQ(panel.editor->undoCount(), 2u);
    EXPECT_DOUBLE_EQ(panel.transform().rotation.value, 10);
}

TEST(InspectorSession, RandomEventsAlwaysEncodeAndUndoToTheStart) {
    Panel panel;
    const QByteArray first = panel.editor->project().encoded();
    std::mt19937 random(21);
    const QStringList scrubbed = {"anchor.x", "position.y", "scale.x", "rotation.value", "opacity.value",
                                  "keyTolerance.value", "exposure.value", "saturation.value"};
    const QStringList clicked = {"chromaKey", "colorCorrection", "scale.link", "rotation.stopwatch",
                                 "position.keyframe", "showMatte", "resetKeying", "resetColor", "resetTransform"};
    for (int step = 0; step < 120; ++step) {
        switch (random() % 4) {
        case 0:
            if (auto* f = panel.find<ScrubField>(scrubbed[int(random() % scrubbed.size())]))
                test::dragBy(f, {20, 8}, {int(random() % 40) - 20, int(random() % 80) - 40});
            break;
        case 1:
            if (auto* b = panel.find<QAbstractButton>(clicked[int(random() % clicked.size())])) b->click();
            break;
        case 2:
            panel.editor->seek(double(random() % 100) / 10);
            break;
        default:
            if (auto* c = panel.view->clipInspector()->color()->curveEditor(); c->isVisibleTo(panel.view.get()))
                test::dragBy(c, c->handleCentre(int(random() % 5)).toPoint(), {int(random() % 30) - 15});
        }
        QApplication::processEvents();
        ASSERT_FALSE(panel.editor->project().encoded().isEmpty());
        ASSERT_FALSE(panel.editor->inGesture());
    }
    while (panel.editor->undoCount() > 1) panel.editor->undo();  // the clip itself stays
    EXPECT_EQ(panel.editor->project().encoded(), first);
}

}  // namespace
}  // namespace qm
