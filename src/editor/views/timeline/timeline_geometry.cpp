#include "editor/views/timeline/timeline_geometry.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <QCoreApplication>

#include "editor/frame_grid.h"
#include "editor/editor_model.h"
#include "editor/sync/timecode.h"

namespace qm::timeline {

double rulerTickStep(double pixelsPerSecond, double frameRate) {
    if (!positive(pixelsPerSecond)) return 0;
    const double fps = usableRate(frameRate);
    const double candidates[] = {(1.0 / fps) * 5, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300};
    for (double s : candidates)
        if (pixelsPerSecond * s >= 70) return s;
    return 600;
}

QString rulerLabel(double time, double step, double frameRate) {
    if (!std::isfinite(time) || time < 0) time = 0;
    // The frame shown at `time`: a fractional rate must never round up to a frame it doesn't have.
    const double whole = std::floor(time + 1e-9);
    const auto w = static_cast<long long>(std::min(whole, 1e15));
    const long long minutes = w / 60;
    const long long seconds = w - 60 * minutes;
    if (step < 1) {
        const double fps = usableRate(frameRate);
        const double last = std::ceil(fps) - 1;
        const double frames = std::clamp(std::floor((time - whole) * fps + 1e-6), 0.0, last);
        return QString::asprintf("%lld:%02lld:%02d", minutes, seconds, int(frames));
    }
    return QString::asprintf("%lld:%02lld", minutes, seconds);
}

int hueHash(const QString& text) {
    int h = 0;
    for (char32_t s : text.toUcs4()) h = int((qint64(h) * 31 + qint64(s)) % 997);
    return h;
}

QColor clipColour(const MediaItem* media) {
    if (!media) return QColor(Qt::gray);
    if (media->width > 0 && media->height > 0) {
        const QString id = media->id.toString(QUuid::WithoutBraces).toUpper();
        return QColor::fromHsvF(float(hueHash(id) / 997.0), 0.45f, 0.62f);
    }
    return QColor::fromHsvF(0.47f, 0.5f, 0.5f);
}

QString clipDetail(const Clip& clip, const MediaItem* media, const LTCInfo* ltc) {
    QStringList parts;
    const bool picture = !media || (media->width > 0 && media->height > 0);
    if (picture) {
        const double p = clip.transform ? clip.transform->opacity.value : clip.opacity * 100;
        const bool animated = clip.transform && !clip.transform->opacity.keyframes.empty();
        if (clip.blendMode != BlendMode::normal || animated || p < 99.95) {
            const QString amount = animated ? QCoreApplication::translate("TimelineContent", "animated")
                                            : QString::number(std::isfinite(p) ? std::llround(p) : 0) + u'%';
            parts << QCoreApplication::translate("BlendMode", label(clip.blendMode)) + QStringLiteral(" \u00b7 ") +
                         amount;
        }
    }
    if (ltc) {
        const double frame = std::floor(ltc->measuredRate * clip.sourceIn + ltc->startFrame + 0.001);
        if (std::isfinite(frame) && std::abs(frame) < 9e15) {
            const Timecode tc = Timecode::fromFrameNumber(int64_t(frame), ltc->nominalRate, ltc->dropFrame);
            parts << QStringLiteral("LTC ") + QString::fromStdString(tc.displayText());
        }
    }
    return parts.join(QStringLiteral(" \u00b7 "));
}

std::vector<QRectF> waveformBars(const std::vector<float>& peaks, double sourceIn, double pixelsPerSecond, double width,
                                 double height, double first, double last) {
    std::vector<QRectF> bars;
    if (!positive(pixelsPerSecond) || !std::isfinite(sourceIn) || !std::isfinite(width)) return bars;
    const double mid = height / 2;
    const auto n = static_cast<long long>(peaks.size());
    const double end = last < 0 ? width : std::min(width, last);
    for (double x = std::max(0.0, std::floor(first)); x < end; ++x) {
        const double f0 = (x / pixelsPerSecond + sourceIn) * 100;
        if (f0 >= double(n)) break;
        const auto i0 = static_cast<long long>(std::max(f0, -1.0));
        const auto i1 = static_cast<long long>(std::clamp(((x + 1) / pixelsPerSecond + sourceIn) * 100, -1.0, double(n)));
        const long long lo = std::max(i0, 0LL), hi = std::min(std::max(i1, i0 + 1), n);
        float a = 0;
        for (long long i = lo; i < hi; ++i) a = std::max(a, peaks[std::size_t(i)]);
        const double b = std::max(std::min(double(a), 1.0) * mid, 0.5);
        bars.emplace_back(x, mid - b, 1, 2 * b);
    }
    return bars;
}

std::ptrdiff_t layerRows(double dy) {
    const double rows = std::round(dy / layerStride);  // std::round takes halves away from zero
    return std::isfinite(rows) ? std::ptrdiff_t(std::clamp(rows, -1e6, 1e6)) : 0;
}

TimelineGeometry::TimelineGeometry(const EditorModel& editor, double minWidth, double graphHeight)
    : editor_(editor), pps_(editor.pixelsPerSecond()), valid_(positive(editor.pixelsPerSecond())) {
    const Project& project = editor.project();
    const double extent = valid_ ? (project.duration() + 30) * pps_ + originX : 0;
    contentWidth_ = std::max(minWidth, std::isfinite(extent) ? extent : minWidth);
    double y = rulerHeight;
    for (std::size_t i = 0; i < project.tracks.size(); ++i) {
        LayerRow row{i, project.tracks[i].id, y, {}};
        y += layerStride;
        if (editor.expandedTracks().contains(row.id)) {
            for (TransformProperty p : editor.laneProperties(i)) {
                row.properties.push_back({p, y});
                y += propertyHeight;
            }
            if (!row.properties.empty()) y += 1;
        }
        rows_.push_back(std::move(row));
    }
    tracksHeight_ = y - rulerHeight;
    lanesHeight_ = editor.showGraphEditor() ? graphHeight : tracksHeight_;
}

QRectF TimelineGeometry::clipRect(const Clip& clip, std::size_t track) const {
    const double top = track < rows_.size() ? rows_[track].top : rulerHeight;
    const double width = std::max(clip.duration * pps_, 4.0);
    return {x(clip.start), top + clipInset, std::isfinite(width) ? width : 4.0, clipHeight};
}

std::optional<std::size_t> TimelineGeometry::laneAt(double y) const {
    if (editor_.showGraphEditor()) return std::nullopt;
    for (const LayerRow& row : rows_)
        if (y >= row.top && y < row.top + layerHeight) return row.track;
    return std::nullopt;
}

std::optional<ClipHit> TimelineGeometry::hit(QPointF point) const {
    const auto track = laneAt(point.y());
    if (!track || !valid_) return std::nullopt;
    const Track& t = editor_.project().tracks[*track];
    // Drawing order: ascending start (stable), the selected clip last; hits go the other way.
    std::vector<std::size_t> order(t.clips.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const bool sa = t.clips[a].id == editor_.selectedClipID(), sb = t.clips[b].id == editor_.selectedClipID();
        if (sa != sb) return sb;
        return t.clips[a].start < t.clips[b].start;
    });
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const Clip& c = t.clips[*it];
        const QRectF r = clipRect(c, *track);
        const double lx = point.x() - r.left(), ly = point.y() - r.top();
        if (c.id == editor_.selectedClipID() && r.width() > fadeHandleMinWidth) {
            const QPointF in(std::min(c.fadeIn * pps_, r.width() - 10), 1);
            const QPointF out(std::max(r.width() - c.fadeOut * pps_, 0.0), 1);
            const QPointF local(lx, ly);
            if (QLineF(local, in).length() <= 5) return ClipHit{*track, *it, ClipPart::fadeIn};
            if (QLineF(local, out).length() <= 5) return ClipHit{*track, *it, ClipPart::fadeOut};
        }
        if (!r.contains(point)) continue;
        if (lx >= r.width() - trimWidth) return ClipHit{*track, *it, ClipPart::end};
        if (lx < trimWidth) return ClipHit{*track, *it, ClipPart::start};
        return ClipHit{*track, *it, ClipPart::body};
    }
    return std::nullopt;
}

}  // namespace qm::timeline
