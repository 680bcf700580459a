#include "credits/credits_renderer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/raster/compositing.h"
#include "platform/raster/dilation.h"
#include "platform/raster/gaussian_blur.h"
#include "platform/raster/sampling.h"

namespace qm {

struct CreditsRenderer::Scratch {
    QImage text;
    QImage pictures;
    // What was drawn into since the layers were last cleared.
    Area textArea{0, 0, 0, 0};
    Area picturesArea{0, 0, 0, 0};
    FloatPlane silhouette;
    FloatPlane second;
    // Rows of the planes that may be non-zero.
    RowRange silhouetteRows{0, 0}, secondRows{0, 0};
};

PlacedPicture placePicture(const QImage& image, double frameWidth, double frameHeight, const CreditsSettings::ImageSlot& slot) {
    const double w = image.width();
    const double h = image.height();
    const double byWidth = frameWidth * slot.scalePercent / 100.0 / std::max(w, 1.0);
    const double byHeight = h >= 1 ? 0.9 * frameHeight / h : 0.9 * frameHeight;
    const double s = std::min(byHeight, byWidth);
    PlacedPicture placed;
    placed.width = w * s;
    placed.height = h * s;
    if (image.isNull()) return placed;
    const int pw = std::max(1, static_cast<int>(std::lround(placed.width)));
    const int ph = std::max(1, static_cast<int>(std::lround(placed.height)));
    const QImage deep = image.convertToFormat(kLayerFormat);
    placed.image = (pw == deep.width() && ph == deep.height())
                       ? deep
                       : deep.scaled(pw, ph, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(kLayerFormat);
    return placed;
}

CreditsRenderer::CreditsRenderer(const CreditsSettings& settings, const QImage& head, std::optional<CreditsStrip> strip,
                                 const QImage& tail)
    : settings_(settings.clamped()) {
    layoutItems(head, strip, tail);
}

CreditsRenderer::~CreditsRenderer() = default;

void CreditsRenderer::layoutItems(const QImage& head, const std::optional<CreditsStrip>& strip, const QImage& tail) {
    const double W = double(settings_.width);
    const double H = double(settings_.height);
    const double fps = settings_.frameRate;
    const bool hasHead = !head.isNull();
    const bool hasTail = !tail.isNull();
    const double gap = settings_.gapPercent * H / 100.0;
    double y = 0;
    double headCentre = 0;
    double tailCentre = 0;
    if (hasHead) {
        const PlacedPicture p = placePicture(head, W, H, settings_.head);
        items_.push_back({p.image, 0, p.width, p.height, false});
        headCentre = p.height / 2;
        y = p.height + gap;
    }
    if (strip) {
        for (const CreditsStrip::Tile& tile : strip->tiles)
            items_.push_back({tile.image, tile.top + y, double(tile.image.width()), double(tile.image.height()), true});
        y += strip->height;
        if (hasTail) y += gap;
    }
    if (hasTail) {
        const PlacedPicture p = placePicture(tail, W, H, settings_.tail);
        items_.push_back({p.image, y, p.width, p.height, false});
        tailCentre = y + p.height / 2;
        y += p.height;
    }
    stripHeight_ = y;
    startOffset_ = hasHead ? headCentre - H / 2 : -H;
    endOffset_ = hasTail ? tailCentre - H / 2 : y;
    headHold_ = hasHead ? settings_.head.hold : 0;
    tailHold_ = hasTail ? settings_.tail.hold : 0;
    const double distance = items_.empty() ? 0 : std::max(endOffset_ - startOffset_, 0.0);
    const double roll = settings_.timeIsTotal ? settings_.rollSeconds - headHold_ - tailHold_ : settings_.rollSeconds;
    pixelsPerFrame_ = distance / std::max(roll * fps, 1.0);
    if (distance > 0 && settings_.wholePixelSteps) pixelsPerFrame_ = std::max(std::round(pixelsPerFrame_), 1.0);
    rollSeconds_ = distance > 0 ? distance / pixelsPerFrame_ / fps : 0;
}

double CreditsRenderer::scrollOffset(double t, bool continuous) const {
    if (std::isnan(t) || t <= headHold_) return startOffset_;
    const double e = t - headHold_;
    if (e >= rollSeconds_) return endOffset_;
    double f = e * settings_.frameRate;
    if (settings_.wholePixelSteps && !continuous) f = std::round(f);
    return std::min(f * pixelsPerFrame_ + startOffset_, endOffset_);
}

double CreditsRenderer::fadeAt(double t) const {
    double a = 1;
    if (settings_.fadeIn > 0 && t / settings_.fadeIn < 1) a = t / settings_.fadeIn;
    if (settings_.fadeOut > 0) a = std::min(a, (totalSeconds() - t) / settings_.fadeOut);
    a = std::min(a, 1.0);
    return a > 0 ? a : 0;
}

std::unique_ptr<CreditsRenderer::Scratch> CreditsRenderer::takeScratch() const {
    {
        std::lock_guard guard(scratchLock_);
        if (!idleScratch_.empty()) {
            auto scratch = std::move(idleScratch_.back());
            idleScratch_.pop_back();
            return scratch;
        }
    }
    auto scratch = std::make_unique<Scratch>();
    scratch->text = makeLayer(int(settings_.width), int(settings_.height));
    scratch->pictures = makeLayer(int(settings_.width), int(settings_.height));
    return scratch;
}

void CreditsRenderer::returnScratch(std::unique_ptr<Scratch> scratch) const {
    std::lock_guard guard(scratchLock_);
    idleScratch_.push_back(std::move(scratch));
}

void CreditsRenderer::compose(bool continuous, double t, uint8_t* pixels, size_t bytesPerRow, bool bgra, bool straight) const {
    using Effect = CreditsSettings::Effect;
    const int w = int(settings_.width);
    const int h = int(settings_.height);
    const double W = w;
    const double H = h;
    const double offset = scrollOffset(t, continuous);

    const float fade = [&] {
        const double a = fadeAt(t);
        return a < 0.999 ? float(a) : 1.0f;
    }();
    std::optional<Rgba> background;
    switch (settings_.background) {
    case CreditsSettings::Background::transparent: break;
    case CreditsSettings::Background::black: background = Rgba{0, 0, 0, 1}; break;
    case CreditsSettings::Background::color: {
        const RGBColor c = settings_.backgroundColor;
        background = Rgba{float(c.r), float(c.g), float(c.b), 1};
        break;
    }
    }
    const StoreOrder order = bgra ? StoreOrder::bgra : StoreOrder::rgba;
    const StoreAlpha alpha = straight ? StoreAlpha::straight : StoreAlpha::premultiplied;

    // Without an effect, items at whole pixels at their own size that do not overlap (the roll of
    // a strip, mostly) need no layers: they are stored straight from their pixels.
    if (settings_.effect == Effect::none) {
        std::vector<PlacedImage> placed;
        bool direct = true;
        double below = -1e300;
        for (const Item& item : items_) {
            const double rel = item.top - offset;
            if (!(rel < H && rel + item.height > 0)) continue;
            const double left = (W - item.width) / 2;
            const bool whole = left == std::floor(left) && rel == std::floor(rel) && item.width == item.image.width() &&
                               item.height == item.image.height() &&
                               (item.image.format() == CreditsStrip::kTileFormat || item.image.format() == kLayerFormat);
            if (!whole || rel < below) {
                direct = false;
                break;
            }
            below = rel + item.height;
            placed.push_back({&item.image, int(left), int(rel)});
        }
        if (direct) {
            storeImages(placed, fade, background, w, h, pixels, bytesPerRow, order, alpha);
            return;
        }
    }

    std::unique_ptr<Scratch> scratch = takeScratch();
    clearLayerArea(scratch->text, scratch->textArea);
    clearLayerArea(scratch->pictures, scratch->picturesArea);
    scratch->textArea = scratch->picturesArea = Area{h, 0, w, 0};

    // Only visible items are drawn; later items lie above earlier ones.
    for (const Item& item : items_) {
        const double rel = item.top - offset;
        if (!(rel < H && rel + item.height > 0)) continue;
        const bool onPictures = !item.isDocument && !settings_.effectOnImages;
        QImage& layer = onPictures ? scratch->pictures : scratch->text;
        const double left = (W - item.width) / 2;
        drawOver(layer, item.image, QPointF(left, rel), QSizeF(item.width, item.height));
        Area& area = onPictures ? scratch->picturesArea : scratch->textArea;
        area.top = std::min(area.top, std::max(0, int(std::floor(rel))));
        area.bottom = std::max(area.bottom, std::min(h, int(std::ceil(rel + item.height)) + 1));
        area.left = std::min(area.left, std::max(0, int(std::floor(left))));
        area.right = std::max(area.right, std::min(w, int(std::ceil(left + item.width)) + 1));
    }
    const bool hasText = !scratch->textArea.empty();
    const bool hasPictures = !scratch->picturesArea.empty();

    LayerStack stack;
    if (settings_.effect != Effect::none && hasText) {
        const double k = settings_.effectStrength / 100.0;
        const double size = std::max(settings_.effectSize, 0.5);
        // How far the effect reaches beyond the text: six boxes of a blur reach under 5 sigma + 8,
        // the outline's disc its radius, the shadow its offset.
        const int reach = int(std::ceil(6 * size + 10 + settings_.shadowOffset));
        const RowRange textRows{scratch->textArea.top, scratch->textArea.bottom};
        const RowRange effectRows{std::max(0, textRows.top - reach), std::min(h, textRows.bottom + reach)};
        // Rows a plane held last time are cleared, except the text rows written anew.
        auto clearAround = [&](FloatPlane& p, RowRange before) {
            clearPlaneRows(p, {before.top, std::min(before.bottom, textRows.top)});
            clearPlaneRows(p, {std::max(before.top, textRows.bottom), before.bottom});
        };
        FloatPlane& plane = scratch->silhouette;
        clearAround(plane, scratch->silhouetteRows);
        alphaPlane(scratch->text, float(k), plane, textRows);
        scratch->silhouetteRows = effectRows;
        switch (settings_.effect) {
        case Effect::glow: {
            FloatPlane& tight = scratch->second;
            if (tight.width != w || tight.height != h) tight = FloatPlane(w, h);
            clearAround(tight, scratch->secondRows);
            copyPlaneRows(plane, tight, textRows);
            scratch->secondRows = effectRows;
            gaussianBlur(plane, size, textRows);
            gaussianBlur(tight, size / 3, textRows);
            addPlane(plane, tight, effectRows);
            break;
        }
        case Effect::shadow: gaussianBlur(plane, size, textRows); break;
        case Effect::outline:
            dilateDisc(plane, size);
            gaussianBlur(plane, std::max(size * 0.25, 0.6));
            break;
        case Effect::none: break;
        }
        const RGBColor c = settings_.effectColor;
        stack.under = {&plane, float(c.r), float(c.g), float(c.b), 0, 0};
        stack.underArea = {effectRows.top, effectRows.bottom, scratch->textArea.left - reach, scratch->textArea.right + reach};
        if (settings_.effect == Effect::shadow) {
            stack.under.dx = stack.under.dy = float(settings_.shadowOffset);
            const int shift = int(std::ceil(settings_.shadowOffset)) + 1;
            stack.underArea.bottom = std::min(h, stack.underArea.bottom + shift);
            stack.underArea.right += shift;
        }
    }
    stack.base = hasText ? &scratch->text : nullptr;
    stack.baseArea = scratch->textArea;
    stack.top = hasPictures ? &scratch->pictures : nullptr;
    stack.topArea = scratch->picturesArea;
    stack.fade = fade;
    stack.background = background;
    storeLayerStack(stack, w, h, pixels, bytesPerRow, order, alpha);
    returnScratch(std::move(scratch));
}

void CreditsRenderer::renderFrame(PixelBuffer& buffer, double t) const {
    if (buffer.pixelFormat() != kPixelFormatBGRA || buffer.width() != settings_.width || buffer.height() != settings_.height)
        throw std::invalid_argument("credits frames are drawn into BGRA buffers of the credits size");
    const bool transparent = settings_.background == CreditsSettings::Background::transparent;
    compose(false, t, buffer.data(), buffer.bytesPerRow(), true, transparent);
    buffer.setAlphaMode(transparent ? AlphaMode::straight : AlphaMode::unspecified);
}

QImage CreditsRenderer::previewImage(bool continuous, double t, int maxWidth, int maxHeight) const {
    const double W = double(settings_.width);
    const double H = double(settings_.height);
    const double s = std::min({double(maxHeight) / H, double(maxWidth) / W, 1.0});
    QImage frame(int(settings_.width), int(settings_.height), QImage::Format_RGBA8888_Premultiplied);
    if (frame.isNull()) return frame;
    compose(continuous, t, frame.bits(), size_t(frame.bytesPerLine()), false, false);
    if (s >= 1) return frame;
    return downscaleArea(frame, std::max(1, int(std::lround(W * s))), std::max(1, int(std::lround(H * s))));
}

}  // namespace qm
