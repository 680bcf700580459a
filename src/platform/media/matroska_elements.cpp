#include "platform/media/container_samples.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>

namespace qm::reading {

std::optional<uint64_t> EbmlReader::number(const uint8_t* b, size_t n, size_t& i, bool id, int maxLength, bool* runsPast) {
    if (i >= n) {
        if (runsPast != nullptr) *runsPast = true;
        return std::nullopt;
    }
    if (b[i] == 0) return std::nullopt;
    const int length = __builtin_clz(uint32_t(b[i])) - 23;
    if (length > maxLength) return std::nullopt;
    if (i + size_t(length) > n) {
        if (runsPast != nullptr) *runsPast = true;
        return std::nullopt;
    }
    uint64_t v = id ? b[i] : b[i] & (0xFFu >> length);
    bool unknown = v == (0xFFu >> length);
    for (int k = 1; k < length; ++k) {
        v = v << 8 | b[i + size_t(k)];
        unknown = unknown && b[i + size_t(k)] == 0xFF;
    }
    i += size_t(length);
    if (!id && unknown) return UINT64_MAX;
    return v;
}

std::optional<EbmlElement> EbmlReader::element(int64_t at) {
    cut_ = false;
    size_ = fseeko(file_, at, SEEK_SET) == 0 ? std::fread(bytes_, 1, sizeof bytes_, file_) : 0;
    size_t i = 0;
    const std::optional<uint64_t> id = number(bytes_, size_, i, true, 4, &cut_);
    const std::optional<uint64_t> length = id ? number(bytes_, size_, i, false, 8, &cut_) : std::nullopt;
    head_ = i;
    if (!length) return std::nullopt;
    EbmlElement e{uint32_t(*id), at + int64_t(i), std::nullopt};
    if (*length != UINT64_MAX) e.length = int64_t(std::min<uint64_t>(*length, uint64_t(INT64_MAX / 2)));
    return e;
}

bool MatroskaBlocks::walk(std::FILE* f, int64_t upTo, std::vector<EmptySample>& stamps, std::deque<EmptySample>& passing) {
    EbmlReader reader(f);
    for (; at_ < size && at_ < upTo; ++count_) {
        if (count_ >= (1 << 24)) return false;
        const std::optional<EbmlElement> e = reader.element(at_);
        if (!e) return false;
        if (e->id == 0xAE) number_ = type_ = std::nullopt;  // a track
        // Segment, tracks, track, cluster, block group.
        if (e->id == 0x18538067 || e->id == 0x1654AE6B || e->id == 0xAE || e->id == 0x1F43B675 || e->id == 0xA0) {
            at_ = e->data;
            continue;
        }
        if (!e->length || *e->length > size) return false;
        const uint64_t length = uint64_t(*e->length);
        const uint8_t* b = reader.after();
        const size_t n = reader.afterSize();
        size_t i = 0;
        if ((e->id == 0xE7 || e->id == 0xD7 || e->id == 0x83) && length <= 8) {  // cluster time, track number, type
            uint64_t v = 0;
            for (uint64_t k = 0; k < length && i < n; ++k) v = v << 8 | b[i++];
            if (e->id == 0xE7) clusterTime_ = v;
            else (e->id == 0xD7 ? number_ : type_) = v;
            if (e->id == 0xD7) tracks_.insert(v);
            if (!video_ && number_ && type_ == 1u) video_ = number_;
        } else if (e->id == 0xA3 || e->id == 0xA1) {  // a simple block, a block
            const std::optional<uint64_t> track = EbmlReader::number(b, n, i, false, 8);
            if (track && video_ && i + 3 <= n) {
                const EmptySample block{int64_t(clusterTime_) + int16_t(uint16_t(b[i] << 8 | b[i + 1])), AV_NOPTS_VALUE, e->data};
                if (*track == *video_ && length == i + 3) stamps.push_back(block);
                else if (*track == *video_ || tracks_.count(*track) == 0) passing.push_back(block);
            }
        }
        at_ = e->data + *e->length;
    }
    return at_ < size;
}

namespace {

// Matroska: every element states its length, but for a segment or a cluster written live, whose
// elements then simply follow it.
FileEnd matroskaEnd(const std::filesystem::path& file, int64_t size) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f) return {};
    EbmlReader reader(f.get());
    const std::optional<EbmlElement> header = reader.element(0);
    if (!header || header->id != 0x1A45DFA3 || !header->length) return {};
    const std::optional<EbmlElement> segment = reader.element(header->data + *header->length);
    if (!segment || segment->id != 0x18538067) return {};
    if (segment->length) {
        const bool shorter = segment->data + *segment->length > size;
        return {shorter, shorter};
    }
    // What a segment holds, and what a cluster written live holds, whose elements follow it in the
    // segment. Bytes that are none of these where an element ended (a cluster stating too short a
    // length) are damage, though the length they seem to state runs past the file's end as a cut's.
    static constexpr uint32_t kInSegment[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1043A770, 0x1F43B675, 0x1C53BB6B,
                                              0x1941A469, 0x1254C367, 0xEC,       0x1A45DFA3, 0x18538067};
    static constexpr uint32_t kInCluster[] = {0xE7, 0x5854, 0xA7, 0xAB, 0xA3, 0xA0, 0xAF, 0xBF, 0xEC};
    const auto holds = [](const auto& ids, uint32_t id) { return std::find(std::begin(ids), std::end(ids), id) != std::end(ids); };
    bool inLiveCluster = false;
    int64_t at = segment->data;
    for (int count = 0; at < size && count < (1 << 22); ++count) {
        const std::optional<EbmlElement> e = reader.element(at);
        if (!e) return {reader.cut(), false};
        const bool topLevel = holds(kInSegment, e->id);
        if (!topLevel && !(inLiveCluster && holds(kInCluster, e->id)) && !(e->id == 0xBF && at == segment->data)) return {};
        if (topLevel && e->id != 0xEC) inLiveCluster = e->id == 0x1F43B675 && !e->length;  // a Void may stand in either
        if (!e->length) {
            at = e->data;
        } else if (e->data + *e->length > size) {
            return {true, false};
        } else {
            at = e->data + *e->length;
        }
    }
    return {};
}

}  // namespace

FileEnd fileEnd(const AVFormatContext* format, const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || std::strncmp(format->iformat->name, "matroska", 8) != 0) return {};
    return matroskaEnd(file, int64_t(size));
}

}  // namespace qm::reading
