#include "editor/views/timeline/timeline_content.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QHelpEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStaticText>
#include <QToolTip>

#include "editor/frame_grid.h"
#include "editor/editor_model.h"
#include "editor/views/timeline/graph_editor_view.h"
#include "view_kit/form_style.h"

namespace qm {

using namespace timeline;

TimelineContent::TimelineContent(EditorModel& editor, QWidget* parent)
    : QWidget(parent), editor_(editor), graph_(new GraphEditorView(editor, this)) {
    setMouseTracking(true);
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    const auto all = [this] {
        update();
        emit extentChanged();
    };
    connect(&editor_, &EditorModel::projectChanged, this, all);
    connect(&editor_, &EditorModel::pixelsPerSecondChanged, this, all);
    connect(&editor_, &EditorModel::expandedTracksChanged, this, all);
    connect(&editor_, &EditorModel::showGraphEditorChanged, this, all);
    connect(&editor_, &EditorModel::showGraphEditorChanged, this, &TimelineContent::placeGraph);
    connect(&editor_, &EditorModel::selectedClipIDChanged, this, qOverload<>(&QWidget::update));
    connect(&editor_, &EditorModel::selectedKeyframesChanged, this, qOverload<>(&QWidget::update));
    connect(&editor_, &EditorModel::waveformsChanged, this, [this] {
        stamps_.forgetWaveforms();
        update();
    });
    connect(&editor_, &EditorModel::ltcChanged, this, qOverload<>(&QWidget::update));
    connect(&editor_, &EditorModel::playheadChanged, this, &TimelineContent::repaintPlayhead);
    paintedPlayheadX_ = playheadX();
    placeGraph();
}

void TimelineContent::setScrollX(double x) {
    if (!std::isfinite(x) || x == scrollX_) return;
    scrollX_ = x;
    graph_->setScrollX(x);
    update();
}

void TimelineContent::setGraphHeight(double height) {
    if (height == graphHeight_) return;
    graphHeight_ = height;
    placeGraph();
    update();
}

void TimelineContent::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeGraph();
}

void TimelineContent::placeGraph() {
    const double h = std::isfinite(graphHeight_) ? std::clamp(graphHeight_, 0.0, 1e6) : 0.0;
    graph_->setGeometry(0, int(rulerHeight), width(), int(std::ceil(h)));
    graph_->setScrollX(scrollX_);
    graph_->setVisible(editor_.showGraphEditor());
}

TimelineGeometry TimelineContent::geometry() const { return TimelineGeometry(editor_, width(), graphHeight_); }

double TimelineContent::playheadX() const {
    const double x = originX + editor_.playhead() * editor_.pixelsPerSecond() - scrollX_;
    return std::isfinite(x) ? x : -100;
}

void TimelineContent::repaintPlayhead() {
    // Only the two strips the line and its handle leave and enter.
    const double now = playheadX();
    for (double x : {paintedPlayheadX_, now}) {
        update(QRect(pixelOf(std::floor(x)) - 7, 0, 15, height()));
        if (graph_->isVisible()) graph_->update(QRect(pixelOf(std::floor(x)) - 7, 0, 15, graph_->height()));
    }
    paintedPlayheadX_ = now;
}

// --- Pointer -------------------------------------------------------------------------------------

void TimelineContent::seekRuler(double widgetX) {
    const double pps = editor_.pixelsPerSecond();
    if (positive(pps)) editor_.seek((widgetX + scrollX_ - originX) / pps);
}

void TimelineContent::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const QPointF p = toContent(event->position());
    if (p.y() < rulerHeight) {
        rulerDrag_ = true;
        seekRuler(event->position().x());
        return;
    }
    if (const auto mark = keyframeAt(p)) {
        keyframeDrag_.emplace(editor_, mark->clipID, mark->keyframeID);
        keyframeDrag_->press(*event);
        return;
    }
    if (propertyRowAt(p)) {
        // The empty lane: the keyframe selection goes, the clip stays (not an undo step).
        editor_.setSelectedKeyframes({});
        return;
    }
    const TimelineGeometry g = geometry();
    if (const auto hit = g.hit(p)) {
        const Clip& c = editor_.project().tracks[hit->track].clips[hit->index];
        drag_ = Drag{hit->part, c.id, hit->track, std::nullopt, 0};
        tracker_ = DragTracker(hit->part == ClipPart::body ? 3.0 : 1.0);
        tracker_.press(*event);
        return;
    }
    if (g.laneAt(p.y())) {
        editor_.setSelectedClipID({});
        seekRuler(event->position().x());
    }
}

