// qm_hap_decode over arbitrary bytes. The first two bytes pick the two output capacities (in
// units of 8 bytes) so that every capacity check is reached; outputs are exactly that large.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codecs/hap_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint64_t capacities[2] = {uint64_t{data[0]} * 8, uint64_t{data[1]} * 8};
    std::unique_ptr<uint8_t[]> first(new uint8_t[capacities[0]]);
    std::unique_ptr<uint8_t[]> second(new uint8_t[capacities[1]]);
    uint8_t* outputs[2] = {first.get(), second.get()};
    uint8_t nibbles[2] = {0, 0};
    uint64_t lengths[2] = {0, 0};
    const int32_t count = qm_hap_decode(data + 2, size - 2, outputs, capacities, nibbles, lengths);
    if (count > 2 || count == 0 || count < -1) __builtin_trap();
    for (int32_t i = 0; i < count; ++i)
        if (lengths[i] > capacities[i]) __builtin_trap();
    return 0;
}
