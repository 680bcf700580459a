#pragma once
// The key-colour eyedropper's geometry: which point of a clip's own picture lies under a point
// of the canvas.

#include <optional>

#include <QPointF>
#include <QSizeF>

#include "editor/model/project.h"

namespace qm {

// The picture point (media pixels, y down) under canvas point `canvas` of a W × H project at clip
// time `t`; nothing when the placement cannot be inverted (a scale of 0). `picture` is the size of
// the picture read where it differs from the medium's (a stream whose size changes): the point is
// then in its pixels, as the renderer fits it.
std::optional<QPointF> pictureAt(const Clip& clip, const MediaItem& media, int W, int H, double t, QPointF canvas,
                                 QSizeF picture = {});

}  // namespace qm
