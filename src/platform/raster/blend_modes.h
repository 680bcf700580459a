#pragma once
// Separable blend modes of one premultiplied layer over another, with the layer faded first:
// the W3C compositing formulas with alpha,
//   co = cs·(1 − ab) + cb·(1 − as) + as·ab·B(Cb, Cs),   ao = as + ab − as·ab,
// (Cs, Cb the straight colours) and addition as the clamped sum of the premultiplied values.

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QTransform>

#include <functional>
#include <vector>

#include "platform/raster/compositing.h"

namespace qm {

enum class SeparableBlend { normal, add, screen, multiply, overlay, softLight, lighten, darken, difference };

// Blends `layer` (16-bit premultiplied, placed with its top-left corner at `offset` in the
// backdrop) times `opacity` into `backdrop` (16-bit premultiplied), inside `area` of the backdrop
// only. Outside the layer nothing changes: a transparent source leaves every mode's backdrop as it is.
void blendLayer(QImage& backdrop, const QImage& layer, QPoint offset, SeparableBlend mode, float opacity,
                Area area = {});

// The edges of a w × h item placed by `transform`, from its four corners: a QRectF (position and
// width) loses the near edge of an item stretched to 1e18 pixels. Not numbers for a transform
// that is not finite, and then neither meets nor lies within anything.
struct PlacedEdges {
    double left, top, right, bottom;
    // Overlaps the rectangle from (0, 0) to (width, height).
    bool meets(double width, double height) const;
    // Lies inside that rectangle widened by `margin` on every side.
    bool within(double width, double height, double margin) const;
};
PlacedEdges placedEdges(const QTransform& transform, double w, double h);

// How far beyond a layer the painter's fixed-point coordinates (and a QRect's ints) reach.
inline constexpr double kPainterReach = 1 << 20;

// Draws `item` (16-bit premultiplied) through `transform` (item pixels to layer pixels) onto a
// transparent `layer` with smooth sampling and antialiased edges, inside `area` only; bands of
// rows are painted in parallel. Returns the area of the layer that was touched. A placement
// reaching further than kPainterReach (a huge scale or offset) is drawn by drawSampled.
Area drawTransformed(QImage& layer, const QImage& item, const QTransform& transform, Area area = {});

// Draws `item` onto a transparent 16-bit `layer` by sampling it through `inverse` (layer pixels to
// item pixels) at each pixel centre, bilinear between the item's pixel centres; pixels whose centre
// falls outside the item stay transparent. For placements of any size, such as a picture magnified
// so far that the layer shows a fraction of one of its pixels. Inside `area` only; returns it.
Area drawSampled(QImage& layer, const QImage& item, const QTransform& inverse, Area area = {});

// Writes the premultiplied float pixels of columns [x0, x1) of row y of a layer into `out`
// (layer coordinates). Called from several threads at once, for different rows.
using LayerRowSource = std::function<void(int y, int x0, int x1, Rgba* out)>;

// blendLayer for a layer that is produced row by row (a decoded frame on its way through an
// effect chain) instead of stored: `rect` is its place and size in the backdrop.
void blendLayerRows(QImage& backdrop, QRect rect, const LayerRowSource& source, SeparableBlend mode, float opacity,
                    Area area = {});

// One layer of a fused pass: produced row by row (as for blendLayerRows), placed at `rect`.
struct RowLayer {
    QRect rect;
    LayerRowSource source;
    SeparableBlend mode = SeparableBlend::normal;
    float opacity = 1.0f;
};

// blendLayerRows for each layer in turn, bottom first, in one pass over the rows: the backdrop is
// read and stored once and the results in between stay float (not rounded to 16 bits).
void blendLayersRows(QImage& backdrop, const std::vector<RowLayer>& layers, Area area = {});

// The blended premultiplied pixel (exposed for tests and single pixels).
Rgba blendPixel(Rgba source, Rgba backdrop, SeparableBlend mode);

}  // namespace qm
