#include "editor/views/timeline/timeline_content.h"

#include <algorithm>
#include <cmath>

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStaticText>

#include "editor/frame_grid.h"
#include "editor/editor_model.h"
#include "editor/views/timeline/graph_editor_view.h"
#include "view_kit/form_style.h"

namespace qm {

using namespace timeline;

// --- Painting ----------------------------------------------------------------------------------

void TimelineContent::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRectF exposed = event->rect();
    painter.fillRect(exposed, palette().base());
    const TimelineGeometry g = geometry();
    painter.translate(-scrollX_, 0);
    const QRectF content = exposed.translated(scrollX_, 0);
    // The graph editor paints itself over the lanes' place.
    if (!editor_.showGraphEditor()) paintLanes(painter, g, content);
    paintRuler(painter, g, content);
    // The playhead over everything, its handle at the top.
    paintedPlayheadX_ = playheadX();
    const double x = paintedPlayheadX_ + scrollX_;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(x, 0, 1.5, g.lanesHeight() + rulerHeight), Qt::red);
    QPainterPath handle;
    handle.moveTo(x - 6, 0);
    handle.lineTo(x + 6, 0);
    handle.lineTo(x + 6, 8);
    handle.lineTo(x, 14);
    handle.lineTo(x - 6, 8);
    handle.closeSubpath();
    painter.fillPath(handle, Qt::red);
}

void TimelineContent::paintRuler(QPainter& painter, const TimelineGeometry& g, const QRectF& exposed) {
    if (exposed.top() >= rulerHeight) return;
    painter.fillRect(QRectF(exposed.left(), 0, exposed.width(), rulerHeight), palette().window());
    const double pps = g.pixelsPerSecond();
    const double step = rulerTickStep(pps, editor_.project().frameRate);
    if (!positive(step) || !positive(pps)) return;
    const double minor = step / 5;
    const double w = scrollX_ + width();
    const QColor secondary = secondaryColor(this);
    QColor major = secondary, small = secondary;
    major.setAlphaF(0.9f);
    small.setAlphaF(0.5f);
    QFont font = this->font();
    font.setPixelSize(9);
    painter.setFont(font);
    const QFontMetricsF labelMetrics(font);
    constexpr double kLabelInset = 7;
    // Ticks from the first whose label may reach into view (a label runs up to ~60 points right).
    const double first = std::max(0.0, std::floor((exposed.left() - originX - 70) / (minor * pps)));
    const double h = rulerHeight;
    // On whole device pixels a tick is the column of pixels a one-point line covers, filled as a
    // rectangle: the raster engine draws translucent aliased lines slowly.
    const QTransform device = painter.deviceTransform();
    const bool pixelGrid = device.type() <= QTransform::TxTranslate && device.dx() == std::round(device.dx()) &&
                           device.dy() == std::round(device.dy());
    for (double i = first - std::fmod(first, 5.0);; ++i) {
        const double t = i * minor, x = pps * t + originX;
        if (x > w || x > exposed.right() + 1) break;
        const bool isMajor = std::fmod(i, 5.0) == 0;
        const double length = isMajor ? 10 : 5;
        if (pixelGrid) {
            painter.fillRect(QRectF(std::floor(x), h - length, 1, length + 1), isMajor ? major : small);
        } else {
            painter.setPen(QPen(isMajor ? major : small, 1));
            painter.drawLine(QPointF(x, h), QPointF(x, h - length));
        }
        if (isMajor) {
            // Labels start clear of the playhead handle (6 points each side of its line), so the
            // playhead at rest on a tick, as at 0:00, hides none of it; a label that would run
            // past the content's end is left out rather than cut.
            const QString label = rulerLabel(t, step, editor_.project().frameRate);
            const double left = x + kLabelInset;
            if (left + labelMetrics.horizontalAdvance(label) <= g.contentWidth()) {
                painter.setPen(secondary);
                paintLabel(painter, QRectF(left, 3, 1e6, 1e6), label);
            }
        }
    }
}

