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

// The presentation stamp of the PES header at `h`, AV_NOPTS_VALUE where it has none.
int64_t stampOf(const uint8_t* h) {
    if (!(h[7] & 0x80) || h[8] < 5) return AV_NOPTS_VALUE;
    return int64_t(h[9] >> 1 & 7) << 30 | int64_t(h[10]) << 22 | int64_t(h[11] >> 1) << 15 | int64_t(h[12]) << 7 | h[13] >> 1;
}

// The stamp of the first video PES header found among `n` bytes.
int64_t stampFrom(const uint8_t* data, size_t n) {
    for (size_t at = 0; at + 14 <= n; ++at)
        if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1 && (data[at + 3] & 0xF0) == 0xE0 && at + 9 + data[at + 8] <= n)
            return stampOf(data + at);
    return AV_NOPTS_VALUE;
}

// Whether an adaptation field holds the fields its flags name and stuffing of 0xFF after them,
// in the length it states.
bool wholeAdaptationField(const uint8_t* p) {
    const size_t length = p[4];
    if (length > size_t(kPacket) - 5) return false;
    if (length == 0) return true;
    const uint8_t flags = p[5];
    size_t at = 1 + (flags & 0x10 ? 6 : 0) + (flags & 0x08 ? 6 : 0) + (flags & 0x04 ? 1 : 0);
    if ((flags & 0x02) && at < length) at += 1 + size_t(p[5 + at]);
    if ((flags & 0x01) && at < length) at += 1 + size_t(p[5 + at]);
    if (at > length) return false;
    return std::all_of(p + 5 + at, p + 5 + length, [](uint8_t b) { return b == 0xFF; });
}

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
// lost from the PES packet read then. The demuxer takes an adaptation field at the length it
// states, without a word: one whose fields or stuffing say that length is wrong moves where the
// payload begins, so the PES packet lacks bytes or holds others (or, in the packet that begins
// it, its header is not found and the demuxer drops it whole); so does a PES packet whose stated
// length is shorter than the payload that follows it (the demuxer hands on only that much).
void TransportPackets::visit(const uint8_t* p, int64_t placed, std::vector<EmptySample>& empty, std::set<int64_t>& lacking) {
    if (p[0] != 0x47 || pidOf(p) != pid_ || !carriesPayload(p)) return;
    const auto lacks = [&] {
        if (pes_ && pes_->first != AV_NOPTS_VALUE) lacking.insert(pes_->first);
    };
    // A packet sent twice keeps its count; a discontinuity the stream marks is none.
    const int count = p[3] & 0x0F;
    const bool marked = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
    if (continuity_ && count != *continuity_ && count != ((*continuity_ + 1) & 0x0F) && !marked && pes_ &&
        pes_->first != AV_NOPTS_VALUE)
        lacking.insert(pes_->first);
    continuity_ = count;
    size_t from = 4 + ((p[3] & 0x20) ? 1 + size_t(p[4]) : 0);
    // Stuffing that runs on past the field's length (eight bytes of it: coded data hardly holds
    // as many right where a packet's payload begins) is a field stated too short.
    const bool fieldWhole = (p[3] & 0x20) == 0 ||
                            (wholeAdaptationField(p) && (from + 8 > size_t(kPacket) || std::any_of(p + from, p + from + 8, [](uint8_t b) {
                                                             return b != 0xFF;
                                                         })));
    if (from >= kPacket) {
        // Its payload is passed over: lost from the PES packet read, or, where it begins the
        // next, that one's bytes join this one.
        if (!fieldWhole) lacks();
        return;
    }
    if (beginsUnit(p)) {
        if (pes_ && !payload_) empty.push_back(EmptySample{pes_->first, AV_NOPTS_VALUE, pes_->second});
        stated_.reset();
        const uint8_t* h = p + from;
        if (from + 9 > kPacket || h[0] != 0 || h[1] != 0 || h[2] != 1 || from + 9 + h[8] > kPacket) {
            pes_.reset();
            // The demuxer drops the PES packet whose header its adaptation field hides: lost,
            // stamped as its header says where that is found further on in the packet.
            if (!fieldWhole) empty.push_back(EmptySample{stampFrom(p + 5, size_t(kPacket) - 5), AV_NOPTS_VALUE, placed, true});
            return;
        }
        pes_ = {stampOf(h), placed};
        if (const int length = h[4] << 8 | h[5]; length > 0) stated_ = int64_t(length) - 3 - h[8];
        from += 9 + h[8];
        payload_ = false;
    } else if (!fieldWhole) {
        lacks();
    }
    if (stated_) {
        // Past the length the PES packet states, only stuffing of 0xFF may follow in its packet.
        const int64_t before = *stated_;
        *stated_ -= int64_t(kPacket - from);
        if (before < 0 || (*stated_ < 0 && std::any_of(p + from + size_t(std::max<int64_t>(before, 0)), p + kPacket,
                                                       [](uint8_t b) { return b != 0xFF; }))) {
            lacks();
            *stated_ = -1;
        } else if (*stated_ < 0) {
            *stated_ = 0;
        }
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
