#include "engine/render_timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/conversion_error.h"
#include "engine/frame_batch.h"

namespace qm {

MediaTime frameDuration(double rate) {
    if (!std::isfinite(rate) || rate <= 0.0) return MediaTime::invalid();
    constexpr double maxScale = std::numeric_limits<int32_t>::max();
    const double n = std::round(rate);
    if (n >= 1.0 && std::abs(rate - n * 1000.0 / 1001.0) < 0.005) {
        if (n * 1000.0 > maxScale) return MediaTime::invalid();
        return MediaTime::make(1001, static_cast<int32_t>(n * 1000.0));
    }
    if (n >= 1.0 && std::abs(rate - n) < 0.001) {
        if (n * 100.0 > maxScale) return MediaTime::invalid();
        return MediaTime::make(100, static_cast<int32_t>(n * 100.0));
    }
    const double scale = std::round(rate * 1000.0);
    if (scale < 1.0 || scale > maxScale) return MediaTime::invalid();
    return MediaTime::make(1000, static_cast<int32_t>(scale));
}

int64_t renderFrameCount(double seconds, MediaTime frameDuration) {
    if (!frameDuration.isNumeric() || frameDuration.value <= 0 || !std::isfinite(seconds) || seconds <= 0.0) return 1;
    const double ticks = std::round(seconds * frameDuration.timescale);
    // Far beyond any real length; keeps the integer arithmetic below exact.
    if (ticks >= 9.0e15) return std::numeric_limits<int64_t>::max() / 2;
    const auto total = static_cast<int64_t>(ticks);
    return std::max<int64_t>(1, (total + frameDuration.value - 1) / frameDuration.value);
}

void checkRenderLength(double seconds) {
    if (!(seconds <= kLongestTimelineSeconds)) throw ConversionError::encodeFailed("the movie would last more than 100 hours");
}

int renderBatchSize(int64_t width, int64_t height, int processors) {
    constexpr int64_t budget = 1'500'000'000;
    const int64_t bytes = std::max<int64_t>(1, std::max<int64_t>(0, width) * std::max<int64_t>(0, height) * 8);
    const int64_t byMemory = bytes > budget ? 0 : budget / bytes;
    const int64_t cap = std::min<int64_t>({byMemory, std::max(processors, 1), 32});
    return static_cast<int>(std::max<int64_t>(2, cap));
}

int renderBatchSize(int64_t width, int64_t height) {
    // The processors this process may use (a container's or `taskset`'s share), as Convert's batches.
    return renderBatchSize(width, height, activeProcessorCount());
}

}  // namespace qm
