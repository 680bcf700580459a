#pragma once
// The document, media, packaging, export, eyedropper and playback commands of editor-script,
// each awaited until its results are stored.

#include <functional>
#include <string>

#include <QUuid>

#include <nlohmann/json.hpp>

namespace qm {
class EditorModel;
}

namespace qm::bench {

struct ScriptLookups {
    std::function<QUuid(const nlohmann::json& command)> media;  // the command's "media"
    std::function<QUuid(const nlohmann::json& command)> clip;   // the command's "clip"
};

// Runs `op` when it is one of these commands and prints its result line; false for any other
// op. Throws std::invalid_argument for a malformed command.
bool runDocumentCommand(EditorModel& model, const std::string& op, const nlohmann::json& command,
                        const ScriptLookups& lookups);

}  // namespace qm::bench
