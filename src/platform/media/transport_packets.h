#pragma once
// MPEG-TS files read by their transport packets, for one stream: where the stream's PES packets
// begin, which of them hold no payload or lack a transport packet, and how the file ends among
// them. Packets are 188 bytes, 192 with a time code before the sync byte (M2TS) or 204 with error
// correction after; the packet proper is the 188 bytes from its sync byte, so one held that far is
// whole, as the demuxer takes it, whatever follows it.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace qm::reading {

struct EmptySample;

// Whether an MPEG-TS file ends inside a transport packet of the stream: one that continues a
// sample (the stream's last sample is then held only in part), or one that begins a sample or
// belongs to another stream (the file is cut before the stream's next sample, which the demuxer
// leaves out); outside one in any other file. `closedSample`: it ends between transport packets,
// and the stream's last one ends its sample, its payload shortened by stuffing as a writer does
// with a sample's last packet: that sample is whole, though nothing else says so.
enum class TransportEnd { outside, insideSample, beforeSample, closedSample };

class TransportPackets {
public:
    // The stream is the one whose packets carry `pid`.
    TransportPackets(const std::filesystem::path& file, int pid);
    ~TransportPackets();

    // How the file ends among the stream's packets, from its last 64 KiB.
    TransportEnd end() const;

    // Walks on through the packet the demuxer places at `upTo` (its position for a packet: the
    // 188 bytes' place less what error correction follows them): the PES packets of the stream
    // whose payload is none go to `empty` (told by the one after; the file's last only where its
    // last packet ends it with stuffing, as a cut may end there too), the stamps of those whose
    // continuity count skips (a transport packet lost) to `lacking`. False once the file is read.
    bool walk(int64_t upTo, std::vector<EmptySample>& empty, std::set<int64_t>& lacking);

private:
    struct Layout {
        int size = 188;      // bytes from one sync byte to the next
        int64_t first = 0;   // where the first sync byte lies in the bytes looked at
    };
    // Packets found by four sync bytes in a row among `n` bytes: 188 bytes tried first, then 192, then 204.
    static std::optional<Layout> layoutIn(const uint8_t* data, int64_t n);
    // The 188 bytes of the packet whose sync byte lies at `sync`, read into the chunk; none past the file's end.
    const uint8_t* packetAt(int64_t sync);
    void visit(const uint8_t* p, int64_t placed, std::vector<EmptySample>& empty, std::set<int64_t>& lacking);

    std::filesystem::path file_;
    int pid_ = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f_{nullptr, std::fclose};
    std::optional<Layout> layout_;
    int64_t sync_ = 0;  // the next packet's sync byte in the file
    // The chunk holds the file's bytes from `chunkAt` on, `held` of them; each byte is read into it once.
    std::vector<uint8_t> chunk_ = std::vector<uint8_t>(204 * 4096);
    int64_t chunkAt_ = 0;
    size_t held_ = 0;
    bool fileRead_ = false;
    // The PES packet read now: its stamp (AV_NOPTS_VALUE where it has none) and its place.
    std::optional<std::pair<int64_t, int64_t>> pes_;
    std::optional<int> continuity_;
    bool payload_ = false, stuffed_ = false;
    // The payload bytes the PES packet read now states it has still to come (below zero: it was
    // followed by more), where it states its length.
    std::optional<int64_t> stated_;
};

}  // namespace qm::reading
