#pragma once
// editor-script's command runner, shared by the panel scripts: a panel tries its own ops first and
// hands every other op to it, so each script knows the editor's whole op set.

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "json_script.h"

namespace qm {
class EditorModel;
}

namespace qm::bench {

class EditorScript {
public:
    // True when the panel ran `op` itself.
    using PanelOps = std::function<bool(const std::string& op, const nlohmann::json& command)>;
    // Further work a command is awaited for, beyond the preview and the probes.
    using Busy = std::function<bool()>;

    explicit EditorScript(EditorModel& model, PanelOps panelOps = {}, Busy busy = {});
    ~EditorScript();

    // Runs one command and awaits it; prints the import errors it added (`error TEXT`) and, with
    // "timed", `time OP MS`. Throws ScriptError for a command that cannot run.
    void run(const nlohmann::json& command);
    // Until the last command's preview, probes and the panel's own work are in.
    void settle();
    // The `state ...` line.
    void printState();

private:
    class Ops;
    std::unique_ptr<Ops> ops_;
    PanelOps panelOps_;
};

// The model's project, encoded, to `path`; ScriptError when it cannot be written.
void writeProject(const EditorModel& model, const std::string& path);

}  // namespace qm::bench
