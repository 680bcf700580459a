#pragma once
// Damage done in place to a ProRes movie the ffmpeg CLI made: its frames found by walking the
// file's boxes and the frames' own headers, independently of the readers under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qm::test {

// Where each frame of a video-only ProRes movie lies in the file: [begin, end) byte offsets, in
// stored order. Each frame opens with its size (big-endian) and 'icpf'.
inline std::vector<std::pair<size_t, size_t>> proResFrames(const std::filesystem::path& movie) {
    std::ifstream in(movie, std::ios::binary);
    const std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto be32 = [&](size_t at) { return size_t(d[at]) << 24 | size_t(d[at + 1]) << 16 | size_t(d[at + 2]) << 8 | d[at + 3]; };
    std::vector<std::pair<size_t, size_t>> frames;
    for (size_t box = 0; box + 8 <= d.size();) {
        const size_t size = be32(box);
        if (size < 8) break;
        if (std::string(d.begin() + long(box) + 4, d.begin() + long(box) + 8) == "mdat")
            for (size_t at = box + 8; at + 8 <= box + size; at += be32(at)) {
                EXPECT_EQ(std::string(d.begin() + long(at) + 4, d.begin() + long(at) + 8), "icpf") << at;
                frames.emplace_back(at, at + be32(at));
            }
        box += size;
    }
    return frames;
}

// Bytes [from, to) of the file overwritten with a fixed pseudo-random pattern.
inline void garble(const std::filesystem::path& file, size_t from, size_t to) {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(from));
    uint32_t x = 2463534242u;
    for (size_t i = from; i < to; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        f.put(char(x & 0xff));
    }
    ASSERT_TRUE(f.good());
}

// The file cut short at `size` bytes, in place.
inline void cutAt(const std::filesystem::path& file, size_t size) { std::filesystem::resize_file(file, size); }

}  // namespace qm::test
