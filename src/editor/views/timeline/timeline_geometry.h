#pragma once
// The timeline's one mapping between time and content points and its rows: painting, hit tests
// and tests all read it. Content points: x = 12 + t × pixelsPerSecond from the content's left
// edge, y from the ruler's top.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include <QColor>
#include <QRectF>
#include <QString>
#include <QUuid>

#include "editor/model/project.h"

namespace qm {

class EditorModel;
struct LTCInfo;

namespace timeline {

// A scale, step or span the views may divide by: finite and above zero.
inline bool positive(double v) { return std::isfinite(v) && v > 0; }

// A device coordinate as a whole pixel: a place far outside any widget (a clip hours away at a
// deep zoom) stops at ±2^29, so sums and differences of two stay in int range; NaN gives 0.
inline int pixelOf(double v) {
    constexpr double far = 1 << 29;
    return std::isnan(v) ? 0 : int(std::clamp(v, -far, far));
}

inline constexpr double originX = 12;
inline constexpr double rulerHeight = 26;
inline constexpr double layerHeight = 56;
inline constexpr double layerStride = 57;  // the row and its divider
inline constexpr double propertyHeight = 26;
inline constexpr double clipHeight = 48;
inline constexpr double clipInset = 4;
inline constexpr double trimWidth = 7;
inline constexpr double headerWidth = 270;
inline constexpr double fadeHandleMinWidth = 30;

// The major tick step in seconds for a zoom and frame rate (a rate that is not a positive number
// counts as 1 fps; a zoom that is not gives no step, 0).
double rulerTickStep(double pixelsPerSecond, double frameRate);
// "M:SS", or "M:SS:FF" below one-second steps, naming the frame shown at `time`.
QString rulerLabel(double time, double step, double frameRate);

// (h × 31 + s) mod 997 over the characters of `text`.
int hueHash(const QString& text);
// The block's base colour (before its gradient); null media: gray.
QColor clipColour(const MediaItem* media);
// The second label line: compositing summary and LTC of the clip's first frame, " · " between.
QString clipDetail(const Clip& clip, const MediaItem* media, const LTCInfo* ltc);

// The waveform bars of a band w × h (one column a point) from peaks at 100 a second of media;
// only the columns from `first` up to `last` (the part in view) when given.
std::vector<QRectF> waveformBars(const std::vector<float>& peaks, double sourceIn, double pixelsPerSecond, double width,
                                 double height, double first = 0, double last = -1);

// The layers a move drag's vertical translation crosses: rows of 57, halves away from zero.
std::ptrdiff_t layerRows(double dy);

struct PropertyRow {
    TransformProperty property;
    double top = 0;
};

struct LayerRow {
    std::size_t track = 0;
    QUuid id;
    double top = 0;  // lane top in content points
    std::vector<PropertyRow> properties;
};

// Which part of a clip block a point falls on.
enum class ClipPart { body, start, end, fadeIn, fadeOut };

struct ClipHit {
    std::size_t track = 0;
    std::size_t index = 0;  // in the track's stored order
    ClipPart part = ClipPart::body;
};

class TimelineGeometry {
public:
    // `minWidth` is the viewport width; `graphHeight` what the graph editor gets when shown.
    TimelineGeometry(const EditorModel& editor, double minWidth, double graphHeight);

    double pixelsPerSecond() const { return pps_; }
    // False for a zoom that is not a positive number: nothing is placed in time then.
    bool valid() const { return valid_; }
    double x(double time) const { return originX + time * pps_; }
    double time(double x) const { return valid_ ? (x - originX) / pps_ : 0.0; }
    double contentWidth() const { return contentWidth_; }
    double tracksHeight() const { return tracksHeight_; }
    double lanesHeight() const { return lanesHeight_; }
    const std::vector<LayerRow>& rows() const { return rows_; }

    // The block of a clip in content points (at least 4 wide).
    QRectF clipRect(const Clip& clip, std::size_t track) const;
    // The topmost clip part under a point (the selected clip first, then later starts).
    std::optional<ClipHit> hit(QPointF point) const;
    // The layer whose lane holds `y`.
    std::optional<std::size_t> laneAt(double y) const;

private:
    const EditorModel& editor_;
    double pps_ = 0;
    bool valid_ = false;
    double contentWidth_ = 0;
    double tracksHeight_ = 0;
    double lanesHeight_ = 0;
    std::vector<LayerRow> rows_;
};

}  // namespace timeline
}  // namespace qm
