#include "engine/output_naming.h"

#include <string>
#include <system_error>

namespace qm {

std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists) {
    auto taken = [&](const std::filesystem::path& candidate) {
        if (exists) return exists(candidate);
        std::error_code ec;
        return std::filesystem::symlink_status(candidate, ec).type() != std::filesystem::file_type::not_found;
    };
    const std::string base = source.stem().string() + "_" + std::string(fileTag(format));
    const std::string extension = isImageSequence(format) ? std::string() : "." + std::string(fileExtension(format));
    for (long n = 1;; ++n) {
        std::string name = n == 1 ? base : base + " " + std::to_string(n);
        auto candidate = folder / (name + extension);
        if (!taken(candidate)) return candidate;
    }
}

}  // namespace qm
