#pragma once
// Damage done in place to movies: a ProRes movie's frames found by walking the file's boxes and
// the frames' own headers, an HEVC movie's samples as Debian's ffprobe finds them and their NAL
// units by their lengths, independently of the readers under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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

// Stored sample `sample` of an MP4 movie's only track made empty, in place: its bytes taken out
// of the media data, its size in the sample size table set to 0 and the chunks after it moved up
// (a movie as ffmpeg writes it: 32-bit chunk offsets, the sample table after the media data).
inline void emptySample(const std::filesystem::path& movie, size_t sample) {
    std::string file = readFile(movie);
    const auto [at, size] = videoSampleSpans(movie).at(sample);
    const auto be32 = [&](size_t i) {
        return uint32_t(uint8_t(file[i])) << 24 | uint32_t(uint8_t(file[i + 1])) << 16 | uint32_t(uint8_t(file[i + 2])) << 8 |
               uint8_t(file[i + 3]);
    };
    const auto put32 = [&](size_t i, uint32_t v) { file.replace(i, 4, std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}); };
    const size_t mdat = file.find("mdat") - 4, sizes = file.find("stsz"), offsets = file.find("stco");
    ASSERT_TRUE(mdat < at && at < sizes && sizes < offsets && offsets != std::string::npos);
    // Version and flags, then the size of every sample (0: listed one by one), the count, the sizes.
    put32(sizes + 16 + 4 * sample, 0);
    for (uint32_t i = 0, n = be32(offsets + 8); i < n; ++i)
        if (be32(offsets + 12 + 4 * i) > at) put32(offsets + 12 + 4 * i, be32(offsets + 12 + 4 * i) - uint32_t(size));
    put32(mdat, be32(mdat) - uint32_t(size));
    file.erase(at, size);
    writeFile(movie, file);
}

// An EBML number in a Matroska file's bytes at `at`: an element's id (its marker kept) or a
// length, and how many bytes it takes.
inline std::pair<uint64_t, size_t> ebmlNumber(const std::string& file, size_t at, bool id) {
    size_t n = 1;
    while (n < 8 && !(uint8_t(file[at]) & (0x80 >> (n - 1)))) ++n;
    uint64_t v = id ? uint8_t(file[at]) : uint8_t(file[at]) & (0xFF >> n);
    for (size_t k = 1; k < n; ++k) v = v << 8 | uint8_t(file[at + k]);
    return {v, n};
}

// Where block `block` (stored order, of any track) of a Matroska file lies: a SimpleBlock, or a
// BlockGroup whole (`groups`) or the Block inside it; with where the lengths of the segment and
// the cluster holding it lie and where those end.
struct MatroskaBlock {
    size_t at = 0, idLength = 0, sizeLength = 0, data = 0, size = 0;
    std::vector<std::pair<size_t, size_t>> enclosing;
    size_t end() const { return data + size; }
};
inline std::optional<MatroskaBlock> matroskaBlock(const std::string& file, size_t block, bool groups) {
    std::vector<std::pair<size_t, size_t>> enclosing;
    for (size_t at = 0, seen = 0; at < file.size();) {
        const auto [id, idLength] = ebmlNumber(file, at, true);
        const auto [size, sizeLength] = ebmlNumber(file, at + idLength, false);
        const size_t data = at + idLength + sizeLength;
        if (id == 0x18538067 || id == 0x1F43B675) {  // segment, cluster
            std::erase_if(enclosing, [&](const auto& e) { return e.second <= at; });
            enclosing.emplace_back(at + idLength, data + size);
            at = data;
        } else if (id == 0xA0 && !groups) {  // block group, entered
            at = data;
        } else if ((id == 0xA3 || id == (groups ? 0xA0 : 0xA1)) && seen++ == block) {
            return MatroskaBlock{at, idLength, sizeLength, data, size, enclosing};
        } else {
            at = data + size;
        }
    }
    ADD_FAILURE() << "no block " << block;
    return std::nullopt;
}

// A Void element of `length` bytes in all (at least 9).
inline std::string voidElement(size_t length) {
    std::string element = "\xEC\x01";  // an 8-byte length follows
    for (int k = 6; k >= 0; --k) element += char((length - 9) >> (8 * k));
    return element + std::string(length - 9, '\0');
}

// Block `block` (stored order, of any track) of a Matroska movie made empty, in place: its header
// kept, the rest of its element turned into a Void element.
inline void emptyBlock(const std::filesystem::path& movie, size_t block) {
    std::string file = readFile(movie);
    const std::optional<MatroskaBlock> b = matroskaBlock(file, block, false);
    if (!b) return;
    ASSERT_GE(b->size, 4u + 9u);
    std::string header = file.substr(b->at, b->idLength);  // the length rewritten in as many bytes
    for (size_t k = 0; k < b->sizeLength; ++k) header += char(k + 1 < b->sizeLength ? 0 : 4);
    header[b->idLength] = char(uint8_t(header[b->idLength]) | 0x80 >> (b->sizeLength - 1));
    file.replace(b->at, b->end() - b->at, header + file.substr(b->data, 4) + voidElement(b->size - 4));
    writeFile(movie, file);
}

