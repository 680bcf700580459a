#pragma once
// One credits video as an immutable description: the opening picture, the strip and the closing
// picture stacked on one tall band, where the band is at any time, and any frame of the roll
// with its text effect, fades and background.
//
// Coordinates run top-down: the offset is the distance from the top of the band to the top edge
// of the frame and grows as the band moves up. Const methods may run on several threads at once.

#include <QImage>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "credits/credits_settings.h"
#include "credits/credits_strip.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

// A picture scaled to `scalePercent` of the frame width but never taller than 90 % of the frame:
// the scaled image (16-bit premultiplied, its size the extent rounded) and the exact extent.
struct PlacedPicture {
    QImage image;
    double width = 0;
    double height = 0;
};
PlacedPicture placePicture(const QImage& image, double frameWidth, double frameHeight, const CreditsSettings::ImageSlot& slot);

class CreditsRenderer {
public:
    struct Item {
        QImage image;
        double top = 0;       // from the top of the band
        double width = 0;     // the extent drawn (pictures: the exact scaled size)
        double height = 0;
        bool isDocument = false;  // a strip tile
    };

    // `head` and `tail` are the (keyed) pictures, null when absent. The settings are clamped
    // into their ranges first.
    CreditsRenderer(const CreditsSettings& settings, const QImage& head, std::optional<CreditsStrip> strip, const QImage& tail);
    ~CreditsRenderer();
    CreditsRenderer(const CreditsRenderer&) = delete;
    CreditsRenderer& operator=(const CreditsRenderer&) = delete;

    const CreditsSettings& settings() const { return settings_; }
    const std::vector<Item>& items() const { return items_; }
    double stripHeight() const { return stripHeight_; }
    double startOffset() const { return startOffset_; }
    double endOffset() const { return endOffset_; }
    double headHold() const { return headHold_; }
    double tailHold() const { return tailHold_; }
    double rollSeconds() const { return rollSeconds_; }
    double pixelsPerFrame() const { return pixelsPerFrame_; }
    // The whole video: holds and roll.
    double totalSeconds() const { return headHold_ + rollSeconds_ + tailHold_; }

    // Band offset at `t` seconds; `continuous` (preview playback) does not snap to whole frames.
    double scrollOffset(double t, bool continuous) const;
    // Strength of the frame at `t` after the fades, 0…1.
    double fadeAt(double t) const;

    // Draws the frame at `t` (never continuous) into a 'BGRA' buffer of the settings' size:
    // straight alpha with a transparent background, opaque otherwise. Throws
    // std::invalid_argument for a buffer of another size or format.
    void renderFrame(PixelBuffer& buffer, double t) const;
    // The frame at `t` scaled down (never up) to fit maxWidth × maxHeight, area-averaged, as an
    // 8-bit premultiplied RGBA image.
    QImage previewImage(bool continuous, double t, int maxWidth, int maxHeight) const;

private:
    struct Scratch;
    void layoutItems(const QImage& head, const std::optional<CreditsStrip>& strip, const QImage& tail);
    // Composes the frame at `t` and stores it as 8-bit pixels.
    void compose(bool continuous, double t, uint8_t* pixels, size_t bytesPerRow, bool bgra, bool straight) const;
    std::unique_ptr<Scratch> takeScratch() const;
    void returnScratch(std::unique_ptr<Scratch> scratch) const;

    CreditsSettings settings_;
    std::vector<Item> items_;
    double stripHeight_ = 0;
    double startOffset_ = 0;
    double endOffset_ = 0;
    double headHold_ = 0;
    double tailHold_ = 0;
    double rollSeconds_ = 0;
    double pixelsPerFrame_ = 0;

    // Frame-sized layers and planes kept between frames, one set per thread drawing at once.
    mutable std::mutex scratchLock_;
    mutable std::vector<std::unique_ptr<Scratch>> idleScratch_;
};

}  // namespace qm
