#pragma once
// qm-bench subcommands register themselves here; main() dispatches on the first argument.

#include <functional>
#include <string>
#include <vector>

namespace qm::bench {

using Command = std::function<int(const std::vector<std::string>& args)>;

struct CommandInfo {
    std::string name;
    std::string usage;
    Command run;
};

std::vector<CommandInfo>& commands();

struct Register {
    Register(std::string name, std::string usage, Command run) {
        commands().push_back({std::move(name), std::move(usage), std::move(run)});
    }
};

}  // namespace qm::bench