void TimelineContent::mouseMoveEvent(QMouseEvent* event) {
    if (rulerDrag_) return seekRuler(event->position().x());
    if (keyframeDrag_) return keyframeDrag_->move(*event);
    if (drag_) {
        if (const auto change = tracker_.move(*event)) dragChanged(*change);
        return;
    }
    // Hover: the resize cursor over trim zones.
    const auto hit = geometry().hit(toContent(event->position()));
    const bool trim = hit && (hit->part == ClipPart::start || hit->part == ClipPart::end);
    if (trim)
        setCursor(Qt::SizeHorCursor);
    else
        unsetCursor();
}

void TimelineContent::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    if (rulerDrag_) {
        rulerDrag_ = false;
        return;
    }
    if (keyframeDrag_) {
        auto d = std::move(*keyframeDrag_);
        keyframeDrag_.reset();
        d.release(*event);
        return;
    }
    if (!drag_) return;
    if (const auto change = tracker_.move(*event)) dragChanged(*change);
    const bool dragged = tracker_.release();
    // A press that never became a drag is a click on the block, handles included.
    if (!dragged) editor_.setSelectedClipID(drag_->clipID);
    finishDrag();
}

void TimelineContent::dragChanged(const DragTracker::Change& change) {
    Drag& d = *drag_;
    const double pps = editor_.pixelsPerSecond();
    if (!d.origin) {
        const auto clip = editor_.clip(d.clipID);
        if (!clip || !positive(pps)) return;
        d.origin = *clip;
        if (d.part == ClipPart::body || d.part == ClipPart::start || d.part == ClipPart::end)
            editor_.setSelectedClipID(d.clipID);
        editor_.beginGesture();
    }
    const Clip& o = *d.origin;
    const double tx = change.translation.x(), ty = change.translation.y();
    switch (d.part) {
        case ClipPart::body: {
            const double dx = std::abs(tx) < 6 && std::abs(ty) > 12 ? 0.0 : tx;
            const double t = o.start + dx / pps;
            const auto s = editor_.snap(t, o.id);
            const auto e = editor_.snap(t + o.duration, o.id);
            // The start's snap, unless the end's is nearer; the end alone never pulls the clip.
            // Told by the flags, as t + D − D need not give back t; corrections that differ by
            // rounding alone are a tie, which the start wins.
            constexpr double tie = 1e-9;
            double start = t;
            if (s.snapped)
                start = e.snapped && std::abs(e.time - (t + o.duration)) < std::abs(s.time - t) - tie
                            ? e.time - o.duration
                            : s.time;
            if (const auto at = editor_.project().clipLocation(o.id)) editor_.moveClipInModel(at->track, at->clip, std::nullopt, start);
            d.verticalOffset = ty;
            update();
            break;
        }
        case ClipPart::start: editor_.trimClipStart(o.id, editor_.snapTime(o.start + tx / pps, o.id)); break;
        case ClipPart::end: editor_.trimClipEnd(o.id, editor_.snapTime(o.start + o.duration + tx / pps, o.id)); break;
        case ClipPart::fadeIn:
        case ClipPart::fadeOut: {
            const bool in = d.part == ClipPart::fadeIn;
            const double v = frameRounded(in ? o.fadeIn + tx / pps : o.fadeOut - tx / pps, editor_.project().frameRate);
            if (in)
                editor_.setClipFades(o.id, v, std::nullopt, false);
            else
                editor_.setClipFades(o.id, std::nullopt, v, false);
            break;
        }
    }
}

void TimelineContent::finishDrag() {
    if (!drag_) return;
    Drag d = std::move(*drag_);
    drag_.reset();
    if (d.origin && d.part == ClipPart::body) {
        const auto count = std::ptrdiff_t(editor_.project().tracks.size());
        const std::ptrdiff_t rows = layerRows(d.verticalOffset);
        const std::ptrdiff_t target = std::clamp(std::ptrdiff_t(d.track) + rows, std::ptrdiff_t(0), count - 1);
        const auto at = editor_.project().clipLocation(d.clipID);
        if (at && target != std::ptrdiff_t(at->track)) {
            const double start = editor_.project().tracks[at->track].clips[at->clip].start;
            editor_.moveClipInModel(at->track, at->clip, target, start);
        }
    }
    if (d.origin) editor_.endGesture();
    update();
}

