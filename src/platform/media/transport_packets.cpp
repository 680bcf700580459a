#include "platform/media/transport_packets.h"

#include <algorithm>
#include <cstring>

#include "platform/media/reader_internal.h"
#include "platform/media/sample_account.h"

namespace qm::reading {

namespace {

constexpr int64_t kPacket = 188;

int pidOf(const uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }
bool carriesPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
bool beginsUnit(const uint8_t* p) { return (p[1] & 0x40) != 0; }

}  // namespace

TransportPackets::TransportPackets(const std::filesystem::path& file, int pid) : file_(file), pid_(pid) {}
TransportPackets::~TransportPackets() = default;

std::optional<TransportPackets::Layout> TransportPackets::layoutIn(const uint8_t* data, int64_t n) {
    for (const int size : {188, 192, 204}) {
        for (int64_t first = 0; first < size && first + 4 * size <= n; ++first) {
            bool aligned = true;
            for (int k = 0; aligned && k < 4; ++k) aligned = data[first + k * size] == 0x47;
            if (aligned) return Layout{size, first};
        }
    }
    return std::nullopt;
}

TransportEnd TransportPackets::end() const {
    std::error_code error;
    const auto size = int64_t(std::filesystem::file_size(file_, error));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file_.c_str(), "rb"), std::fclose);
    if (error || !f) return TransportEnd::outside;
    std::vector<uint8_t> tail(size_t(std::min<int64_t>(size, 1 << 16)));
    const auto n = int64_t(tail.size());
    if (fseeko(f.get(), size - n, SEEK_SET) != 0 || std::fread(tail.data(), 1, tail.size(), f.get()) != tail.size())
        return TransportEnd::outside;
    const std::optional<Layout> layout = layoutIn(tail.data(), n);
    if (!layout) return TransportEnd::outside;
    // The packet the file ends in, from its sync byte; the demuxer drops one the file holds in part.
    const int64_t last = layout->first + (n - layout->first) / layout->size * layout->size;
    const int64_t held = n - last;
    if (held == 0 || held >= kPacket) {
        // After a whole packet: the stream's last one says whether its last sample ends there.
        for (int64_t at = held == 0 ? last - layout->size : last; at >= 0; at -= layout->size) {
            const uint8_t* p = &tail[size_t(at)];
            if (p[0] != 0x47) break;
            if (pidOf(p) != pid_ || !carriesPayload(p)) continue;
            return stuffedTransportPacket(p) ? TransportEnd::closedSample : TransportEnd::outside;
        }
        return TransportEnd::outside;
    }
    if (tail[size_t(last)] != 0x47 || held < 4) return TransportEnd::outside;
    // Its header tells whose it is, and whether it begins a sample (the one before is then whole).
    // One of another stream, or without payload, ends the file after the track's last sample
    // held: those after it are lacking as where the file ends before a sample.
    const uint8_t* p = &tail[size_t(last)];
    if (pidOf(p) != pid_ || !carriesPayload(p)) return TransportEnd::beforeSample;
    return beginsUnit(p) ? TransportEnd::beforeSample : TransportEnd::insideSample;
}

const uint8_t* TransportPackets::packetAt(int64_t sync) {
    if (sync + kPacket > chunkAt_ + int64_t(held_)) {
        // Less than a packet left: what is left moves to the chunk's start, and the chunk fills again.
        const int64_t from = std::clamp<int64_t>(sync, chunkAt_, chunkAt_ + int64_t(held_));
        const size_t left = size_t(chunkAt_ + int64_t(held_) - from);
        std::memmove(chunk_.data(), chunk_.data() + (from - chunkAt_), left);
        chunkAt_ = from;
        held_ = left;
        if (!fileRead_) {
            const size_t more = std::fread(chunk_.data() + left, 1, chunk_.size() - left, f_.get());
            held_ += more;
            fileRead_ = more == 0;
        }
        if (sync < chunkAt_ || sync + kPacket > chunkAt_ + int64_t(held_)) return nullptr;
    }
    return &chunk_[size_t(sync - chunkAt_)];
}

