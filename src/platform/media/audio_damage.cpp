#include "platform/media/audio_damage.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/media/container_samples.h"
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

void ClusterSizes::open(const std::filesystem::path& file) {
    file_.reset(std::fopen(file.c_str(), "rb"));
    std::error_code error;
    fileSize_ = int64_t(std::filesystem::file_size(file, error));
    if (error || !file_) fileSize_ = -1;
    // The EBML header, then the segment.
    const std::optional<Element> header = elementAt(0);
    const std::optional<Element> segment = header && header->id == 0x1A45DFA3 && header->end > 0 ? elementAt(header->end) : std::nullopt;
    if (!segment || segment->id != 0x18538067) return;
    next_ = segment->data;
    segmentEnd_ = segment->end >= 0 ? std::min(segment->end, fileSize_) : fileSize_;
}

std::optional<ClusterSizes::Element> ClusterSizes::elementAt(int64_t at) {
    if (at < 0 || fileSize_ < 0 || at + 2 > fileSize_) return std::nullopt;
    const std::optional<EbmlElement> e = EbmlReader(file_.get()).element(at);
    if (!e) return std::nullopt;
    return Element{e->id, e->data, e->length ? e->data + *e->length : -1};
}

namespace {

// What a cluster may hold: its time, position, previous size, blocks, silent tracks, Void, CRC-32.
bool ofCluster(uint32_t id) {
    for (const uint32_t known : {0xE7u, 0xA7u, 0xABu, 0xA3u, 0xA0u, 0xAFu, 0x5854u, 0xECu, 0xBFu})
        if (id == known) return true;
    return false;
}

}  // namespace

bool ClusterSizes::damagedAt(int64_t pos) {
    if (pos < 0 || !file_) return false;
    // The segment's top-level elements up to the one holding `pos`: a header each.
    while (next_ >= 0 && next_ < segmentEnd_ && (clusters_.empty() || std::prev(clusters_.end())->second.end <= pos)) {
        const std::optional<Element> top = elementAt(next_);
        next_ = -1;
        if (!top || top->end < 0 || top->end > fileSize_) break;  // unknown size, a cut or damage: no more judged
        next_ = top->end;
        if (top->id == 0x1F43B675) clusters_[top->data] = Cluster{top->end};
    }
    auto held = clusters_.upper_bound(pos);
    if (held == clusters_.begin()) return false;
    Cluster& cluster = std::prev(held)->second;
    if (pos >= cluster.end) return false;
    if (!cluster.judged) {
        // Its children by their headers. Where they run past its end, the damage begins at the
        // first that is no cluster's or runs past it, or in the one before (bytes inserted at a
        // block's end are read as the start of another element).
        const int64_t begin = std::prev(held)->first;
        int64_t at = begin, before = begin, from = -1;
        while (at < cluster.end) {
            const std::optional<Element> child = elementAt(at);
            if (!child || child->end < 0) break;  // unreadable: left to the demuxer
            if (from < 0 && (!ofCluster(child->id) || child->end > cluster.end)) from = before;
            before = at;
            at = child->end;
        }
        cluster.judged = true;
        if (at > cluster.end) cluster.damagedFrom = from >= 0 ? from : begin;
    }
    return cluster.damagedFrom >= 0 && pos >= cluster.damagedFrom;
}

bool stoppedBeforeFileEnd(const AVFormatContext* format, const std::filesystem::path& file, int64_t packetsEnd,
                          int64_t largestPacket) {
    if (std::strncmp(format->iformat->name, "matroska", 8) != 0 || !format->pb || packetsEnd < 0) return false;
    const int64_t after = avio_size(format->pb) - packetsEnd;
    return after > SkippedBytes::kHeaders &&
           (after > 4 * largestPacket + SkippedBytes::kHeaders || !fileEnd(format, file).cutShort);
}

}  // namespace qm::reading
