// The HEVC alpha layer detection over arbitrary bytes: an hvcC record or Annex B configuration,
// then the rest as samples, never reads outside the input nor hangs.
#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "platform/media/hevc_alpha_layer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes split the input into the configuration and one sample.
    const size_t split = std::min<size_t>(size - 2, size_t(data[0]) << 8 | data[1]);
    const uint8_t* rest = data + 2;
    qm::HevcAlphaLayerScan scan;
    scan.addConfiguration(rest, split);
    scan.addSample(rest + split, size - 2 - split);
    volatile bool found = scan.hasAlphaLayer();
    (void)found;
    return 0;
}
