// Arbitrary bytes as a ZIP archive: indexing and reading every entry must either succeed or throw
// the reader's own error, never read out of bounds or allocate beyond the caps.

#include <cstddef>
#include <cstdint>
#include <system_error>

#include "documents/zip_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const qm::ZipArchive zip(std::vector<std::uint8_t>(data, data + size));
        for (const auto& [name, entry] : zip.entries()) {
            try {
                const auto bytes = zip.entryData(name);
                if (entry.method == 8 && static_cast<std::int64_t>(bytes.size()) != entry.size) __builtin_trap();
            } catch (const qm::ZipArchive::ZipError&) {
            }
        }
    } catch (const qm::ZipArchive::ZipError&) {
    }
    return 0;
}
