// qm-bench: a development harness that runs single operations of the engine for measurement.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "registry.h"

int main(int argc, char** argv) {
    // As the application: a write past the file-size limit fails with EFBIG rather than ending the run.
    std::signal(SIGXFSZ, SIG_IGN);
    qm::StopSignals& stop = qm::bench::stopSignals();
    const auto& cmds = qm::bench::commands();
    if (argc >= 2) {
        const std::string name = argv[1];
        for (const auto& c : cmds) {
            if (c.name == name) {
                int status = 1;
                try {
                    status = c.run(std::vector<std::string>(argv + 2, argv + argc));
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "qm-bench %s: %s\n", name.c_str(), e.what());
                }
                // A run a signal stopped has cleared up by now; it ends as the signal would end it.
                std::fflush(stdout);
                stop.endIfReceived();
                return status;
            }
        }
    }
    std::fprintf(stderr, "usage:\n");
    for (const auto& c : cmds) std::fprintf(stderr, "  qm-bench %s %s\n", c.name.c_str(), c.usage.c_str());
    return 2;
}
