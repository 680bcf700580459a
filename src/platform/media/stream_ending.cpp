#include "platform/media/stream_ending.h"

#include <algorithm>
#include <cstdlib>

namespace qm::reading {

std::optional<int64_t> firstPictureLacking(std::vector<int64_t> held, int reorder, int64_t spacing,
                                           std::optional<int64_t> partial) {
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    if (held.empty()) return partial;
    if (held.size() > 1) {
        spacing = INT64_MAX;
        for (size_t i = 1; i < held.size(); ++i) spacing = std::min(spacing, held[i] - held[i - 1]);
    }
    spacing = std::max<int64_t>(spacing, 1);
    size_t last = held.size() > size_t(std::max(reorder, 0)) ? held.size() - 1 - size_t(std::max(reorder, 0)) : 0;
    while (last + 1 < held.size() && held[last + 1] - held[last] <= spacing + spacing / 2) ++last;
    const int64_t lacking = held[last] + spacing;
    return partial ? std::min(lacking, *partial) : lacking;
}

bool StreamEnding::heldInPart(AVPacket& packet, AVRational timeBase, bool byteStream, bool fileEndsInside,
                              const Peek& peek) {
    bool inPart = false;
    if (packet.flags & AV_PKT_FLAG_CORRUPT) {
        if (peek(1) == AVERROR_EOF) {
            inPart = true;
        } else if (byteStream && peek(2) == AVERROR_EOF) {
            packet.flags &= ~AV_PKT_FLAG_CORRUPT;
            shortBefore_ = true;
        }
    } else {
        inPart = (shortBefore_ || fileEndsInside) && peek(1) == AVERROR_EOF;
    }
    if (inPart) {
        partial_ = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
        if (*partial_ == AV_NOPTS_VALUE) partial_.reset();
        return true;
    }
    if (packet.pts != AV_NOPTS_VALUE) {
        if (!whole_.empty() && std::abs(packet.pts - whole_.back()) > av_rescale_q(10, {1, 1}, timeBase)) jumped_ = true;
        whole_.push_back(packet.pts);
        if (whole_.size() > 64) whole_.pop_front();
    }
    return false;
}

bool StreamEnding::endedInside(int64_t ts, bool byteStream, const Peek& peek) {
    if (!byteStream || partial_ || whole_.empty() || whole_.back() != ts) return false;
    if (peek(1) != AVERROR_EOF) return false;
    whole_.pop_back();
    partial_ = ts;
    return true;
}

std::optional<StreamEnding::Cut> StreamEnding::cut(std::optional<int64_t> lacking, bool matroska, FileEnd end,
                                                   int reorder, int64_t spacing, int64_t start) const {
    bool promised = lacking.has_value();
    if (!lacking || matroska) {
        promised = promised || end.lengthDeclared;
        // A file holding every sample whole is whole, however its stamps or packets end.
        if (!end.cutShort && !partial_ && !lacking) return std::nullopt;
        if (jumped_ && !lacking) return std::nullopt;
        const int64_t unheld = firstPictureLacking({whole_.begin(), whole_.end()}, reorder, spacing, partial_).value_or(start);
        lacking = lacking ? std::min(*lacking, unheld) : unheld;
    }
    return Cut{*lacking, promised};
}

}  // namespace qm::reading