void TimelineContent::paintLanes(QPainter& painter, const TimelineGeometry& g, const QRectF& exposed) {
    const Project& project = editor_.project();
    const QColor divider = palette().color(QPalette::Mid);
    QColor band = palette().color(QPalette::Text);
    band.setAlphaF(0.03f);
    for (const LayerRow& row : g.rows()) {
        const double bottom = row.properties.empty() ? row.top + layerStride
                                                     : row.properties.back().top + propertyHeight + 1;
        if (bottom < exposed.top() || row.top > exposed.bottom()) continue;
        const Track& track = project.tracks[row.track];
        if (row.track % 2 == 0) painter.fillRect(QRectF(exposed.left(), row.top, exposed.width(), layerHeight), band);
        painter.fillRect(QRectF(exposed.left(), row.top + layerHeight, exposed.width(), 1), divider);
        for (const PropertyRow& p : row.properties)
            if (p.top <= exposed.bottom() && p.top + propertyHeight >= exposed.top())
                paintPropertyLane(painter, editor_, track, p.property, p.top, exposed.left(), exposed.width(),
                                  palette().color(QPalette::Text), accentColor(this));
        if (!row.properties.empty())
            painter.fillRect(QRectF(exposed.left(), bottom - 1, exposed.width(), 1), divider);

        // Clips in drawing order, culled by time; the selected one last (on top).
        std::vector<std::size_t> order(track.clips.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return track.clips[a].start < track.clips[b].start; });
        std::optional<std::size_t> selected;
        painter.save();
        if (!track.isVisible) painter.setOpacity(0.5);
        for (std::size_t i : order) {
            const Clip& c = track.clips[i];
            if (drag_ && drag_->origin && drag_->clipID == c.id) continue;  // drawn last, over every layer
            if (c.id == editor_.selectedClipID()) {
                selected = i;
                continue;
            }
            const QRectF r = g.clipRect(c, row.track);
            if (r.right() < exposed.left() || r.left() > exposed.right()) continue;
            paintClip(painter, g, c, row.track);
        }
        if (selected) paintClip(painter, g, track.clips[*selected], row.track);
        painter.restore();
        if (dropTarget_ == row.track) {
            painter.setPen(QPen(accentColor(this), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(exposed.left() + 1, row.top + 1, exposed.width() - 2, layerHeight - 2));
        }
    }
    // The clip a move drag carries follows the pointer across layers.
    if (drag_ && drag_->origin)
        if (const auto at = project.clipLocation(drag_->clipID)) {
            painter.save();
            if (!project.tracks[at->track].isVisible) painter.setOpacity(0.5);
            paintClip(painter, g, project.tracks[at->track].clips[at->clip], at->track);
            painter.restore();
        }
}

