#pragma once
// Natural photographs for the Hap measurements: 1920x1080 centre crops of the 2560x1600 desktop
// wallpapers, as BGRA pixel buffers.

#include <memory>
#include <string>
#include <vector>

#include "platform/media/pixel_buffer.h"

namespace qm::bench {

struct Photo {
    std::string name;
    std::shared_ptr<PixelBuffer> pixels;  // BGRA, opaque
};

// Every 2560x1600 wallpaper photograph found, cropped; empty when none is installed.
std::vector<Photo> loadPhotos(size_t limit = 64);

}  // namespace qm::bench
