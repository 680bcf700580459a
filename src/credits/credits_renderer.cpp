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
    FloatPlane work;  // all 0 between frames
    std::vector<float> dilationWork;
    // Where the silhouette plane may be non-zero.
    Area silhouetteArea{0, 0, 0, 0};

    // The settings' effect on the text's silhouette, under the text in `stack`.
    void addTextEffect(const CreditsSettings& settings, const std::vector<PlacedImage>& text, const Area& textArea, int w,
                       int h, LayerStack& stack) {
        using Effect = CreditsSettings::Effect;
        const double k = settings.effectStrength / 100.0;
        const double size = std::max(settings.effectSize, 0.5);
        // How far the effect reaches beyond the text: six boxes of a blur reach under 5 sigma + 8,
        // the outline's disc its radius.
        const int reach = int(std::ceil(6 * size + 10));
        FloatPlane& plane = silhouette;
        if (plane.width != w || plane.height != h) plane = FloatPlane(w, h);
        // What the last frame left outside the text area, which is written anew, goes back to 0.
        clearPlaneArea(plane, silhouetteArea, textArea);
        const Area ink = alphaPlane(text, float(k), plane, textArea);
        const Area effectArea = clippedArea(grownArea(ink, reach), w, h);
        switch (settings.effect) {
        case Effect::glow: gaussianBlurSum(plane, size, size / 3, work, ink); break;
        case Effect::shadow: gaussianBlur(plane, size, ink); break;
        case Effect::outline:
            dilateDisc(plane, size, ink, &dilationWork);
            gaussianBlur(plane, std::max(size * 0.25, 0.6), clippedArea(grownArea(ink, int(std::floor(size))), w, h));
            break;
        case Effect::none: break;
        }
        silhouetteArea = effectArea;
        const RGBColor c = settings.effectColor;
        stack.under = {&plane, float(c.r), float(c.g), float(c.b), 0, 0};
        stack.underArea = effectArea;
        if (settings.effect == Effect::shadow && !effectArea.empty()) {
            stack.under.dx = stack.under.dy = float(settings.shadowOffset);
            const int shift = int(std::ceil(settings.shadowOffset)) + 1;
            stack.underArea.bottom = std::min(h, stack.underArea.bottom + shift);
            stack.underArea.right += shift;
        }
    }
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

    // Items at whole pixels at their own size (the roll of a strip, mostly) are used in place:
    // when the ones a layer would hold share no row, that layer is not drawn.
    auto placedInPlace = [&](const Item& item, double rel) -> std::optional<PlacedImage> {
        const double left = (W - item.width) / 2;
        const bool whole = left == std::floor(left) && rel == std::floor(rel) && item.width == item.image.width() &&
                           item.height == item.image.height() &&
                           (item.image.format() == CreditsStrip::kTileFormat || item.image.format() == kLayerFormat);
        if (!whole) return std::nullopt;
        return PlacedImage{&item.image, int(left), int(rel)};
    };
    auto visible = [&](const Item& item) { return item.top - offset < H && item.top - offset + item.height > 0; };
    auto onPictures = [&](const Item& item) { return !item.isDocument && !settings_.effectOnImages; };
    // The items of one layer (or of both together) in place, if they all can be.
    auto inPlace = [&](auto&& belongs) -> std::optional<std::vector<PlacedImage>> {
        std::vector<PlacedImage> placed;
        double below = -1e300;
        for (const Item& item : items_) {
            if (!visible(item) || !belongs(item)) continue;
            const double rel = item.top - offset;
            const std::optional<PlacedImage> p = placedInPlace(item, rel);
            if (!p || rel < below) return std::nullopt;
            below = rel + item.height;
            placed.push_back(*p);
        }
        return placed;
    };

    // Without an effect such a frame needs no layers at all: it is stored straight from the items.
    if (settings_.effect == Effect::none) {
        if (const auto placed = inPlace([](const Item&) { return true; })) {
            storeImages(*placed, fade, background, w, h, pixels, bytesPerRow, order, alpha);
            return;
        }
    }
    const std::optional<std::vector<PlacedImage>> textInPlace = inPlace([&](const Item& item) { return !onPictures(item); });

    std::unique_ptr<Scratch> scratch = takeScratch();
    clearLayerArea(scratch->text, scratch->textArea);
    clearLayerArea(scratch->pictures, scratch->picturesArea);
    scratch->textArea = scratch->picturesArea = Area{h, 0, w, 0};

    // Only visible items are drawn; later items lie above earlier ones. `textArea` is what the
    // text items cover, whether drawn or in place.
    Area textArea{h, 0, w, 0};
    for (const Item& item : items_) {
        if (!visible(item)) continue;
        const double rel = item.top - offset;
        const bool pictures = onPictures(item);
        const double left = (W - item.width) / 2;
        Area& area = pictures ? scratch->picturesArea : textArea;
        area.top = std::min(area.top, std::max(0, int(std::floor(rel))));
        area.bottom = std::max(area.bottom, std::min(h, int(std::ceil(rel + item.height)) + 1));
        area.left = std::min(area.left, std::max(0, int(std::floor(left))));
        area.right = std::max(area.right, std::min(w, int(std::ceil(left + item.width)) + 1));
        if (!pictures && textInPlace) continue;
        drawOver(pictures ? scratch->pictures : scratch->text, item.image, QPointF(left, rel), QSizeF(item.width, item.height));
    }
    if (!textInPlace) scratch->textArea = textArea;
    const bool hasText = !textArea.empty();
    const bool hasPictures = !scratch->picturesArea.empty();

    LayerStack stack;
    if (settings_.effect != Effect::none && hasText)
        scratch->addTextEffect(settings_, textInPlace ? *textInPlace : std::vector<PlacedImage>{{&scratch->text, 0, 0}},
                               textArea, w, h, stack);
    if (hasText && textInPlace)
        stack.baseImages = *textInPlace;
    else if (hasText)
        stack.base = &scratch->text;
    stack.baseArea = textArea;
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
