#include "codecs_hap_photos.h"

#include <stb_image.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace qm::bench {

std::vector<Photo> loadPhotos(size_t limit) {
    constexpr int kWidth = 1920, kHeight = 1080;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/share/wallpapers", ec)) {
        const auto file = entry.path() / "contents" / "images" / "2560x1600.jpg";
        if (std::filesystem::exists(file, ec)) files.push_back(file);
    }
    std::sort(files.begin(), files.end());
    std::vector<Photo> photos;
    for (const auto& file : files) {
        if (photos.size() >= limit) break;
        int width = 0, height = 0, channels = 0;
        unsigned char* rgba = stbi_load(file.c_str(), &width, &height, &channels, 4);
        if (rgba == nullptr) continue;
        if (width >= kWidth && height >= kHeight) {
            auto buffer = PixelBuffer::create(kWidth, kHeight, kPixelFormatBGRA);
            const int left = (width - kWidth) / 2, top = (height - kHeight) / 2;
            for (int y = 0; y < kHeight; ++y) {
                const unsigned char* in = rgba + (static_cast<size_t>(top + y) * width + left) * 4;
                uint8_t* out = buffer->data() + static_cast<size_t>(y) * buffer->bytesPerRow();
                for (int x = 0; x < kWidth; ++x) {
                    out[x * 4] = in[x * 4 + 2];
                    out[x * 4 + 1] = in[x * 4 + 1];
                    out[x * 4 + 2] = in[x * 4];
                    out[x * 4 + 3] = in[x * 4 + 3];
                }
            }
            photos.push_back({file.parent_path().parent_path().parent_path().filename().string(), buffer});
        }
        stbi_image_free(rgba);
    }
    return photos;
}

}  // namespace qm::bench
