#include "platform/media/audio_placing_index.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <list>
#include <string>
#include <system_error>
#include <tuple>

#include "platform/media/audio_first_sample.h"
#include "platform/media/reader_internal.h"

namespace qm::reading {

namespace {

// The file as it is now: a replaced or rewritten file is indexed again.
struct Key {
    std::string path;
    uintmax_t size;
    int64_t modified;
    int index, delay;
    bool operator==(const Key& o) const {
        return std::tie(path, size, modified, index, delay) == std::tie(o.path, o.size, o.modified, o.index, o.delay);
    }
};

// The files indexed last; an edit draws on a few at a time, and each holds 32 bytes a packet.
constexpr size_t kKept = 8;

}  // namespace

std::shared_ptr<PlacingIndex> PlacingIndex::of(const std::filesystem::path& file, int index, int decoderDelay) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec) return nullptr;
    const auto modified = std::filesystem::last_write_time(file, ec);
    if (ec) return nullptr;
    const Key key{file.string(), size, int64_t(modified.time_since_epoch().count()), index, decoderDelay};
    static std::mutex lock;
    static std::list<std::pair<Key, std::shared_ptr<PlacingIndex>>> kept;  // the most recently used first
    std::lock_guard<std::mutex> hold(lock);
    auto found = std::find_if(kept.begin(), kept.end(), [&](const auto& k) { return k.first == key; });
    if (found != kept.end()) {
        kept.splice(kept.begin(), kept, found);
    } else {
        kept.emplace_front(key, std::make_shared<PlacingIndex>(file, index, decoderDelay));
        if (kept.size() > kKept) kept.pop_back();
    }
    return kept.front().second;
}

PlacingIndex::PlacingIndex(const std::filesystem::path& file, int index, int decoderDelay)
    : file_(file), index_(index), delay_(decoderDelay) {}

PlacingIndex::~PlacingIndex() = default;

// Reads the track's next packet and places it; false at the track's end, or where the file no
// longer reads (packets past that are placed by their stamps).
bool PlacingIndex::readOne() {
    if (!opened_) {
        opened_ = true;
        format_ = openFormat(file_, false, true);
        if (!format_ || index_ < 0 || unsigned(index_) >= format_->nb_streams) {
            ended_ = true;
            return false;
        }
        discardAllBut(format_.get(), index_);
        matroska_ = std::strncmp(format_->iformat->name, "matroska", 8) == 0;
        count_ = std::make_unique<StartCount>(format_.get(), format_->streams[index_]);
        packet_ = ffmpeg::allocPacket("read");
    }
    if (ended_) return false;
    for (;;) {
        av_packet_unref(packet_.get());
        if (av_read_frame(format_.get(), packet_.get()) < 0) {
            ended_ = true;
            format_.reset();  // the file is let go
            return false;
        }
        if (packet_->stream_index != index_) continue;
        // As a reading places them: packets laced into one Matroska block follow on.
        const bool laced = matroska_ && packet_->pos >= 0 && packet_->pos == block_;
        block_ = packet_->pos;
        if (packet_->pts != AV_NOPTS_VALUE) furthest_ = std::max(furthest_, packet_->pts);
        if (const std::optional<Span> span = count_->count(*packet_, false, laced, delay_)) {
            const Entry e{packet_->pts, packet_->pos, span->start, int32_t(span->length)};
            const auto at = std::upper_bound(entries_.begin(), entries_.end(), e,
                                             [](const Entry& a, const Entry& b) { return std::tie(a.pts, a.pos) < std::tie(b.pts, b.pos); });
            entries_.insert(at, e);  // at the end but where stamps step back
        }
        return true;
    }
}

std::optional<PlacingIndex::Span> PlacingIndex::find(int64_t pts, int64_t pos) {
    std::lock_guard<std::mutex> hold(lock_);
    try {
        // Past the stamp, so that every packet stamped so is passed.
        while ((!opened_ || furthest_ <= pts) && readOne()) {
        }
    } catch (...) {
        ended_ = true;  // a packet that can't be had: what was passed still places
        format_.reset();
    }
    const auto first = std::lower_bound(entries_.begin(), entries_.end(), pts, [](const Entry& e, int64_t t) { return e.pts < t; });
    for (auto e = first; e != entries_.end() && e->pts == pts; ++e)
        if (pos < 0 || e->pos < 0 || e->pos == pos) return Span{e->start, e->length};
    return std::nullopt;
}

size_t PlacingIndex::packets() {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

}  // namespace qm::reading