void TimelineContent::paintClip(QPainter& painter, const TimelineGeometry& g, const Clip& clip, std::size_t track) {
    QRectF r = g.clipRect(clip, track);
    if (drag_ && drag_->clipID == clip.id) r.translate(0, drag_->verticalOffset);
    const double pps = g.pixelsPerSecond();
    const MediaItem* media = editor_.project().mediaItem(clip.mediaID);
    const bool isSelected = clip.id == editor_.selectedClipID();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // The block's shape, cut a little outside the view: a clip hours long at high zoom stays a
    // small path, and the corners that show are the real ones.
    const double viewLeft = scrollX_ - 16, viewRight = scrollX_ + width() + 16;
    QRectF shown = r;
    shown.setLeft(std::max(r.left(), viewLeft));
    shown.setRight(std::min(r.right(), std::max(viewRight, shown.left())));
    QPainterPath shape;
    shape.addRoundedRect(shown, 5, 5);
    const QColor base = clipColour(media);
    QLinearGradient gradient(r.topLeft(), r.bottomLeft());
    gradient.setColorAt(0, base.lighter(112));
    gradient.setColorAt(1, base.darker(112));
    painter.fillPath(shape, gradient);
    painter.setClipPath(shape);

    const auto peaks = editor_.waveforms().constFind(clip.mediaID);
    if (peaks != editor_.waveforms().cend() && r.height() > 33) {
        // Only the columns in view: a long clip at high zoom is tens of thousands of points wide.
        // In whole chunks of columns, so that a scroll reuses the picture until it nears its edge.
        constexpr double chunk = 512;
        const double first = std::floor((viewLeft - r.left()) / chunk) * chunk;
        const double last = (std::floor((viewRight - r.left()) / chunk) + 1) * chunk + 1;
        QColor white(Qt::white);
        white.setAlphaF(0.55f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(white);
        // The peaks' address names them: an analysis that replaces them makes a new list.
        const QByteArray key = stampKey("waveform", {double(reinterpret_cast<quintptr>(peaks->data())), double(peaks->size()),
                                                     clip.sourceIn, pps, r.width(), r.height(), std::floor(std::max(0.0, first)), last});
        stamps_.paintWaveform(painter, clip.id, QPointF(r.left(), r.top() + 31), key, [&] {
            return waveformBars(*peaks, clip.sourceIn, pps, r.width(), r.height() - 33, first, last);
        });
    }
    // Fades.
    const double fi = clip.fadeIn * pps, fo = clip.fadeOut * pps;
    stamps_.paintFade(painter, r, fi, true);
    stamps_.paintFade(painter, r, fo, false);
    // Keyframe marks, one a distinct time within the clip.
    std::vector<double> times = EditorModel::keyframeTimes(clip);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    QColor mark(Qt::white);
    mark.setAlphaF(0.9f);
    for (double t : times) {
        if (t < clip.start - 1e-6 || t > clip.start + clip.duration + 1e-6) continue;
        const double x = r.left() + (t - clip.start) * pps;
        QPainterPath diamond;
        diamond.moveTo(x, r.top() + 39);
        diamond.lineTo(x + 3, r.top() + 42);
        diamond.lineTo(x, r.top() + 45);
        diamond.lineTo(x - 3, r.top() + 42);
        diamond.closeSubpath();
        painter.fillPath(diamond, mark);
    }
    // Labels.
    const auto ltc = editor_.ltc().constFind(clip.mediaID);
    const QString detail = clipDetail(clip, media, ltc != editor_.ltc().cend() ? &*ltc : nullptr);
    QFont name = captionFont(font());
    name.setWeight(QFont::DemiBold);
    painter.setPen(Qt::white);
    painter.setFont(name);
    const QRectF text = r.adjusted(8, 5, -8, -5);
    const QFontMetricsF nameMetrics(name);
    paintLabel(painter, QRectF(text.left(), text.top(), text.width(), nameMetrics.height()), media ? media->name : QStringLiteral("?"));
    if (!detail.isEmpty()) {
        QFont small = captionFont(font());
        small.setPointSizeF(small.pointSizeF() * 0.9);
        painter.setFont(small);
        painter.setOpacity(painter.opacity() * 0.8);
        paintLabel(painter, QRectF(text.left(), text.top() + nameMetrics.height() + 1, text.width(), QFontMetricsF(small).height()), detail);
        painter.setOpacity(painter.opacity() / 0.8);
    }
    painter.setClipping(false);
    // Outline, then the fade handles of the selected clip.
    QColor edge(Qt::black);
    edge.setAlphaF(0.25f);
    const double lw = isSelected ? 2 : 1;
    stamps_.paintOutline(painter, shown, isSelected ? QColor(Qt::white) : edge, lw);
    if (isSelected && r.width() > fadeHandleMinWidth) {
        QColor ring(Qt::black);
        ring.setAlphaF(0.4f);
        painter.setPen(QPen(ring, 1));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QPointF(r.left() + std::min(fi, r.width() - 10), r.top() + 1), 5, 5);
        painter.drawEllipse(QPointF(r.left() + std::max(r.width() - fo, 0.0), r.top() + 1), 5, 5);
    }
    painter.restore();
}

void TimelineContent::paintLabel(QPainter& painter, const QRectF& box, const QString& text) {
    // Laid out once per text and font: most repaints show the same names.
    if (labels_.size() > 4096) labels_.clear();
    const QString key = painter.font().key() + QChar(0) + text;
    auto it = labels_.find(key);
    if (it == labels_.end()) {
        QString line = text;
        // One line, as drawText's TextSingleLine lays it out.
        for (QChar& c : line)
            if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) c = u' ';
        QStaticText laid(line);
        laid.setTextFormat(Qt::PlainText);
        laid.setPerformanceHint(QStaticText::AggressiveCaching);
        laid.prepare(QTransform(), painter.font());
        it = labels_.insert(key, laid);
    }
    const QSizeF size = it->size();
    // Cut at the box as drawText does when the text does not fit it.
    const bool overflows = size.width() > box.width() || size.height() > box.height();
    if (overflows) {
        painter.save();
        painter.setClipRect(box, Qt::IntersectClip);
    }
    painter.drawStaticText(box.topLeft(), *it);
    if (overflows) painter.restore();
}

}  // namespace qm
