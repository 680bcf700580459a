#pragma once
// Pictures for the credits: loading picture files, and removing a white, black or coloured
// background from opening and closing pictures, logos and PDF pages, optionally only where it
// touches the picture's border, optionally recolouring what stays.

#include <QImage>

#include <filesystem>
#include <optional>

#include "credits/credits_settings.h"
#include "engine/rgb_color.h"

namespace qm {

// The first picture of the file, orientation metadata not applied; a null image when the file
// cannot be read as a picture (or is beyond the decoder's limits).
QImage loadImageFile(const std::filesystem::path& file);

enum class KeyRecolor {
    keep = 0,     // colours stay
    tint = 1,     // every pixel takes the tint
    neutral = 2,  // black, grey and white pixels take the tint; coloured ones stay
};

struct KeyEstimate {
    CreditsSettings::KeyMode mode = CreditsSettings::KeyMode::none;
    RGBColor color;
    bool operator==(const KeyEstimate&) const = default;
};

// Never fails: returns `image` itself when nothing applies, otherwise a 16-bit premultiplied
// picture of the same size. `automatic` estimates mode and key colour from the corners.
// Tolerance and softness are fractions (0…1).
QImage keyPicture(const QImage& image, CreditsSettings::KeyMode mode, KeyRecolor recolor, bool outerOnly,
                  RGBColor keyColor, double tolerance, double softness, RGBColor tint);

// An opening or closing picture keyed by its slot: the slot's mode, key colour and outer-only
// choice, tolerance and softness in percent; colours kept.
QImage keySlotPicture(const QImage& picture, const CreditsSettings::ImageSlot& slot);

// The background the corners suggest: white, black or a colour, or none for pictures smaller than
// 8 pixels, whose corners are mostly transparent, or whose corners do not agree on one colour
// (two of them farther apart than tolerance + softness + 0.05, the colour key's background band).
KeyEstimate estimateKeyColor(const QImage& image, double tolerance = 0.08, double softness = 0.1);

// The background region connected to the border (4-connected flood from every border pixel that
// passes the background test), widened by 2 pixels, as an 8-bit grey mask (255 = background).
// Nothing for pictures under 3 × 3 or above 40,000,000 pixels.
std::optional<QImage> outerBackgroundMask(const QImage& image, CreditsSettings::KeyMode mode, RGBColor keyColor,
                                          double tolerance, double softness);

}  // namespace qm
