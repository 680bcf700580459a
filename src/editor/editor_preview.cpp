#include "editor/editor_preview.h"

#include <algorithm>
#include <cmath>

#include "platform/media/pixel_buffer.h"

namespace qm {

QSize previewSize(int projectWidth, int projectHeight) {
    const double w = std::max(projectWidth, 1), h = std::max(projectHeight, 1);
    const double scale = std::min({1280.0 / w, 720.0 / h, 1.0});
    const auto side = [](double v) { return std::max(1, int(std::lround(v))); };
    return {side(w * scale), side(h * scale)};
}

QImage renderFrame(CompositionRenderer& renderer, const Project& project, const MediaInfos& infos, double time) {
    const QSize size = previewSize(project.width, project.height);
    const QImage composed = renderer.render(project, infos, time, size, true);
    if (composed.isNull()) return {};
    QImage picture = CompositionRenderer::previewImage(composed);
    // Over an opaque background every pixel is opaque (alpha 255): saying so in the format lets the
    // viewer draw it without blending and without painting under it.
    if (!project.transparentBackground) picture.reinterpretAsFormat(QImage::Format_RGBX8888);
    return picture;
}

std::optional<RGBColor> readPixelColor(const PixelBuffer& buffer, double x, double y) {
    if (buffer.pixelFormat() != kPixelFormatBGRA || !buffer.data()) return std::nullopt;
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    const int width = buffer.width(), height = buffer.height();
    // Compared before any conversion to an integer: a huge coordinate is simply outside.
    const double tx = std::trunc(x), ty = std::trunc(y);
    if (tx < 0 || ty < 0 || tx >= width || ty >= height) return std::nullopt;
    const int X = int(tx), Y = int(ty);
    double r = 0, g = 0, b = 0;
    int count = 0;
    for (int row = std::max(Y - 2, 0); row <= std::min(Y + 2, height - 1); ++row) {
        const uint8_t* line = buffer.data() + std::size_t(row) * buffer.bytesPerRow();
        for (int col = std::max(X - 2, 0); col <= std::min(X + 2, width - 1); ++col) {
            const uint8_t* px = line + std::size_t(col) * 4;
            b += px[0];
            g += px[1];
            r += px[2];
            ++count;
        }
    }
    return RGBColor{r / count / 255.0, g / count / 255.0, b / count / 255.0};
}

}  // namespace qm
