#pragma once
// Damage done in place to movies: a ProRes movie's frames found by walking the file's boxes and
// the frames' own headers, an HEVC movie's samples as Debian's ffprobe finds them and their NAL
// units by their lengths, independently of the readers under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

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

// Where each stored sample of the movie's first video track lies in the file: offset and size.
inline std::vector<std::pair<size_t, size_t>> videoSampleSpans(const std::filesystem::path& movie) {
    const auto result = run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size,pos", "-of",
                             "csv=p=0", movie.string()});
    std::vector<std::pair<size_t, size_t>> spans;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t comma = line.find(',');
        if (comma != std::string::npos) spans.emplace_back(std::stoul(line.substr(comma + 1)), std::stoul(line.substr(0, comma)));
    }
    return spans;
}

// An HEVC NAL unit inside a file's bytes: where its 4-byte length lies, its length, type and layer.
struct HevcUnit {
    size_t at;
    size_t length;
    int type, layer;
};
inline std::vector<HevcUnit> hevcUnits(const std::string& file, size_t offset, size_t size) {
    std::vector<HevcUnit> units;
    for (size_t at = offset; at + 6 <= offset + size;) {
        const auto byte = [&](size_t i) { return uint8_t(file[i]); };
        const size_t length = size_t(byte(at)) << 24 | size_t(byte(at + 1)) << 16 | size_t(byte(at + 2)) << 8 | byte(at + 3);
        units.push_back({at, length, byte(at + 4) >> 1 & 0x3F, (byte(at + 4) & 1) << 5 | byte(at + 5) >> 3});
        at += 4 + length;
    }
    return units;
}

// tests/fixtures/hevc_alpha/hev1-alpha.mov (160 × 120, 48 frames at 24 fps, one group of
// pictures) with one bit of the picture order count in sample 3's alpha slice flipped: that
// picture's reference set then names pictures that are not there, and the decoder drops from its
// buffer the ones the alpha pictures after it are predicted from. FFmpeg 9 decodes frame 0 whole and the alpha of most frames from 1
// on into nothing.
inline std::filesystem::path withDamagedAlphaSlice(const std::filesystem::path& out) {
    std::string file = readFile(fixture("hevc_alpha/hev1-alpha.mov"));
    const auto spans = videoSampleSpans(fixture("hevc_alpha/hev1-alpha.mov"));
    EXPECT_EQ(spans.size(), 48u);
    const auto units = hevcUnits(file, spans.at(3).first, spans.at(3).second);
    EXPECT_TRUE(units.size() == 2 && units[1].layer == 1 && units[1].type == 0 && units[1].length == 15);
    file[units.at(1).at + 4 + 3] ^= 0x40;
    writeFile(out, file);
    return out;
}

// Where slice `slice` (counting from 0) of `layer` in stored sample `sample` of an H.264 or HEVC
// movie (4-byte NAL unit lengths) lies: the offset of its unit's length and that length.
inline std::pair<size_t, size_t> sliceUnit(const std::string& file, const std::filesystem::path& movie, size_t sample,
                                           bool hevc, int layer, int slice) {
    const auto span = videoSampleSpans(movie).at(sample);
    for (size_t at = span.first; at + 6 <= span.first + span.second;) {
        const auto byte = [&](size_t i) { return uint8_t(file[i]); };
        const size_t length = size_t(byte(at)) << 24 | size_t(byte(at + 1)) << 16 | size_t(byte(at + 2)) << 8 | byte(at + 3);
        const int type = hevc ? byte(at + 4) >> 1 & 0x3F : byte(at + 4) & 0x1F;
        const int unitLayer = hevc ? (byte(at + 4) & 1) << 5 | byte(at + 5) >> 3 : 0;
        if ((hevc ? type < 32 : type == 1 || type == 5) && unitLayer == layer && slice-- == 0) return {at, length};
        at += 4 + length;
    }
    ADD_FAILURE() << "no such slice of layer " << layer << " in sample " << sample;
    return {0, 0};
}

// That slice cut to `kept` of its length, in place: the rest of its bytes become a filler data
// unit, which decoders pass over, so that the file's sample sizes stay true. Nothing kept turns the
// whole slice into filler: the picture lacks it.
inline void cutSlice(const std::filesystem::path& movie, size_t sample, bool hevc, int layer, int slice, double kept) {
    std::string file = readFile(movie);
    const auto [at, length] = sliceUnit(file, movie, sample, hevc, layer, slice);
    if (length == 0) return;
    const std::string fillerHeader = hevc ? std::string{char(38 << 1), 1} : std::string{12};
    const auto fill = [&](size_t n) { return fillerHeader + std::string(n - fillerHeader.size() - 1, char(0xFF)) + char(0x80); };
    if (kept <= 0) {
        file.replace(at + 4, length, fill(length));
    } else {
        const size_t keptBytes = size_t(double(length) * kept), rest = length - keptBytes - 4;
        const auto be32 = [](size_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
        file.replace(at, 4, be32(keptBytes));
        file.replace(at + 4 + keptBytes, 4 + rest, be32(rest) + fill(rest));
    }
    writeFile(movie, file);
}

// The first slice of `layer` in stored sample `sample` cut to a fifth.
inline void cutSliceToAFifth(const std::filesystem::path& movie, size_t sample, bool hevc, int layer = 0) {
    cutSlice(movie, sample, hevc, layer, 0, 0.2);
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