bool TransportPackets::walk(int64_t upTo, std::vector<EmptySample>& empty, std::set<int64_t>& lacking) {
    if (!layout_) {
        f_.reset(std::fopen(file_.c_str(), "rb"));
        if (!f_) return false;
        held_ = std::fread(chunk_.data(), 1, chunk_.size(), f_.get());
        layout_ = layoutIn(chunk_.data(), int64_t(held_));
        if (!layout_) return false;
        sync_ = layout_->first;
    }
    // The demuxer places a packet by where its 188 bytes end, less its size.
    for (int64_t placed = sync_ + kPacket - layout_->size; placed <= upTo; placed = sync_ + kPacket - layout_->size) {
        const uint8_t* p = packetAt(sync_);
        if (p == nullptr) {
            if (pes_ && !payload_ && stuffed_) empty.push_back(EmptySample{pes_->first, AV_NOPTS_VALUE, pes_->second});
            return false;
        }
        visit(p, placed, empty, lacking);
        sync_ += layout_->size;
    }
    return true;
}

// Each PES packet of the stream begins in a transport packet marked as a unit's start; one whose
// payload is its header alone is empty. A continuity count that skips tells a transport packet
// lost from the PES packet read then.
void TransportPackets::visit(const uint8_t* p, int64_t placed, std::vector<EmptySample>& empty, std::set<int64_t>& lacking) {
    if (p[0] != 0x47 || pidOf(p) != pid_ || !carriesPayload(p)) return;
    // A packet sent twice keeps its count; a discontinuity the stream marks is none.
    const int count = p[3] & 0x0F;
    const bool marked = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
    if (continuity_ && count != *continuity_ && count != ((*continuity_ + 1) & 0x0F) && !marked && pes_ &&
        pes_->first != AV_NOPTS_VALUE)
        lacking.insert(pes_->first);
    continuity_ = count;
    size_t from = 4 + ((p[3] & 0x20) ? 1 + size_t(p[4]) : 0);
    if (from >= kPacket) return;
    if (beginsUnit(p)) {
        if (pes_ && !payload_) empty.push_back(EmptySample{pes_->first, AV_NOPTS_VALUE, pes_->second});
        const uint8_t* h = p + from;
        if (from + 9 > kPacket || h[0] != 0 || h[1] != 0 || h[2] != 1 || from + 9 + h[8] > kPacket) {
            pes_.reset();
            return;
        }
        int64_t pts = AV_NOPTS_VALUE;
        if ((h[7] & 0x80) && h[8] >= 5)
            pts = int64_t(h[9] >> 1 & 7) << 30 | int64_t(h[10]) << 22 | int64_t(h[11] >> 1) << 15 | int64_t(h[12]) << 7 |
                  h[13] >> 1;
        pes_ = {pts, placed};
        from += 9 + h[8];
        payload_ = false;
    }
    payload_ = payload_ || from < kPacket;
    stuffed_ = stuffedTransportPacket(p);
}

TransportEnd transportEnd(const AVFormatContext* format, int stream, const std::filesystem::path& file) {
    if (std::strcmp(format->iformat->name, "mpegts") != 0) return TransportEnd::outside;
    return TransportPackets(file, format->streams[stream]->id).end();
}

bool stuffedTransportPacket(const uint8_t* p) {
    if ((p[3] & 0x30) != 0x30) return false;
    const int length = p[4];
    if (length == 0) return true;  // a single byte of stuffing
    const uint8_t flags = p[5];
    if (flags & 0x03) return false;
    const int needed = 1 + (flags & 0x10 ? 6 : 0) + (flags & 0x08 ? 6 : 0) + (flags & 0x04 ? 1 : 0);
    return length > needed;
}

}  // namespace qm::reading
