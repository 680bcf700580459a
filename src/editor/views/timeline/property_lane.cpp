#include "editor/views/timeline/property_lane.h"

#include <cmath>
#include <map>

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "editor/frame_grid.h"
#include "editor/editor_model.h"
#include "editor/views/inspector/keyframe_glyph.h"
#include "editor/views/inspector/transform_property_row.h"
#include "editor/views/timeline/timeline_geometry.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

// Keyframes just outside the used media range still count as inside (stored times are rounded).
constexpr double rangeTolerance = 0.000001;

// A mark's glyph, painted once per look and device scale: a lane zoomed out shows thousands, and
// each painted afresh is a few antialiased paths.
const QImage& glyphImage(KeyframeEase easeIn, KeyframeEase easeOut, bool selected, qreal scale) {
    static std::map<std::pair<int, qreal>, QImage> cache;
    const int look = int(easeIn) * 6 + int(easeOut) * 2 + (selected ? 1 : 0);
    QImage& image = cache[{look, scale}];
    if (image.isNull()) {
        const int side = int(std::ceil((timeline::keyframeSize + 2) * scale));
        image = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        QPainter p(&image);
        paintKeyframeGlyph(p, QRectF(1, 1, timeline::keyframeSize, timeline::keyframeSize), easeIn, easeOut, selected);
    }
    return image;
}

QString propertyName(TransformProperty property) {
    return QCoreApplication::translate("TransformProperty", displayName(property));
}

}  // namespace

// --- Header ----------------------------------------------------------------------------------

PropertyHeader::PropertyHeader(EditorModel& editor, const QUuid& trackID, TransformProperty property, QWidget* parent)
    : QWidget(parent), editor_(editor), trackID_(trackID), property_(property) {
    setFixedHeight(int(timeline::propertyHeight));
    setAutoFillBackground(true);
    QPalette p = palette();
    QColor tint = p.color(QPalette::Text);
    tint.setAlphaF(0.025f);
    p.setColor(QPalette::Window, tint);
    setPalette(p);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(22, 0, 8, 0);
    connect(&editor_, &EditorModel::projectChanged, this, &PropertyHeader::refresh);
    connect(&editor_, &EditorModel::selectedClipIDChanged, this, &PropertyHeader::refresh);
    connect(&editor_, &EditorModel::playheadChanged, this, &PropertyHeader::refresh);
    refresh();
}

QString PropertyHeader::nameText() const {
    const auto* label = qobject_cast<QLabel*>(content_);
    return label ? label->text() : QString();
}

void PropertyHeader::refresh() {
    std::optional<Clip> clip;
    const auto& tracks = editor_.project().tracks;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].id == trackID_) clip = editor_.laneClip(i);
    const QUuid id = clip ? clip->id : QUuid();
    if (built_ && id == clipID_) {
        if (row_) row_->refresh();
        return;
    }
    // A different lane clip: the row is built anew for it (a row edits one clip for its lifetime).
    built_ = true;
    clipID_ = id;
    if (content_) {
        // The old row may be running the click that changed the lane clip.
        layout()->removeWidget(content_);
        content_->hide();
        content_->deleteLater();
    }
    row_ = nullptr;
    if (clip) {
        content_ = row_ = new TransformPropertyRow(editor_, id, property_, true, this);
    } else {
        auto* name = new QLabel(propertyName(property_), this);
        QPalette p = name->palette();
        p.setColor(QPalette::WindowText, secondaryColor(this));
        name->setPalette(p);
        name->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        content_ = name;
    }
    layout()->addWidget(content_);
}

