// The height of the timeline's layer rows, which the panel sizes its scroll area by.

#include "editor/editor_model.h"

namespace qm {

double EditorModel::timelineTracksHeight() const {
    double height = 0;
    for (std::size_t i = 0; i < project_.tracks.size(); ++i) {
        height += 57;
        if (!expandedTracks_.contains(project_.tracks[i].id)) continue;
        // A layer without lane properties draws no divider either, so it adds nothing.
        const std::size_t n = laneProperties(i).size();
        if (n > 0) height += 26.0 * double(n) + 1;
    }
    return height;
}

}  // namespace qm
