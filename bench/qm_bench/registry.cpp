#include "registry.h"

namespace qm::bench {

std::vector<CommandInfo>& commands() {
    static std::vector<CommandInfo> all;
    return all;
}

}  // namespace qm::bench
