#include "registry.h"

namespace qm::bench {

std::vector<CommandInfo>& commands() {
    static std::vector<CommandInfo> all;
    return all;
}

StopSignals& stopSignals() {
    static StopSignals signals;
    return signals;
}

}  // namespace qm::bench
