#pragma once
// Builds small ZIP archives byte by byte, so tests can write exactly the oddities a reader must
// cope with (wrong signatures, placeholders, lying sizes) that no archiver produces.

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::test {

inline std::string rawDeflate(const std::string& data) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct TestEntry {
    TestEntry(std::string n, std::string d, std::uint16_t m = 8) : name(std::move(n)), data(std::move(d)), method(m) {}
    std::string name;
    std::string data;                       // uncompressed
    std::uint16_t method = 8;               // 0 stored, 8 deflate, other: data written as is
    std::optional<std::uint32_t> size;      // recorded uncompressed size, when it should lie
    std::optional<std::uint32_t> compressedSize;
    std::optional<std::uint32_t> offset;    // recorded local-header offset
    std::string localExtra;                 // extra field of the local header only
};

struct TestArchive {
    TestArchive(std::vector<TestEntry> e = {}, std::string c = {}) : entries(std::move(e)), comment(std::move(c)) {}
    std::vector<TestEntry> entries;
    std::string comment;
    std::optional<std::uint32_t> directoryOffset;
    std::optional<std::uint16_t> recordedCount;
};

// Little-endian fields of the given byte widths.
struct Field {
    int bytes;
    std::uint32_t value;
};
inline void put(std::string& s, std::initializer_list<Field> fields) {
    for (const Field& f : fields)
        for (int i = 0; i < f.bytes; ++i) s.push_back(static_cast<char>((f.value >> (8 * i)) & 0xFF));
}
inline void put32(std::string& s, std::uint32_t v) { put(s, {{4, v}}); }

inline std::string buildZip(const TestArchive& archive) {
    std::string out;
    std::string directory;
    for (const auto& e : archive.entries) {
        const std::string payload = e.method == 8 ? rawDeflate(e.data) : e.data;
        const auto offset = static_cast<std::uint32_t>(out.size());
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        const std::uint32_t csize = e.compressedSize.value_or(static_cast<std::uint32_t>(payload.size()));
        const std::uint32_t usize = e.size.value_or(static_cast<std::uint32_t>(e.data.size()));
        const auto nameLength = static_cast<std::uint32_t>(e.name.size());
        put(out, {{4, 0x04034B50}, {2, 20}, {2, 0}, {2, e.method}, {4, 0}, {4, crc}, {4, csize}, {4, usize},
                  {2, nameLength}, {2, static_cast<std::uint32_t>(e.localExtra.size())}});
        out += e.name + e.localExtra + payload;
        put(directory, {{4, 0x02014B50}, {2, 20}, {2, 20}, {2, 0}, {2, e.method}, {4, 0}, {4, crc}, {4, csize},
                        {4, usize}, {2, nameLength}, {2, 0}, {2, 0}, {2, 0}, {2, 0}, {4, 0},
                        {4, e.offset.value_or(offset)}});
        directory += e.name;
    }
    const auto directoryOffset = static_cast<std::uint32_t>(out.size());
    out += directory;
    const std::uint32_t count = archive.recordedCount.value_or(static_cast<std::uint16_t>(archive.entries.size()));
    put(out, {{4, 0x06054B50}, {2, 0}, {2, 0}, {2, count}, {2, count}, {4, static_cast<std::uint32_t>(directory.size())},
              {4, archive.directoryOffset.value_or(directoryOffset)}, {2, static_cast<std::uint32_t>(archive.comment.size())}});
    out += archive.comment;
    return out;
}

inline std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string textOf(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

}  // namespace qm::test
