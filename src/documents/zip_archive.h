#pragma once
// A small read-only ZIP reader, enough to open Word documents: one disk, stored or DEFLATE entries,
// 32-bit sizes and offsets. Sizes written in the archive are not trusted: entries are inflated in a
// stream with a cap per entry and per archive, and their bytes are checked against the CRC-32 the
// directory records.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qm {

class ZipArchive {
public:
    class ZipError : public std::exception {
    public:
        enum class Kind { unsupported, corrupt, notAZip, passwordProtected };

        static ZipError unsupported(std::string entry) { return {Kind::unsupported, std::move(entry)}; }
        // `detail` is the entry name, or "directory" for the central directory.
        static ZipError corrupt(std::string detail) { return {Kind::corrupt, std::move(detail)}; }
        static ZipError notAZip() { return {Kind::notAZip, {}}; }
        // An Office file encrypted with a password: a compound file, not a ZIP archive.
        static ZipError passwordProtected() { return {Kind::passwordProtected, {}}; }

        Kind kind() const { return kind_; }
        const std::string& payload() const { return payload_; }
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        ZipError(Kind kind, std::string payload);
        Kind kind_;
        std::string payload_;
        std::string description_;
    };

    struct Entry {
        std::int64_t offset = 0;  // of the local header
        std::uint16_t method = 0;
        std::int64_t compressedSize = 0;
        std::int64_t size = 0;
        std::uint32_t crc32 = 0;  // of the uncompressed bytes
        bool operator==(const Entry&) const = default;
    };

    struct Contents {
        std::vector<std::uint8_t> bytes;
        // False when the bytes differ from what the archive recorded for them: a damaged entry,
        // or one whose recorded size cut it short.
        bool checksumMatches = true;
    };

    // Caps on inflated bytes: one entry, and all entries read from one archive together.
    static constexpr std::int64_t kMaxEntrySize = 256LL * 1024 * 1024;
    static constexpr std::int64_t kMaxArchiveOutput = 1024LL * 1024 * 1024;

    // Reads the file and indexes its central directory. A file that cannot be read throws
    // std::system_error; format faults throw ZipError.
    explicit ZipArchive(const std::filesystem::path& file);
    // The same over bytes already in memory.
    explicit ZipArchive(std::vector<std::uint8_t> bytes);

    const std::unordered_map<std::string, Entry>& entries() const;
    bool contains(const std::string& name) const;

    // The uncompressed bytes of the named entry, in a buffer of their own.
    std::vector<std::uint8_t> entryData(const std::string& name) const;
    // The same with the outcome of the CRC-32 check, for readers that keep damaged data and say so.
    Contents readEntry(const std::string& name) const;

private:
    struct State;
    void index();
    std::shared_ptr<State> state_;
};

}  // namespace qm
