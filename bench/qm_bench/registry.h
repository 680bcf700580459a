#pragma once
// qm-bench subcommands register themselves here; main() dispatches on the first argument.

#include <functional>
#include <string>
#include <vector>

#include "core/stop_signals.h"

namespace qm::bench {

using Command = std::function<int(const std::vector<std::string>& args)>;

struct CommandInfo {
    std::string name;
    std::string usage;
    Command run;
};

std::vector<CommandInfo>& commands();

// SIGTERM and SIGINT for the whole run of qm-bench: a command that writes listens while it runs,
// so that a stop cancels it and what it made goes (see StopSignals).
StopSignals& stopSignals();

struct Register {
    Register(std::string name, std::string usage, Command run) {
        commands().push_back({std::move(name), std::move(usage), std::move(run)});
    }
};

}  // namespace qm::bench