// Block `block` (stored order, of any track) of a Matroska movie removed, in place: the whole
// element becomes a Void element of its length, as an editor removing it leaves the file.
inline void removeBlock(const std::filesystem::path& movie, size_t block) {
    std::string file = readFile(movie);
    const std::optional<MatroskaBlock> b = matroskaBlock(file, block, true);
    if (!b) return;
    ASSERT_GE(b->end() - b->at, 9u);
    file.replace(b->at, b->end() - b->at, voidElement(b->end() - b->at));
    writeFile(movie, file);
}

// Block `block` (stored order, of any track) of a Matroska movie stored twice in a row, in place;
// the segment and the cluster holding it state their lengths grown by it.
inline void repeatBlock(const std::filesystem::path& movie, size_t block) {
    std::string file = readFile(movie);
    const std::optional<MatroskaBlock> b = matroskaBlock(file, block, true);
    if (!b) return;
    file.insert(b->end(), file.substr(b->at, b->end() - b->at));
    for (const auto& [lengthAt, end] : b->enclosing) {
        const auto [length, bytes] = ebmlNumber(file, lengthAt, false);
        const uint64_t grown = length + (b->end() - b->at);
        for (size_t k = 0; k < bytes; ++k) file[lengthAt + k] = char(grown >> (8 * (bytes - 1 - k)));
        file[lengthAt] = char(uint8_t(file[lengthAt]) | 0x80 >> (bytes - 1));
    }
    writeFile(movie, file);
}

// PES packet `pes` (stored order) of an MPEG-TS's stream 0x100 made empty, in place: its first
// transport packet keeps the PES header alone (stuffing before it), the others go, and the
// continuity counts after it follow on.
inline void emptyPes(const std::filesystem::path& movie, size_t pes) {
    const std::string file = readFile(movie);
    std::string out;
    size_t starts = 0;
    int count = -1;
    for (size_t at = 0; at + 188 <= file.size(); at += 188) {
        std::string p = file.substr(at, 188);
        if (((uint8_t(p[1]) & 0x1F) << 8 | uint8_t(p[2])) == 0x100) {
            const bool start = uint8_t(p[1]) & 0x40;
            starts += start;
            if (starts == pes + 1 && !start) continue;
            if (starts == pes + 1) {
                const size_t from = 4 + ((uint8_t(p[3]) & 0x20) ? 1 + uint8_t(p[4]) : 0);
                std::string header = p.substr(from, 9 + uint8_t(p[from + 8]));
                header[4] = header[5] = 0;  // no stated length
                const size_t stuffing = 188 - 4 - header.size();
                p = p.substr(0, 4) + char(stuffing - 1) + char(0) + std::string(stuffing - 2, '\xFF') + header;
                p[3] = char(uint8_t(p[3]) | 0x30);
            }
            if (count >= 0) p[3] = char((uint8_t(p[3]) & 0xF0) | ((count + 1) & 15));
            count = uint8_t(p[3]) & 15;
        }
        out += p;
    }
    writeFile(movie, out);
}

// The H.264 SPS in an MP4 movie's sample description set to allow gaps in frame numbers, in place.
// The flag is one bit: the fields before it are read (x264's SPS: no scaling lists, picture order
// of type 0 or 2, no emulation-prevention bytes that early).
inline void allowFrameNumberGaps(const std::filesystem::path& movie) {
    std::string file = readFile(movie);
    const size_t sps = file.find("avcC") + 4 + 8;  // the record's header and the SPS's length
    size_t bit = (sps + 4) * 8;                   // past the unit header, profile, constraints, level
    const auto u = [&](int n) {
        uint32_t v = 0;
        for (; n > 0; --n, ++bit) v = v << 1 | ((uint8_t(file[bit / 8]) >> (7 - bit % 8)) & 1);
        return v;
    };
    const auto ue = [&] {
        int zeros = 0;
        while (u(1) == 0) ++zeros;
        return (1u << zeros) - 1 + u(zeros);
    };
    ue();  // its id
    if (uint8_t(file[sps + 1]) >= 100) {
        if (ue() == 3) u(1);  // chroma format, separate planes
        ue(), ue(), u(1);     // bit depths, lossless bypass
        ASSERT_EQ(u(1), 0u);  // scaling lists
    }
    ue();  // frame number bits
    const uint32_t pictureOrder = ue();
    ASSERT_NE(pictureOrder, 1u);
    if (pictureOrder == 0) ue();
    ue();  // reference frames
    file[bit / 8] = char(uint8_t(file[bit / 8]) | 0x80 >> bit % 8);
    writeFile(movie, file);
}

// The file cut short at `size` bytes, in place.
inline void cutAt(const std::filesystem::path& file, size_t size) { std::filesystem::resize_file(file, size); }

}  // namespace qm::test
