#include "editor/views/inspector/keyframe_glyph.h"

#include <QPainter>
#include <QPainterPath>

namespace qm {

namespace {

// One half of the glyph in a w × h box at the origin; `left` picks the side of x = w / 2.
QPainterPath halfPath(KeyframeEase ease, bool left, qreal w, qreal h) {
    const qreal c = w / 2;
    QPainterPath path;
    switch (ease) {
    case KeyframeEase::linear:
        path.moveTo(c, 0);
        path.lineTo(left ? 0 : w, h / 2);
        path.lineTo(c, h);
        break;
    case KeyframeEase::ease:
        // arcTo runs counter-clockwise on screen for positive sweeps (y down): from the top
        // point through the leftmost to the bottom for the left half, the reverse for the right.
        path.moveTo(c, 0);
        path.arcTo(QRectF(0, h / 2 - c, w, 2 * c), 90, left ? 180 : -180);
        break;
    case KeyframeEase::hold:
        path.addRect(QRectF(left ? 0 : c, 0, c, h));
        return path;
    }
    path.closeSubpath();
    return path;
}

}  // namespace

void paintKeyframeGlyph(QPainter& painter, const QRectF& rect, KeyframeEase easeIn, KeyframeEase easeOut,
                        bool selected) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.topLeft());
    const QPainterPath left = halfPath(easeIn, true, rect.width(), rect.height());
    const QPainterPath right = halfPath(easeOut, false, rect.width(), rect.height());
    const QColor fill = selected ? QColor::fromRgbF(1.0f, 0.8f, 0.2f) : QColor::fromRgbF(0.85f, 0.85f, 0.85f);
    painter.fillPath(left, fill);
    painter.fillPath(right, fill);
    const QPen edge(QColor::fromRgbF(0, 0, 0, 0.6f), 0.8);
    painter.strokePath(left, edge);
    painter.strokePath(right, edge);
    painter.restore();
}

}  // namespace qm