bool TimelineContent::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const auto hit = geometry().hit(toContent(help->pos()));
        QString text;
        if (keyframeAt(toContent(help->pos())))
            text = tr("Click to select (Shift to add), drag to move, right-click for interpolation");
        if (hit && hit->part == ClipPart::fadeIn) text = tr("Drag to set fade in");
        if (hit && hit->part == ClipPart::fadeOut) text = tr("Drag to set fade out");
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    if (event->type() == QEvent::Leave || event->type() == QEvent::UngrabMouse) {
        // A lost pointer ends a drag as a release would.
        if (keyframeDrag_ && event->type() == QEvent::UngrabMouse) {
            keyframeDrag_->cancel();
            keyframeDrag_.reset();
        }
        if (drag_ && event->type() == QEvent::UngrabMouse) {
            tracker_.release();
            finishDrag();
        }
        rulerDrag_ = rulerDrag_ && event->type() != QEvent::UngrabMouse;
    }
    return QWidget::event(event);
}

QMenu* TimelineContent::clipMenu(const QUuid& clipID, QWidget* parent) {
    auto* menu = new QMenu(parent);
    const auto select = [this, clipID] { editor_.setSelectedClipID(clipID); };
    menu->addAction(tr("Split at Playhead"), this, [this, select] {
        select();
        editor_.splitAtPlayhead();
    });
    menu->addAction(tr("Duplicate"), this, [this, select] {
        select();
        editor_.duplicateClip();
    });
    menu->addSeparator();
    QAction* sync = menu->addAction(tr("Sync Other Clips to This"), this, [this, select] {
        select();
        editor_.syncClips(editor_.selectedClipID());
    });
    sync->setEnabled(!editor_.syncStatus().has_value());
    menu->addSeparator();
    menu->addAction(tr("Delete"), this, [this, select] {
        select();
        editor_.deleteSelection();
    });
    return menu;
}

std::optional<std::pair<std::size_t, PropertyRow>> TimelineContent::propertyRowAt(QPointF p) const {
    const TimelineGeometry g = geometry();
    for (const LayerRow& row : g.rows())
        for (const PropertyRow& r : row.properties)
            if (p.y() >= r.top && p.y() < r.top + propertyHeight) return std::pair{row.track, r};
    return std::nullopt;
}

std::optional<KeyframeMark> TimelineContent::keyframeAt(QPointF p) const {
    const auto row = propertyRowAt(p);
    const double pps = editor_.pixelsPerSecond();
    if (!row || !positive(pps)) return std::nullopt;
    return markAt(keyframeMarks(editor_.project().tracks[row->first], row->second.property, pps, row->second.top), p);
}

void TimelineContent::contextMenuEvent(QContextMenuEvent* event) {
    const QPointF p = toContent(event->pos());
    QMenu* menu = nullptr;
    if (const auto mark = keyframeAt(p))
        menu = keyframeMenu(editor_, mark->clipID, mark->keyframeID, this);
    else if (propertyRowAt(p))
        menu = laneMenu(editor_, this);
    else if (const auto hit = geometry().hit(p))
        menu = clipMenu(editor_.project().tracks[hit->track].clips[hit->index].id, this);
    if (!menu) return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

// --- Drops -----------------------------------------------------------------------------------

void TimelineContent::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasText()) return;
    event->acceptProposedAction();
    dragMoveEvent(event);
}

void TimelineContent::dragMoveEvent(QDragMoveEvent* event) {
    const auto lane = geometry().laneAt(toContent(event->position()).y());
    if (lane != dropTarget_) {
        dropTarget_ = lane;
        update();
    }
    event->acceptProposedAction();
}

void TimelineContent::dragLeaveEvent(QDragLeaveEvent*) {
    dropTarget_.reset();
    update();
}

void TimelineContent::dropEvent(QDropEvent* event) {
    dropTarget_.reset();
    update();
    const QPointF p = toContent(event->position());
    const auto lane = geometry().laneAt(p.y());
    event->acceptProposedAction();
    const double pps = editor_.pixelsPerSecond();
    if (!lane || !positive(pps)) return;
    const double t = editor_.snapTime((p.x() - originX) / pps);
    // The bin sends one upper-case id; several, one a line, and lower case are taken too.
    for (const QString& line : event->mimeData()->text().split(u'\n', Qt::SkipEmptyParts)) {
        const QUuid id = QUuid::fromString(line.trimmed());
        if (!id.isNull()) editor_.addClipAtPlayhead(id, *lane, t);
    }
}

}  // namespace qm
