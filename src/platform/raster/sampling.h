#pragma once
// Averages over areas of a picture: the mean colour of a rectangle, and the area-averaging
// downscale the previews use.

#include <QImage>
#include <QRectF>

#include "platform/raster/compositing.h"

namespace qm {

// Mean premultiplied colour over `rect` (pixel units, fractional edges weighted by how much of
// each pixel they cover); the part outside the picture is ignored. Transparent when nothing of
// the rectangle lies inside.
Rgba areaAverage(const QImage& image, const QRectF& rect);

// The picture shrunk to width × height by averaging the area each output pixel covers (8-bit
// premultiplied RGBA out, or 16-bit for a 16-bit layer). Sizes at or above the picture's are a plain conversion.
QImage downscaleArea(const QImage& image, int width, int height);

}  // namespace qm
