#pragma once
// Writing one picture as a PNG, TIFF or JPEG file with libavcodec's image encoders.
//
// Input: an 8-bit 'BGRA' or 16-bit 'l64r' pixel buffer. PNG keeps the depth (rgba / rgba64be),
// TIFF keeps it too (LZW-compressed rgba / rgba64le), JPEG is 8-bit full-range YCbCr 4:4:4.
// The file appears atomically: it is written under a temporary name in the same folder and
// renamed over the destination, so a reader never sees half a file and a failure leaves none.

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media/media_error.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

enum class ImageFileType { png, tiff, jpeg };

struct ImageFileSettings {
    ImageFileType type = ImageFileType::png;
    bool withAlpha = true;       // ignored for JPEG, which has none
    double jpegQuality = 0.9;    // 0...1, mapped to qscale 2 + round((1 - q) x 29)
};

// The mjpeg qscale for a quality in 0...1 (clamped): 2 (best) ... 31.
int jpegQScale(double quality);

// Throws MediaError: step "image encode" when the picture cannot be encoded (unsupported pixel
// format, encoder failure), "image write" when the file cannot be written or renamed.
void writeImageFile(const PixelBuffer& buffer, const std::filesystem::path& file, const ImageFileSettings& settings);

struct ImageEncoder;
struct ImageEncoderKey;
class PartialFile;

// Writes many pictures, as writeImageFile does, from many threads at once. A sequence writes
// thousands of same-sized pictures; building the encoder, its picture and the conversion afresh
// for each file costs more in page faults than the encoding, so each finished write leaves its
// set for the next one of the same kind. The sets go with the writer.
class ImageFileWriter {
public:
    ImageFileWriter();
    ~ImageFileWriter();
    ImageFileWriter(const ImageFileWriter&) = delete;
    ImageFileWriter& operator=(const ImageFileWriter&) = delete;

    void write(const PixelBuffer& buffer, const std::filesystem::path& file, const ImageFileSettings& settings);
    // Encodes the picture into `file`'s hidden file, written through its descriptor; naming it is
    // the caller's. Throws as writeImageFile does.
    void writeInto(const PixelBuffer& buffer, PartialFile& file, const ImageFileSettings& settings);
    // Encoder sets waiting for reuse.
    size_t idleCount() const;

private:
    std::unique_ptr<ImageEncoder> take(const ImageEncoderKey& key);
    void giveBack(std::unique_ptr<ImageEncoder> encoder);
    // A pooled encoder encodes the picture, and its bytes go to `file` (a path or a hidden file).
    template <typename File>
    void encodeAndWrite(const PixelBuffer& buffer, File& file, const ImageFileSettings& settings);

    mutable std::mutex lock_;
    std::vector<std::unique_ptr<ImageEncoder>> idle_;
};

}  // namespace qm
