// Arbitrary text as stored credits settings: decoding, then the roll's layout and timing with two
// pictures and a strip on a small canvas, and one frame at a time taken from the input. Settings must come out
// within their ranges and every offset finite; only the decoder's own error may come out.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <stdexcept>
#include <string_view>

#include <QImage>

#include "credits/credits_renderer.h"

namespace {

QImage picture(int w, int h, QRgb color) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(color);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::CreditsSettings settings;
    try {
        settings = qm::CreditsSettings::fromJsonText(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::invalid_argument&) {
        return 0;
    }
    if (settings.clamped() != settings || settings.width < 16 || settings.height > 16384 || !(settings.frameRate >= 1))
        __builtin_trap();
    // A small canvas keeps each input quick (pictures are scaled to the canvas).
    settings.width = 16 + settings.width % 48;
    settings.height = 16 + settings.height % 32;
    qm::CreditsStrip strip;
    strip.tiles.push_back({picture(40, 30, qRgba(200, 200, 200, 200)), 5});
    strip.width = 40;
    strip.height = 60;
    const qm::CreditsRenderer renderer(settings, picture(30, 20, 0xffffffff), strip, picture(20, 30, 0xff00ff00));
    for (double t : {-1.0, 0.0, 0.5, renderer.headHold() + renderer.rollSeconds() / 2, renderer.totalSeconds(), 1e9}) {
        const double offset = renderer.scrollOffset(t, false);
        if (!std::isfinite(offset) || offset < std::min(renderer.endOffset(), renderer.startOffset()) - 1e-6 || offset > std::max(renderer.endOffset(), renderer.startOffset()) + 1e-6)
            __builtin_trap();
        const double fade = renderer.fadeAt(t);
        if (!(fade >= 0 && fade <= 1)) __builtin_trap();
    }
    if (!std::isfinite(renderer.totalSeconds()) || renderer.totalSeconds() < 0) __builtin_trap();
    const double t = size > 0 ? renderer.totalSeconds() * data[0] / 255.0 : 0;
    const QImage frame = renderer.previewImage(false, t, 24, 24);
    if (frame.isNull() || frame.width() > 24 || frame.height() > 24) __builtin_trap();
    return 0;
}
