#include "platform/media/audio_damage.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/media/reader_internal.h"

namespace qm::reading {

const char* const kDamaged = "its sound there can't be decoded";

void SkippedBytes::add(const AVPacket& p) {
    if (p.pos < 0 || (!blocks_.empty() && p.pos < blocks_.begin()->first)) return;  // before what is judged
    int64_t size = p.size;
    for (int i = 0; i < p.side_data_elems; ++i) size += int64_t(p.side_data[i].size);  // block additions
    blocks_.try_emplace(p.pos, p.pos).first->second += size;
    // A held packet comes within a block or two: older blocks are judged for good.
    while (blocks_.size() > 64) {
        const auto first = blocks_.begin();
        foldedEnd_ = std::max(foldedEnd_, first->second);
        if (foldedEnd_ + kHeaders < std::next(first)->first) folded_ = true;
        blocks_.erase(first);
    }
}

bool SkippedBytes::skipped() const {
    if (folded_) return true;
    int64_t end = foldedEnd_;
    for (const auto& [pos, blockEnd] : blocks_) {
        if (end >= 0 && pos > end + kHeaders) return true;
        end = std::max(end, blockEnd);
    }
    return false;
}

void SkippedBytes::settle() {
    if (!blocks_.empty()) blocks_.erase(blocks_.begin(), std::prev(blocks_.end()));
    folded_ = false;
    foldedEnd_ = -1;
}

void AdtsFrames::open(const std::filesystem::path& file) {
    file_ = std::ifstream(file, std::ios::binary);
    end_ = -1;
}

bool AdtsFrames::skippedBefore(const AVPacket& p) {
    if (!file_.is_open() || p.pos < 0) return false;
    const bool moved = end_ >= 0 && p.pos != end_;
    end_ = p.pos + p.size;
    unsigned char h[6] = {};
    file_.clear();
    file_.seekg(p.pos);
    if (!file_.read(reinterpret_cast<char*>(h), sizeof h)) return true;
    const int length = (h[3] & 0x03) << 11 | h[4] << 3 | h[5] >> 5;
    return moved || h[0] != 0xFF || (h[1] & 0xF0) != 0xF0 || length != p.size;
}

bool stoppedBeforeFileEnd(const AVFormatContext* format, const std::filesystem::path& file, int64_t packetsEnd,
                          int64_t largestPacket) {
    if (std::strncmp(format->iformat->name, "matroska", 8) != 0 || !format->pb || packetsEnd < 0) return false;
    const int64_t after = avio_size(format->pb) - packetsEnd;
    return after > SkippedBytes::kHeaders &&
           (after > 4 * largestPacket + SkippedBytes::kHeaders || !fileEnd(format, file).cutShort);
}

}  // namespace qm::reading
