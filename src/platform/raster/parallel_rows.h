#pragma once
// Row-parallel loops for the raster operations: the rows are cut into bands that run on oneTBB's
// workers; each band is handed to the body as [begin, end).

#include <functional>

namespace qm {

void forEachRowBand(int rows, const std::function<void(int begin, int end)>& body);

}  // namespace qm
