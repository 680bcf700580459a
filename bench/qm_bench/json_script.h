#pragma once
// The frame of the *-script subcommands: a JSON list of {"op": ...} commands read from a file, run
// in order, and a bad command reported as "NAME: command N (OP): reason" with exit status 2.

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/stop_signals.h"

namespace qm::bench {

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline const nlohmann::json& scriptField(const nlohmann::json& c, const char* name) {
    if (!c.contains(name)) throw ScriptError(std::string("missing \"") + name + "\"");
    return c[name];
}

inline std::string scriptText(const nlohmann::json& c, const char* name) {
    const nlohmann::json& v = scriptField(c, name);
    if (!v.is_string()) throw ScriptError(std::string("\"") + name + "\" is not a text");
    return v.get<std::string>();
}

// The script of `args` (one path), or nothing after printing why it cannot be run.
inline std::optional<nlohmann::json> readScript(const char* command, const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::invalid_argument(std::string("usage: ") + command + " SCRIPT.json");
    std::ifstream in(args[0], std::ios::binary);
    if (!in) throw std::invalid_argument("cannot read " + args[0]);
    std::stringstream content;
    content << in.rdbuf();
    nlohmann::json script;
    try {
        script = nlohmann::json::parse(content.str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", command, e.what());
        return std::nullopt;
    }
    if (!script.is_array()) {
        std::fprintf(stderr, "%s: the script is a list of commands\n", command);
        return std::nullopt;
    }
    return script;
}

// Runs each command in order; 0, or 2 at the first bad one (1 once a signal stopped the run).
inline int runScript(const char* command, const nlohmann::json& script,
                     const std::function<void(const nlohmann::json&)>& run) {
    for (std::size_t n = 0; n < script.size(); ++n) {
        // A run a signal stopped goes no further.
        if (StopSignals::received() != 0) return 1;
        try {
            run(script[n]);
        } catch (const ScriptError& e) {
            const nlohmann::json& c = script[n];
            const std::string op =
                c.is_object() && c.contains("op") && c["op"].is_string() ? c["op"].get<std::string>() : "?";
            std::fflush(stdout);
            std::fprintf(stderr, "%s: command %zu (%s): %s\n", command, n, op.c_str(), e.what());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace qm::bench
