#include "editor/views/timeline/clip_stamps.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include "editor/views/timeline/timeline_geometry.h"

namespace qm::timeline {

namespace {

// A picture wider than this is drawn in place instead (a long fade at a high zoom).
constexpr int kLargestSide = 4096;

// The painter's scale when its transform is a plain scale (equal on both axes) and shift.
std::optional<double> plainScale(const QPainter& painter) {
    const QTransform t = painter.deviceTransform();
    if (t.type() > QTransform::TxScale || t.m11() <= 0 || t.m11() != t.m22()) return std::nullopt;
    return t.m11();
}

// Blends an image whose pixel (0, 0) is device pixel `origin`.
void blend(QPainter& painter, QPoint origin, const QImage& image) {
    painter.drawImage(painter.deviceTransform().inverted().map(QPointF(origin)), image);
}

}  // namespace

QByteArray stampKey(const char* name, std::initializer_list<double> numbers) {
    QByteArray key(name);
    for (double n : numbers) key.append(reinterpret_cast<const char*>(&n), sizeof n);
    return key;
}

ClipStamps::ClipStamps() : pictures_(16 << 20), waveforms_(64 << 20) {}

std::optional<QRect> ClipStamps::paint(QPainter& painter, const QRectF& area, const QByteArray& key,
                                       const std::function<void(QPainter&)>& draw) {
    const auto scale = plainScale(painter);
    const QRectF device = painter.deviceTransform().mapRect(area);
    const QPoint origin(timeline::pixelOf(std::floor(device.left())), timeline::pixelOf(std::floor(device.top())));
    const QSize size(timeline::pixelOf(std::ceil(device.right())) - origin.x(),
                     timeline::pixelOf(std::ceil(device.bottom())) - origin.y());
    if (!scale || !device.isValid() || size.width() > kLargestSide || size.height() > kLargestSide ||
        !std::isfinite(device.left()) || !std::isfinite(device.top())) {
        painter.save();
        painter.translate(area.topLeft());
        draw(painter);
        painter.restore();
        return std::nullopt;
    }
    const QPointF offset = device.topLeft() - QPointF(origin);
    // The painter's opacity goes into the picture, shape by shape, as it would in place (a faded
    // layer's slope over its wedge); the picture itself is then blended whole.
    const double opacity = painter.opacity();
    const QByteArray full = key + stampKey("", {offset.x(), offset.y(), *scale, double(size.width()), double(size.height()), opacity});
    const auto blendWhole = [&](const QImage& image) {
        painter.setOpacity(1);
        blend(painter, origin, image);
        painter.setOpacity(opacity);
    };
    if (const QImage* picture = pictures_.object(full)) {
        blendWhole(*picture);
        return QRect(origin, size);
    }
    QImage made(size, QImage::Format_ARGB32_Premultiplied);
    made.fill(Qt::transparent);
    QPainter p(&made);
    p.setRenderHint(QPainter::Antialiasing);
    p.setTransform(QTransform(*scale, 0, 0, *scale, offset.x(), offset.y()));
    p.setOpacity(opacity);
    draw(p);
    p.end();
    made.setDevicePixelRatio(*scale);
    ++made_;
    blendWhole(made);
    pictures_.insert(full, new QImage(made), made.sizeInBytes());  // shares the pixels
    return QRect(origin, size);
}

void ClipStamps::paintFade(QPainter& painter, const QRectF& block, double width, bool in) {
    if (!(width > 0) || !std::isfinite(width)) return;
    const double h = block.height();
    // One point of margin on each side for the antialiased edges.
    const QRectF area(in ? block.left() - 1 : block.right() - width - 1, block.top() - 1, width + 2, h + 2);
    paint(painter, area, stampKey(in ? "fade in" : "fade out", {width, h}), [&](QPainter& p) {
        QColor shade(Qt::black);
        shade.setAlphaF(0.35f);
        QColor slope(Qt::white);
        slope.setAlphaF(0.8f);
        const double side = in ? 1 : 1 + width, tip = in ? 1 + width : 1;  // the upright side, the top's other end
        QPainterPath wedge;
        wedge.moveTo(side, 1);
        wedge.lineTo(tip, 1);
        wedge.lineTo(side, 1 + h);
        wedge.closeSubpath();
        p.fillPath(wedge, shade);
        p.setPen(QPen(slope, 1));
        p.drawLine(QPointF(side, 1 + h), QPointF(tip, 1));
    });
}

void ClipStamps::paintOutline(QPainter& painter, const QRectF& shown, const QColor& colour, double lineWidth) {
    const double lw = lineWidth;
    const auto stroke = [&](QPainter& p, const QRectF& box) {
        p.setPen(QPen(colour, lw));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(box.adjusted(lw / 2, lw / 2, -lw / 2, -lw / 2), 5, 5);
    };
    // The long top and bottom edges are whole rows of device pixels under a plain scale-and-shift
    // transform: filled as rectangles, only the rounded ends are stroked, once per sub-pixel place.
    const QTransform t = painter.deviceTransform();
    const double top = t.map(shown.topLeft()).y(), bottom = t.map(shown.bottomLeft()).y(), thick = lw * t.m22();
    const auto whole = [](double v) { return std::isfinite(v) && v == std::round(v); };
    constexpr double end = 10;  // each end's width: the corner's radius and the stroke, with room
    if (!plainScale(painter) || !whole(top) || !whole(bottom) || !whole(thick) || !(shown.width() >= 4 * end))
        return stroke(painter, shown);
    const QByteArray key = stampKey("outline", {lw, shown.height(), double(colour.rgba())});
    const auto ends = [&](bool left) {
        const QRectF area(left ? shown.left() - 1 : shown.right() - end, shown.top() - 1, end + 1, shown.height() + 2);
        // The outline three ends wide, reaching past the picture on the other side.
        return paint(painter, area, key + (left ? "L" : "R"),
                     [&](QPainter& p) { stroke(p, QRectF(left ? 1 : -2 * end, 1, 3 * end, shown.height())); });
    };
    const auto leftEnd = ends(true), rightEnd = ends(false);
    if (!leftEnd || !rightEnd) return;
    const int from = leftEnd->right() + 1, to = rightEnd->left();
    if (to <= from) return;
    const bool smooth = painter.testRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QTransform back = t.inverted();
    painter.fillRect(back.mapRect(QRectF(from, top, to - from, thick)), colour);
    painter.fillRect(back.mapRect(QRectF(from, bottom - thick, to - from, thick)), colour);
    painter.setRenderHint(QPainter::Antialiasing, smooth);
}

void ClipStamps::paintWaveform(QPainter& painter, const QUuid& clip, const QPointF& band, const QByteArray& key,
                               const std::function<std::vector<QRectF>()>& bars) {
    const auto scale = plainScale(painter);
    if (!scale) {
        const std::vector<QRectF> b = bars();
        painter.save();
        painter.translate(band);
        painter.drawRects(b.data(), int(b.size()));
        painter.restore();
        return;
    }
    const auto place = [&](double left) {
        const QPointF device = painter.deviceTransform().map(band + QPointF(left, 0));
        const QPoint origin(timeline::pixelOf(std::floor(device.x())), timeline::pixelOf(std::floor(device.y())));
        return std::pair{origin, device - QPointF(origin)};
    };
    if (const Waveform* cached = waveforms_.object(clip); cached && cached->key == key) {
        // The picture starts at its first bar; its offset at this place must be the one it was made for.
        const auto [origin, offset] = place(cached->left);
        if (cached->offset == offset) {
            if (!cached->image.isNull()) blend(painter, origin, cached->image);
            return;
        }
    }
    std::vector<QRectF> b = bars();
    const double left = b.empty() ? 0.0 : b.front().left();
    double right = 0, bottom = 0;
    for (QRectF& r : b) {
        r.translate(-left, 0);
        right = std::max(right, r.right());
        bottom = std::max(bottom, r.bottom());
    }
    const auto [origin, offset] = place(left);
    if (!std::isfinite(offset.x()) || !std::isfinite(offset.y())) return;
    const QSize size(timeline::pixelOf(std::ceil(offset.x() + right * *scale)) + 1,
                     timeline::pixelOf(std::ceil(offset.y() + bottom * *scale)) + 1);
    const QImage image = waveformImage(b, offset.x(), offset.y(), *scale, size, 0.55);
    ++made_;
    if (!image.isNull()) blend(painter, origin, image);
    waveforms_.insert(clip, new Waveform{key, left, offset, image}, std::max<qsizetype>(image.sizeInBytes(), 1));
}

QImage waveformImage(const std::vector<QRectF>& bars, double fx, double fy, double scale, QSize size, double alpha) {
    if (size.isEmpty() || size.width() > 1 << 20 || size.height() > kLargestSide) return {};
    const int w = size.width(), h = size.height();
    std::vector<float> cover(std::size_t(w) * std::size_t(h), 0.0f);
    for (const QRectF& r : bars) {
        const double x0 = fx + r.left() * scale, x1 = fx + r.right() * scale;
        const double y0 = fy + r.top() * scale, y1 = fy + r.bottom() * scale;
        const int c0 = std::max(0, int(std::floor(x0))), c1 = std::min(w, int(std::ceil(x1)));
        const int r0 = std::max(0, int(std::floor(y0))), r1 = std::min(h, int(std::ceil(y1)));
        for (int c = c0; c < c1; ++c) {
            const double across = std::min(x1, c + 1.0) - std::max(x0, double(c));
            for (int row = r0; row < r1; ++row) {
                const double down = std::min(y1, row + 1.0) - std::max(y0, double(row));
                const float a = float(alpha * across * down);
                float& at = cover[std::size_t(row) * std::size_t(w) + std::size_t(c)];
                at += a * (1.0f - at);  // over what a neighbouring bar left in a shared pixel
            }
        }
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    for (int row = 0; row < h; ++row) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(row));
        for (int c = 0; c < w; ++c) {
            const int v = int(std::lround(std::clamp(cover[std::size_t(row) * std::size_t(w) + std::size_t(c)], 0.0f, 1.0f) * 255.0f));
            line[c] = qRgba(v, v, v, v);
        }
    }
    image.setDevicePixelRatio(scale);
    return image;
}

}  // namespace qm::timeline
