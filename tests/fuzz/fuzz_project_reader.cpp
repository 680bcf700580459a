// Arbitrary bytes as a project file: the read either succeeds or throws its own error, and what
// it reads writes back into bytes that read as the same project and write identically again.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "editor/model/project.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::Project project;
    try {
        project = qm::Project::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const qm::ProjectFileError&) {
        return 0;
    }
    const QByteArray written = project.encoded();  // a read project holds only finite numbers
    const qm::Project again = qm::Project::decode(std::string_view(written.constData(), static_cast<std::size_t>(written.size())));
    if (!(again == project) || again.encoded() != written) __builtin_trap();
    return 0;
}