namespace timeline {

// --- Lane ------------------------------------------------------------------------------------

QRectF spanBar(const Clip& clip, double pixelsPerSecond, double top) {
    return QRectF(originX + clip.start * pixelsPerSecond, top + 4, std::max(clip.duration * pixelsPerSecond, 1.0), 18);
}

std::vector<KeyframeMark> keyframeMarks(const Track& track, TransformProperty property, double pixelsPerSecond,
                                        double top) {
    std::vector<KeyframeMark> marks;
    for (const Clip& c : track.clips) {
        if (!c.transform) continue;
        for (const KeyframeListing& k : c.transform->allKeyframes()) {
            if (k.property != property) continue;
            const double t = c.start + k.time - c.sourceIn;
            const bool outside =
                k.time < c.sourceIn - rangeTolerance || k.time > c.sourceIn + c.duration + rangeTolerance;
            marks.push_back({c.id, k.id, k.easeIn, k.easeOut,
                             QRectF(originX + t * pixelsPerSecond - keyframeSize / 2, top + 7, keyframeSize, keyframeSize),
                             outside ? 0.4 : 1.0});
        }
    }
    return marks;
}

std::optional<KeyframeMark> markAt(const std::vector<KeyframeMark>& marks, QPointF point) {
    for (auto m = marks.rbegin(); m != marks.rend(); ++m)
        if (m->hitRect().contains(point)) return *m;
    return std::nullopt;
}

void paintPropertyLane(QPainter& painter, const EditorModel& editor, const Track& track, TransformProperty property,
                       double top, double left, double width, const QColor& primary, const QColor& accent) {
    QColor background = primary;
    background.setAlphaF(0.025f);
    painter.fillRect(QRectF(left, top, width, propertyHeight), background);
    const double pps = editor.pixelsPerSecond();
    if (!positive(pps)) return;
    const std::vector<KeyframeMark> marks = keyframeMarks(track, property, pps, top);
    std::size_t next = 0;
    for (const Clip& c : track.clips) {
        QColor bar = accent;
        bar.setAlphaF(c.id == editor.selectedClipID() ? 0.12f : 0.05f);
        const QRectF r = spanBar(c, pps, top);
        if (r.right() >= left && r.left() <= left + width) painter.fillRect(r, bar);
        // This clip's marks over its bar, under later clips.
        for (; next < marks.size() && marks[next].clipID == c.id; ++next) {
            const KeyframeMark& m = marks[next];
            if (m.hitRect().right() < left || m.hitRect().left() > left + width) continue;
            // On whole points, so the cached picture lands as painted.
            const QImage& glyph = glyphImage(m.easeIn, m.easeOut, editor.selectedKeyframes().contains(m.keyframeID),
                                             painter.device()->devicePixelRatioF());
            const double opacity = painter.opacity();
            painter.setOpacity(opacity * m.opacity);
            painter.drawImage(QPointF(std::round(m.glyph.left()) - 1, std::round(m.glyph.top()) - 1), glyph);
            painter.setOpacity(opacity);
        }
    }
}

QMenu* laneMenu(EditorModel& editor, QWidget* parent) {
    auto* menu = new QMenu(parent);
    QAction* paste = menu->addAction(QCoreApplication::translate("PropertyLane", "Paste Keyframes at Playhead"), menu,
                                     [&editor] { editor.pasteKeyframes(); });
    paste->setEnabled(editor.canPasteKeyframes());
    return menu;
}

QMenu* keyframeMenu(EditorModel& editor, const QUuid& clipID, const QUuid& keyframeID, QWidget* parent) {
    auto* menu = new QMenu(parent);
    // A command on one of several selected keyframes applies to all; on another, to it alone.
    const auto ensureSelected = [&editor, clipID, keyframeID] {
        if (!editor.selectedKeyframes().contains(keyframeID)) editor.selectKeyframe(keyframeID, clipID, false);
    };
    for (KeyframeInterpolation i : allKeyframeInterpolations)
        menu->addAction(QCoreApplication::translate("KeyframeInterpolation", label(i)), menu, [&editor, ensureSelected, i] {
            ensureSelected();
            editor.setInterpolation(i);
        });
    menu->addSeparator();
    menu->addAction(QCoreApplication::translate("PropertyLane", "Copy Keyframes"), menu, [&editor, ensureSelected] {
        ensureSelected();
        editor.copyKeyframes();
    });
    QAction* paste = menu->addAction(QCoreApplication::translate("PropertyLane", "Paste Keyframes at Playhead"), menu,
                                     [&editor, clipID] {
                                         editor.setSelectedClipID(clipID);
                                         editor.pasteKeyframes();
                                     });
    // The item selects this clip before pasting, so only the clipboard decides.
    paste->setEnabled(!editor.keyframeClipboard().empty());
    menu->addSeparator();
    menu->addAction(QCoreApplication::translate("PropertyLane", "Delete Keyframe"), menu, [&editor, ensureSelected] {
        ensureSelected();
        editor.deleteSelectedKeyframes();
    });
    return menu;
}

// --- Handle drag ---------------------------------------------------------------------------------

KeyframeDrag::KeyframeDrag(EditorModel& editor, QUuid clipID, QUuid keyframeID)
    : editor_(editor), clipID_(clipID), keyframeID_(keyframeID) {}

void KeyframeDrag::move(const QMouseEvent& event) {
    if (const auto c = tracker_.move(event)) change(*c);
}

void KeyframeDrag::release(const QMouseEvent& event) {
    if (const auto c = tracker_.move(event)) change(*c);
    if (!tracker_.release())
        editor_.selectKeyframe(keyframeID_, clipID_, event.modifiers().testFlag(Qt::ShiftModifier));
    finish();
}

void KeyframeDrag::cancel() {
    tracker_.cancel();
    finish();
}

void KeyframeDrag::finish() {
    // The gesture records a step only when the project changed (a drag under half a frame is none).
    if (applied_) editor_.endGesture();
    applied_.reset();
}

void KeyframeDrag::change(const DragTracker::Change& c) {
    const double pps = editor_.pixelsPerSecond();
    if (!positive(pps)) return;
    if (!applied_) {
        if (!editor_.selectedKeyframes().contains(keyframeID_))
            editor_.selectKeyframe(keyframeID_, clipID_, c.modifiers.testFlag(Qt::ShiftModifier));
        editor_.beginGesture();
        applied_ = 0.0;
    }
    const double s = frameShift(c.translation.x() / pps, editor_.project().frameRate);
    const double delta = s - *applied_;
    if (delta == 0) return;
    if (!editor_.selectedKeyframes().isEmpty()) editor_.moveKeyframes(clipID_, editor_.selectedKeyframes(), delta, false);
    applied_ = s;
}

}  // namespace timeline
}  // namespace qm
