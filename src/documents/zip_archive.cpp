#include "documents/zip_archive.h"

#include <QString>

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <system_error>

namespace qm {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::int64_t kEndRecordSize = 22;
constexpr std::int64_t kCentralRecordSize = 46;
constexpr std::int64_t kLocalHeaderSize = 30;
constexpr std::int64_t kLongestComment = 65535;
// The value ZIP64 archives write in place of a 32-bit size or offset.
constexpr std::uint32_t kZip64Placeholder = 0xFFFFFFFF;

std::uint32_t read16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8; }
std::uint32_t read32(const std::uint8_t* p) { return read16(p) | read16(p + 2) << 16; }

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& file) {
    // A named pipe or a device could block forever or never end.
    std::error_code status;
    if (std::filesystem::exists(file, status) && !std::filesystem::is_regular_file(file, status))
        throw std::runtime_error("“" + file.string() + "” is not a regular file.");
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) throw std::system_error(errno, std::generic_category(), file.string());
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[1 << 16];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    std::fclose(f);
    if (failed) throw std::system_error(error, std::generic_category(), file.string());
    return bytes;
}

ZipArchive::Contents checked(std::vector<std::uint8_t> bytes, std::uint32_t recorded) {
    // zlib takes at most 4 GiB a call; entries are far below that, but the loop costs nothing.
    uLong crc = crc32(0, nullptr, 0);
    for (std::size_t at = 0; at < bytes.size();) {
        const auto chunk = static_cast<uInt>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
        crc = crc32(crc, bytes.data() + at, chunk);
        at += chunk;
    }
    const bool matches = static_cast<std::uint32_t>(crc) == recorded;
    return {std::move(bytes), matches};
}

// Office writes a document encrypted with a password as a compound file (OLE) holding an
// "EncryptionInfo" stream. Its directory entries sit on 128-byte boundaries and begin with the
// stream's UTF-16 name, NUL-terminated.
bool isEncryptedOfficeFile(const std::vector<std::uint8_t>& data) {
    static constexpr std::uint8_t kMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (data.size() < 512 || !std::equal(std::begin(kMagic), std::end(kMagic), data.begin())) return false;
    static const std::string kName = [] {
        std::string name;
        for (char c : std::string_view("EncryptionInfo")) name += {c, '\0'};
        return name + std::string(2, '\0');
    }();
    for (std::size_t at = 512; at + kName.size() <= data.size(); at += 128)
        if (std::memcmp(data.data() + at, kName.data(), kName.size()) == 0) return true;
    return false;
}

}  // namespace

ZipArchive::ZipError::ZipError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {
    switch (kind_) {
    case Kind::unsupported: description_ = "Unsupported compression in " + payload_ + "."; break;
    case Kind::corrupt: description_ = "The document is damaged (" + payload_ + ")."; break;
    case Kind::notAZip: description_ = "The file isn't a valid Word document."; break;
    case Kind::passwordProtected:
        description_ = "The Word document is protected by a password. Save a copy without the password and use that.";
        break;
    }
}

struct ZipArchive::State {
    std::vector<std::uint8_t> data;
    std::unordered_map<std::string, Entry> entries;
    // Bytes handed out so far, against the per-archive cap; shared by copies of the archive.
    std::atomic<std::int64_t> produced{0};
};

ZipArchive::ZipArchive(const std::filesystem::path& file) : ZipArchive(readWholeFile(file)) {}

ZipArchive::ZipArchive(std::vector<std::uint8_t> bytes) : state_(std::make_shared<State>()) {
    state_->data = std::move(bytes);
    index();
}

const std::unordered_map<std::string, ZipArchive::Entry>& ZipArchive::entries() const { return state_->entries; }

bool ZipArchive::contains(const std::string& name) const { return state_->entries.count(name) != 0; }

void ZipArchive::index() {
    const std::uint8_t* d = state_->data.data();
    const std::int64_t n = static_cast<std::int64_t>(state_->data.size());
    if (n < kEndRecordSize) throw ZipError::notAZip();

    const std::int64_t lowest = n >= kEndRecordSize + kLongestComment ? n - kEndRecordSize - kLongestComment : 0;
    std::int64_t end = -1;
    for (std::int64_t p = n - kEndRecordSize; p >= lowest; --p) {
        if (read32(d + p) == kEndSignature) {
            end = p;
            break;
        }
    }
    if (end < 0) throw isEncryptedOfficeFile(state_->data) ? ZipError::passwordProtected() : ZipError::notAZip();

    const std::uint32_t count = read16(d + end + 10);
    std::int64_t o = read32(d + end + 16);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (o + kCentralRecordSize > n || read32(d + o) != kCentralSignature) throw ZipError::corrupt("directory");
        const std::uint8_t* r = d + o;
        Entry entry;
        entry.method = static_cast<std::uint16_t>(read16(r + 10));
        entry.compressedSize = read32(r + 20);
        entry.size = read32(r + 24);
        entry.crc32 = read32(r + 16);
        const std::int64_t nameLength = read16(r + 28);
        const std::int64_t extraLength = read16(r + 30);
        const std::int64_t commentLength = read16(r + 32);
        entry.offset = read32(r + 42);
        // A name that runs past the end of the file is a broken directory, not a short name.
        if (o + kCentralRecordSize + nameLength > n) throw ZipError::corrupt("directory");
        // Invalid UTF-8 becomes U+FFFD, so such a name is still found under its decoded form.
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(r + kCentralRecordSize),
                                               static_cast<qsizetype>(nameLength));
        state_->entries.insert_or_assign(name.toStdString(), entry);
        o += kCentralRecordSize + nameLength + extraLength + commentLength;
    }
}

