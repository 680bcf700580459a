#pragma once
// The editor's preview picture: its size, the one routine that composes the project at a time
// into it, and the colour read under the key-colour eyedropper.

#include <optional>

#include <QImage>
#include <QSize>

#include "editor/model/composition_renderer.h"
#include "engine/rgb_color.h"

namespace qm {

class PixelBuffer;

// The project fitted into 1280 × 720 without enlarging, each side rounded and at least 1.
QSize previewSize(int projectWidth, int projectHeight);

// The project at timeline time `time` as the viewer shows it: an 8-bit RGBA picture at the
// preview size (RGBX, alpha 255, when the project's background is opaque), preview-only effects
// on. Touches no model; any thread.
QImage renderFrame(CompositionRenderer& renderer, const Project& project, const MediaInfos& infos, double time);

// Mean colour of the up to 5 × 5 pixels around (x, y) of a 'BGRA' buffer, alpha ignored; nothing
// for another format, a point outside the picture or a coordinate that is not a finite number.
std::optional<RGBColor> readPixelColor(const PixelBuffer& buffer, double x, double y);

}  // namespace qm
