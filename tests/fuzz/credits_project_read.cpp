// Arbitrary bytes as "project.json": only the reader's refusal may come out, and whatever it
// accepts must write and read back to the same project.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "credits/credits_project.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::CreditsProject project;
    try {
        project = qm::CreditsProject::fromJsonText(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::invalid_argument&) {
        return 0;
    }
    (void)project.overrides();
    const qm::CreditsProject back = qm::CreditsProject::fromJsonText(project.toJsonText());
    if (!(back == project)) __builtin_trap();
    return 0;
}
