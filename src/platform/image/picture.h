#pragma once
// Decoded pictures: immutable bitmaps shared by reference between everything that shows them.
// Decoding goes through QImageReader with an allocation limit and a pixel cap, so a hostile file
// cannot make us allocate gigabytes.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

class QImage;

namespace qm {

class Picture {
public:
    // Largest side and largest pixel count we decode; anything bigger is refused as unreadable.
    static constexpr int kMaxSide = 16384;
    static constexpr std::int64_t kMaxPixels = 64LL * 1024 * 1024;

    explicit Picture(const QImage& image);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    int width() const;
    int height() const;
    const QImage& image() const { return *image_; }

private:
    std::unique_ptr<QImage> image_;
};

using PictureRef = std::shared_ptr<const Picture>;

// Decodes the first image of the bytes; null when they are not a bitmap picture we can read or the
// picture is beyond the limits.
PictureRef decodePicture(std::span<const std::uint8_t> data);

// The same for a picture file.
PictureRef decodePictureFile(const std::filesystem::path& file);

// Cuts the whole-pixel rectangle out of the picture; the part outside the picture is dropped.
// Null when nothing of the rectangle lies inside the picture.
PictureRef cropPicture(const PictureRef& picture, std::int64_t x, std::int64_t y, std::int64_t width,
                       std::int64_t height);

}  // namespace qm
