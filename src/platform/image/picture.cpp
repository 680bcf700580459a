#include "platform/image/picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QString>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <mutex>

namespace qm {

namespace {

// Room for one picture at the pixel cap in 32-bit pixels, in MiB.
constexpr int kAllocationLimitMiB = static_cast<int>(Picture::kMaxPixels * 4 / (1024 * 1024));

bool withinLimits(const QSize& size) {
    if (size.width() <= 0 || size.height() <= 0) return false;
    if (size.width() > Picture::kMaxSide || size.height() > Picture::kMaxSide) return false;
    return static_cast<std::int64_t>(size.width()) * size.height() <= Picture::kMaxPixels;
}

PictureRef decodeWith(QImageReader& reader) {
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(kAllocationLimitMiB); });
    // The declared size is checked first so an oversized picture is refused before it is decoded;
    // readers that cannot tell their size beforehand are checked after decoding.
    const QSize declared = reader.size();
    if (declared.isValid() && !withinLimits(declared)) return nullptr;
    QImage image;
    if (!reader.read(&image) || image.isNull() || !withinLimits(image.size())) return nullptr;
    return std::make_shared<const Picture>(image);
}

}  // namespace

Picture::Picture(const QImage& image) : image_(std::make_unique<QImage>(image)) {}
Picture::~Picture() = default;

int Picture::width() const { return image_->width(); }
int Picture::height() const { return image_->height(); }

PictureRef decodePicture(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                               static_cast<qsizetype>(data.size()));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly)) return nullptr;
    QImageReader reader(&buffer);
    // Pictures embedded in a document are bitmaps; a vector picture could reach out to other files
    // on this machine, so it is not rendered.
    const QByteArray format = reader.format();
    if (format == "svg" || format == "svgz") return nullptr;
    // The decoded image owns its pixels, so the borrowed bytes may go away afterwards.
    return decodeWith(reader);
}

PictureRef decodePictureFile(const std::filesystem::path& file) {
    // Never a named pipe or a device: reading one may block forever.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return nullptr;
    QImageReader reader(QString::fromStdString(file.string()));
    return decodeWith(reader);
}

PictureRef cropPicture(const PictureRef& picture, std::int64_t x, std::int64_t y, std::int64_t width,
                       std::int64_t height) {
    if (!picture || width <= 0 || height <= 0) return nullptr;
    const std::int64_t w = picture->width();
    const std::int64_t h = picture->height();
    const std::int64_t x0 = std::clamp<std::int64_t>(x, 0, w);
    const std::int64_t y0 = std::clamp<std::int64_t>(y, 0, h);
    const std::int64_t x1 = std::clamp<std::int64_t>(x > w - width ? w : x + width, 0, w);
    const std::int64_t y1 = std::clamp<std::int64_t>(y > h - height ? h : y + height, 0, h);
    if (x1 <= x0 || y1 <= y0) return nullptr;
    const QImage cut = picture->image().copy(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                                             static_cast<int>(y1 - y0));
    if (cut.isNull()) return nullptr;
    return std::make_shared<const Picture>(cut);
}

}  // namespace qm
