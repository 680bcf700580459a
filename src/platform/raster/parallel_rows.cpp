#include "platform/raster/parallel_rows.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace qm {

void forEachRowBand(int rows, const std::function<void(int begin, int end)>& body) {
    if (rows <= 0) return;
    // Small pictures are not worth waking the workers for.
    if (rows < 16) {
        body(0, rows);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<int>(0, rows, 8),
                      [&](const tbb::blocked_range<int>& r) { body(r.begin(), r.end()); });
}

}  // namespace qm
