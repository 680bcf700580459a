#pragma once
// The mark of one keyframe: its left half shows the ease in, its right half the ease out (linear
// pointed, ease round, hold square); the fill says whether it is selected.

#include <QRectF>

#include "editor/model/keyframe.h"

class QPainter;

namespace qm {

void paintKeyframeGlyph(QPainter& painter, const QRectF& rect, KeyframeEase easeIn, KeyframeEase easeOut,
                        bool selected);

}  // namespace qm
