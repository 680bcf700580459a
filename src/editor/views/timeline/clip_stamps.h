#pragma once
// Pictures of the clip blocks' small antialiased pieces (fade wedges, the ends of the outline) and
// of waveform bands, drawn once and then blended as images. The raster engine fills a translucent
// antialiased shape span by span, clipped to the block's rounded outline, and that cost repeats for
// every clip on every repaint; one image blend per piece is a fraction of it. Each picture is drawn
// at the sub-pixel offset it is shown at, so it looks as the shape drawn in place.

#include <functional>
#include <initializer_list>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QCache>
#include <QHash>
#include <QImage>
#include <QRect>
#include <QRectF>
#include <QUuid>

class QPainter;

namespace qm::timeline {

class ClipStamps {
public:
    ClipStamps();

    // Blends the picture `draw` makes of `area` (its local coordinates start at the area's
    // top-left corner, in the painter's units) at the area's place. `key` names everything the
    // picture depends on besides the area's size and offset. Returns the device pixels covered,
    // or nothing when the painter's transform is not a plain scale and shift: then `draw` drew
    // in place.
    std::optional<QRect> paint(QPainter& painter, const QRectF& area, const QByteArray& key,
                               const std::function<void(QPainter&)>& draw);

    // A clip block's fade wedge (black at 35 %) and its slope (white at 80 %), `width` points at
    // the block's start (`in`) or end.
    void paintFade(QPainter& painter, const QRectF& block, double width, bool in);
    // The block's rounded outline (radius 5) of `lineWidth` inside `shown`.
    void paintOutline(QPainter& painter, const QRectF& shown, const QColor& colour, double lineWidth);

    // A waveform band's bars (`waveformBars` columns, band-local, one point wide) as white at 55 %,
    // antialiased, for the device pixels of the band placed at `band` (its top-left in painter
    // units); kept per clip until its bars or offset change.
    void paintWaveform(QPainter& painter, const QUuid& clip, const QPointF& band, const QByteArray& key,
                       const std::function<std::vector<QRectF>()>& bars);

    // Drops every waveform picture (new analyses replace the peaks).
    void forgetWaveforms() { waveforms_.clear(); }

    // The number of pictures made so far (for tests of the caching).
    int made() const { return made_; }

private:
    struct Waveform {
        QByteArray key;
        double left = 0;  // the first bar's band-local x, where the picture starts
        QPointF offset;   // the picture's sub-pixel place
        QImage image;
    };
    QCache<QByteArray, QImage> pictures_;
    QCache<QUuid, Waveform> waveforms_;
    int made_ = 0;
};

// A picture's key: a name and the numbers it depends on.
QByteArray stampKey(const char* name, std::initializer_list<double> numbers);

// The coverage of the bars as premultiplied white at `alpha`: columns at x + fx (x whole), rows
// from y + fy, spread over the pixels they partly cover; `size` in device pixels at `scale`.
QImage waveformImage(const std::vector<QRectF>& bars, double fx, double fy, double scale, QSize size, double alpha);

}  // namespace qm::timeline