std::vector<std::uint8_t> ZipArchive::entryData(const std::string& name) const { return readEntry(name).bytes; }

ZipArchive::Contents ZipArchive::readEntry(const std::string& name) const {
    const auto found = state_->entries.find(name);
    if (found == state_->entries.end()) throw ZipError::corrupt(name);
    const Entry& entry = found->second;
    if (entry.method != 0 && entry.method != 8) throw ZipError::unsupported(name);
    // ZIP64 archives put placeholders where we expect sizes and offsets; we cannot read those.
    if (entry.offset == kZip64Placeholder || entry.compressedSize == kZip64Placeholder ||
        entry.size == kZip64Placeholder)
        throw ZipError::corrupt(name);

    const std::uint8_t* d = state_->data.data();
    const std::int64_t n = static_cast<std::int64_t>(state_->data.size());
    const std::int64_t o = entry.offset;
    if (o + kLocalHeaderSize > n || read32(d + o) != kLocalSignature) throw ZipError::corrupt(name);
    const std::int64_t s = o + kLocalHeaderSize + read16(d + o + 26) + read16(d + o + 28);
    const std::int64_t e = s + entry.compressedSize;
    if (e > n) throw ZipError::corrupt(name);

    // Never hand out more than the caps allow, whatever the archive claims.
    const std::int64_t wanted = entry.method == 0 ? entry.compressedSize : entry.size;
    if (wanted > kMaxEntrySize) throw ZipError::corrupt(name);
    // Reserve the bytes against the archive's cap; a read that fails gives them back.
    struct Reservation {
        std::atomic<std::int64_t>& total;
        std::int64_t amount;
        bool kept = false;
        ~Reservation() {
            if (!kept) total.fetch_sub(amount);
        }
    } reservation{state_->produced, wanted};
    if (state_->produced.fetch_add(wanted) + wanted > kMaxArchiveOutput) throw ZipError::corrupt(name);

    if (entry.method == 0) {
        reservation.kept = true;
        return checked(std::vector<std::uint8_t>(d + s, d + e), entry.crc32);
    }

    std::vector<std::uint8_t> out;
    if (entry.size == 0) return checked(std::move(out), entry.crc32);
    // The declared size is only an upper bound: the buffer grows with what inflate really produces,
    // so a tiny entry claiming 256 MiB costs nothing.
    out.resize(static_cast<std::size_t>(std::min<std::int64_t>(entry.size, std::max<std::int64_t>(64 * 1024, entry.compressedSize * 4))));
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) throw ZipError::corrupt(name);
    const std::uint8_t* in = d + s;
    std::int64_t inLeft = e - s;
    std::int64_t produced = 0;
    int status = Z_OK;
    while (produced < entry.size) {
        if (z.avail_in == 0 && inLeft > 0) {
            const auto chunk = static_cast<uInt>(std::min<std::int64_t>(inLeft, 1 << 30));
            z.next_in = const_cast<Bytef*>(in);
            z.avail_in = chunk;
            in += chunk;
            inLeft -= chunk;
        }
        if (static_cast<std::int64_t>(out.size()) == produced)
            out.resize(static_cast<std::size_t>(std::min<std::int64_t>(entry.size, produced * 2)));
        z.next_out = out.data() + produced;
        z.avail_out = static_cast<uInt>(static_cast<std::int64_t>(out.size()) - produced);
        const uInt before = z.avail_out;
        status = inflate(&z, Z_NO_FLUSH);
        produced += before - z.avail_out;
        if (status == Z_STREAM_END) break;
        if (status != Z_OK && status != Z_BUF_ERROR) break;
        // No progress and no input left: the stream is truncated.
        if (status == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) break;
    }
    inflateEnd(&z);
    // Surplus compressed data beyond the recorded size is ignored; anything short of it is damage.
    if (produced != entry.size) throw ZipError::corrupt(name);
    reservation.kept = true;
    return checked(std::move(out), entry.crc32);
}

}  // namespace qm
