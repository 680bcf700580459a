#pragma once
// The input layout of the private decoders' fuzz targets: a byte of skip flags (bit i: skip sample
// i modulo 8 when unreferenced), two bytes whose low 15 bits give the length of the sample
// description that follows and whose top bit asks for threads, the description, then each sample
// after a 3-byte length.
#include <cstddef>
#include <cstdint>

struct SampleStream {
    unsigned skips = 0;
    bool threads = false;
    const uint8_t* configuration = nullptr;
    size_t configurationSize = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;

    // False where the input is too short to hold the header.
    bool parse(const uint8_t* input, size_t length) {
        if (length < 3) return false;
        skips = input[0];
        threads = (input[1] & 0x80) != 0;
        configurationSize = size_t(input[1] & 0x7F) << 8 | input[2];
        configuration = input + 3;
        length -= 3;
        if (configurationSize > length) configurationSize = length;
        data = configuration + configurationSize;
        size = length - configurationSize;
        return true;
    }

    // each(index, bytes, length, skip) for every sample of at least one byte, in order.
    template <class Each>
    void forEachSample(Each&& each) const {
        const uint8_t* at = data;
        size_t left = size;
        for (int64_t index = 0; left >= 3; ++index) {
            size_t length = size_t(at[0]) << 16 | size_t(at[1]) << 8 | at[2];
            at += 3;
            left -= 3;
            if (length > left) length = left;
            if (length > 0) each(index, at, length, ((skips >> (index % 8)) & 1) != 0);
            at += length;
            left -= length;
        }
    }
};
