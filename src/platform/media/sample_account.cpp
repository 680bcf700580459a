#include "platform/media/sample_account.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/media/reader_internal.h"
#include "platform/media/transport_packets.h"

namespace qm::reading {

namespace {

constexpr size_t kRecentKept = 64;  // more than any decoder reorders
// More samples than a decoder begun at a recovery point takes to give its first picture.
constexpr size_t kOpeningKept = 1024;

// MP4 and QuickTime: the sample table lists every sample. The parser the demuxer puts H.264
// through drops a packet without data; read without it, the empty sample comes with its stamps.
std::vector<EmptySample> emptyTableSamples(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    AVStream* st = format->streams[stream];
    bool listed = false;
    for (int i = 0, n = avformat_index_get_entries_count(st); i < n && !listed; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(st, i);
        listed = entry != nullptr && entry->size == 0 && (entry->flags & AVINDEX_DISCARD_FRAME) == 0;
    }
    if (!listed) return {};
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) return {};
    raw->flags |= AVFMT_FLAG_NOPARSE;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int rc = avformat_open_input(&raw, ("file:" + file.string()).c_str(), format->iformat, &options);
    av_dict_free(&options);
    if (rc < 0) return {};
    const FormatPtr opened(raw);
    if (stream >= int(raw->nb_streams)) return {};
    discardAllBut(raw, stream);
    std::vector<EmptySample> stamps;
    const PacketPtr packet = ffmpeg::allocPacket("read");
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == stream && packet->size == 0 && (packet->flags & AV_PKT_FLAG_DISCARD) == 0)
            stamps.push_back({packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, packet->dts, -1});
        av_packet_unref(packet.get());
    }
    return stamps;
}

// A box of an MP4 or QuickTime file read into memory: its type and its payload.
struct Box {
    uint32_t type = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
constexpr uint32_t fourCC(const char (&t)[5]) {
    return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 | uint32_t(uint8_t(t[2])) << 8 | uint8_t(t[3]);
}

std::vector<Box> boxesIn(const uint8_t* data, size_t size) {
    std::vector<Box> boxes;
    for (size_t at = 0; at + 8 <= size;) {
        uint64_t length = be32(data + at);
        size_t head = 8;
        if (length == 1 && at + 16 <= size) {
            length = uint64_t(be32(data + at + 8)) << 32 | be32(data + at + 12);
            head = 16;
        } else if (length == 0) {
            length = size - at;
        }
        if (length < head || length > size - at) break;
        boxes.push_back({be32(data + at + 4), data + at + head, size_t(length) - head});
        at += size_t(length);
    }
    return boxes;
}

std::optional<Box> child(const Box& box, uint32_t type) {
    for (const Box& b : boxesIn(box.data, box.size))
        if (b.type == type) return b;
    return std::nullopt;
}

// The `moov` box, read from the file's top-level boxes.
std::vector<uint8_t> movieBox(std::FILE* f) {
    for (int64_t at = 0;;) {
        uint8_t head[16];
        if (fseeko(f, at, SEEK_SET) != 0 || std::fread(head, 1, 16, f) < 8) return {};
        uint64_t length = be32(head);
        size_t headSize = 8;
        if (length == 1) {
            length = uint64_t(be32(head + 8)) << 32 | be32(head + 12);
            headSize = 16;
        }
        if (length < headSize) return {};
        if (be32(head + 4) == fourCC("moov")) {
            if (length > (1u << 30)) return {};
            std::vector<uint8_t> box(size_t(length) - headSize);
            if (fseeko(f, at + int64_t(headSize), SEEK_SET) != 0 || std::fread(box.data(), 1, box.size(), f) != box.size())
                return {};
            return box;
        }
        at += int64_t(length);
    }
}

// MP4 and QuickTime: the sample table's boxes each list the track's samples, and the demuxer
// trusts each as far as it goes: sizes (`stsz`), chunks (`stsc`), durations (`stts`) and
// composition offsets (`ctts`). Where they list different counts, the samples past the fewest are
// lost; a sample shown further from its decoding time than the track lasts is lost too (the
// demuxer hands it on, and the decoder drops pictures around it). Each is stamped in decoding
// time and shown where the others leave a gap.
std::vector<EmptySample> tableDisagreements(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    AVStream* st = format->streams[stream];
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f || avformat_index_get_entries_count(st) == 0) return {};
    const std::vector<uint8_t> moov = movieBox(f.get());
    std::optional<Box> table, mdhd;
    for (const Box& trak : boxesIn(moov.data(), moov.size())) {
        const std::optional<Box> tkhd = trak.type == fourCC("trak") ? child(trak, fourCC("tkhd")) : std::nullopt;
        if (!tkhd || tkhd->size < 24) continue;
        const size_t idAt = tkhd->data[0] == 1 ? 20 : 12;
        if (int(be32(tkhd->data + idAt)) != st->id) continue;
        const std::optional<Box> mdia = child(trak, fourCC("mdia"));
        const std::optional<Box> minf = mdia ? child(*mdia, fourCC("minf")) : std::nullopt;
        mdhd = mdia ? child(*mdia, fourCC("mdhd")) : std::nullopt;
        table = minf ? child(*minf, fourCC("stbl")) : std::nullopt;
        break;
    }
    if (!table) return {};
    const auto entries = [&](const char (&type)[5], size_t first, size_t width) {
        const std::optional<Box> b = child(*table, fourCC(type));
        if (!b || b->size < first) return std::optional<std::pair<const uint8_t*, size_t>>();
        const size_t n = std::min<size_t>(be32(b->data + first - 4), (b->size - first) / width);
        return std::optional(std::pair(b->data + first, n));
    };
    const auto stsz = child(*table, fourCC("stsz"));
    const auto stts = entries("stts", 8, 8), ctts = entries("ctts", 8, 8), stsc = entries("stsc", 8, 12);
    const auto stco = entries("stco", 8, 4), co64 = entries("co64", 8, 8);
    if (!stsz || stsz->size < 12 || !stts || !stsc || (!stco && !co64)) return {};
    // A table's count is only its word: no more samples are listed than the file can hold, one
    // size for all taking that many bytes each, sizes of their own four bytes each in the table.
    // Beyond that the count alone would decide what is kept here.
    std::error_code error;
    const uint64_t fileSize = std::filesystem::file_size(file, error);
    if (error) return {};
    const uint32_t fixedSize = be32(stsz->data + 4);
    const uint64_t sized = std::min<uint64_t>(be32(stsz->data + 8), fixedSize != 0 ? fileSize / fixedSize + 1 : (stsz->size - 12) / 4);
    const uint64_t chunks = stco ? stco->second : co64->second;
    // Durations and composition offsets of the samples, in decoding order.
    std::vector<int64_t> dts, offsets;
    int64_t t = 0;
    for (size_t i = 0; i < stts->second && dts.size() <= sized; ++i)
        for (uint32_t k = 0, n = be32(stts->first + 8 * i); k < n && dts.size() <= sized; ++k, t += be32(stts->first + 8 * i + 4))
            dts.push_back(t);
    const int64_t lasts = t;
    if (ctts)
        for (size_t i = 0; i < ctts->second && offsets.size() <= sized; ++i)
            for (uint32_t k = 0, n = be32(ctts->first + 8 * i); k < n && offsets.size() <= sized; ++k)
                offsets.push_back(int32_t(be32(ctts->first + 8 * i + 4)));
    uint64_t chunked = 0;
    for (size_t i = 0; i < stsc->second; ++i) {
        const uint64_t from = be32(stsc->first + 12 * i);
        const uint64_t to = i + 1 < stsc->second ? be32(stsc->first + 12 * (i + 1)) : chunks + 1;
        if (from >= 1 && to > from && to <= chunks + 1) chunked += (to - from) * be32(stsc->first + 12 * i + 4);
    }
    // Where chunks hold other counts than the sizes: the first sample the chunks place over the
    // next chunk's bytes (chunks of one track follow on from one another).
    std::optional<size_t> misplaced;
    if (chunked != sized && stsz->size >= 12 + 4 * (be32(stsz->data + 4) == 0 ? sized : 0)) {
        const uint32_t fixed = be32(stsz->data + 4);
        const auto offset = [&](uint64_t c) { return stco ? uint64_t(be32(stco->first + 4 * c)) : uint64_t(be32(co64->first + 8 * c)) << 32 | be32(co64->first + 8 * c + 4); };
        uint64_t sample = 0;
        for (size_t i = 0; i < stsc->second && !misplaced; ++i) {
            const uint64_t from = be32(stsc->first + 12 * i);
            const uint64_t to = i + 1 < stsc->second ? be32(stsc->first + 12 * (i + 1)) : chunks + 1;
            for (uint64_t c = from; c < to && c <= chunks && from >= 1 && !misplaced; ++c) {
                uint64_t at = offset(c - 1);
                const uint64_t next = c < chunks ? offset(c) : UINT64_MAX;
                for (uint32_t k = 0, n = be32(stsc->first + 12 * i + 4); k < n && sample < sized; ++k, ++sample) {
                    if (next > offset(c - 1) && at >= next) {
                        misplaced = size_t(sample);
                        break;
                    }
                    at += fixed != 0 ? fixed : be32(stsz->data + 12 + 4 * sample);
                }
            }
        }
    }
    uint64_t listed = std::min<uint64_t>(sized, chunked);
    listed = std::min<uint64_t>(listed, dts.size());
    if (ctts) listed = std::min<uint64_t>(listed, offsets.size());
    const uint64_t most = std::max<uint64_t>({sized, std::min<uint64_t>(chunked, sized + 1), dts.size(), offsets.size()});
    // A duration of zero before the last sample decodes the next at the same time as the one
    // before it: from there, no sample's time is known. The first such sample is lost, named by
    // its place: as many frames on as it is samples on, at the rate the track is read at (else
    // the track's duration over its samples).
    for (size_t i = 1; i < dts.size() && i < listed; ++i) {
        if (dts[i] != dts[i - 1]) continue;
        const AVIndexEntry* entry = int(i) < avformat_index_get_entries_count(st) ? avformat_index_get_entry(st, int(i)) : nullptr;
        if (entry == nullptr || entry->pos <= 0) break;
        const AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
        const bool wide = mdhd && mdhd->size >= 32 && mdhd->data[0] == 1;
        const uint64_t duration = !mdhd || mdhd->size < 20 ? 0 : wide ? uint64_t(be32(mdhd->data + 24)) << 32 | be32(mdhd->data + 28) : be32(mdhd->data + 16);
        const int64_t ticks = rate.num > 0 && rate.den > 0 ? av_rescale_q(int64_t(i), av_inv_q(rate), st->time_base)
                                                           : int64_t(i) * int64_t(duration / std::max<uint64_t>(listed, 1));
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : avformat_index_get_entry(st, 0)->timestamp;
        return {EmptySample{start + ticks, AV_NOPTS_VALUE, entry->pos - 1, true}};
    }
    // The demuxer lifts offsets below zero to zero.
    int64_t shift = 0;
    for (size_t i = 0; i + 1 < offsets.size(); ++i) shift = std::max<int64_t>(shift, -offsets[i]);
    std::vector<size_t> lost;
    std::vector<int64_t> shown;
    for (size_t i = 0; i < most; ++i) {
        const int64_t offset = i < offsets.size() ? offsets[i] : 0;
        if (i >= listed || std::abs(offset) > lasts || i == misplaced) lost.push_back(i);
        else if (i < dts.size()) shown.push_back(dts[i] + offset);
    }
    if (lost.empty() || lasts <= 0) return {};
    // Shown where the others leave a gap, or after them all.
    std::sort(shown.begin(), shown.end());
    int64_t spacing = INT64_MAX;
    for (size_t i = 1; i < shown.size(); ++i)
        if (shown[i] > shown[i - 1]) spacing = std::min(spacing, shown[i] - shown[i - 1]);
    if (spacing == INT64_MAX) spacing = dts.size() > 1 ? dts[1] - dts[0] : 1;
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < shown.size(); ++i)
        for (int64_t g = shown[i - 1] + spacing; g + spacing / 2 < shown[i] && gaps.size() < lost.size(); g += spacing) gaps.push_back(g);
    for (int64_t g = shown.empty() ? 0 : shown.back() + spacing; gaps.size() < lost.size(); g += spacing) gaps.push_back(g);
    const int64_t start = avformat_index_get_entry(st, 0)->timestamp;
    std::vector<EmptySample> samples;
    for (size_t k = 0; k < lost.size(); ++k) {
        const size_t i = lost[k];
        const int64_t decoded = i < dts.size() ? dts[i] : lasts + int64_t(i - dts.size()) * spacing;
        samples.push_back({start + gaps[k] + shift, start + decoded, -1, true});
    }
    return samples;
}

// Fragmented MP4: each fragment of the track states when its first sample is decoded (`tfdt`)
// and how long each lasts (`trun`, else the defaults of `tfhd` or `trex`). A fragment decoded
// before the one before it ends overlaps it: the demuxer files its samples among the others by
// time, without a word, and the decoder meets them out of their order. Its first sample is lost
// to the reading, named by its place among the samples (where it would follow on from them).
std::vector<EmptySample> fragmentsThatGoBack(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    const int track = format->streams[stream]->id;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f) return {};
    // Where the fragment read ends, and where it would end had each followed on from the one before.
    std::optional<int64_t> end, followsOn;
    uint32_t trexDuration = 0;
    const std::vector<uint8_t> moov = movieBox(f.get());
    // Only a movie that says it is fragmented has fragments.
    const std::optional<Box> mvex = child(Box{0, moov.data(), moov.size()}, fourCC("mvex"));
    if (!mvex) return {};
    for (const Box& trex : boxesIn(mvex->data, mvex->size))
        if (trex.type == fourCC("trex") && trex.size >= 16 && int(be32(trex.data + 4)) == track) trexDuration = be32(trex.data + 12);
    for (int64_t at = 0, boxes = 0; boxes < (1 << 20); ++boxes) {
        uint8_t head[16];
        if (fseeko(f.get(), at, SEEK_SET) != 0 || std::fread(head, 1, 16, f.get()) < 8) break;
        uint64_t length = be32(head);
        size_t headSize = 8;
        if (length == 1) {
            length = uint64_t(be32(head + 8)) << 32 | be32(head + 12);
            headSize = 16;
        }
        if (length < headSize) break;
        if (be32(head + 4) == fourCC("moof") && length <= (1u << 26)) {
            std::vector<uint8_t> moof(size_t(length) - headSize);
            if (fseeko(f.get(), at + int64_t(headSize), SEEK_SET) != 0 || std::fread(moof.data(), 1, moof.size(), f.get()) != moof.size()) break;
            for (const Box& traf : boxesIn(moof.data(), moof.size())) {
                const std::optional<Box> tfhd = traf.type == fourCC("traf") ? child(traf, fourCC("tfhd")) : std::nullopt;
                const std::optional<Box> tfdt = tfhd ? child(traf, fourCC("tfdt")) : std::nullopt;
                if (!tfhd || tfhd->size < 8 || int(be32(tfhd->data + 4)) != track || !tfdt || tfdt->size < 8) continue;
                const uint32_t hf = be32(tfhd->data) & 0xFFFFFF;
                const size_t durationAt = 8 + (hf & 0x01 ? 8 : 0) + (hf & 0x02 ? 4 : 0);
                const uint32_t fallback = (hf & 0x08) && tfhd->size >= durationAt + 4 ? be32(tfhd->data + durationAt) : trexDuration;
                const int64_t base = tfdt->data[0] == 1 && tfdt->size >= 12 ? int64_t(uint64_t(be32(tfdt->data + 4)) << 32 | be32(tfdt->data + 8))
                                                                          : int64_t(be32(tfdt->data + 4));
                int64_t lasts = 0;
                std::optional<int64_t> firstOffset;
                for (const Box& trun : boxesIn(traf.data, traf.size)) {
                    if (trun.type != fourCC("trun") || trun.size < 8) continue;
                    const uint32_t rf = be32(trun.data) & 0xFFFFFF;
                    const size_t each = 4 * size_t(((rf & 0x100) != 0) + ((rf & 0x200) != 0) + ((rf & 0x400) != 0) + ((rf & 0x800) != 0));
                    size_t first = 8 + (rf & 0x01 ? 4 : 0) + (rf & 0x04 ? 4 : 0);
                    const uint64_t count = be32(trun.data + 4);
                    for (uint64_t k = 0; k < count && first + each <= trun.size; ++k, first += each) {
                        lasts += rf & 0x100 ? be32(trun.data + first) : fallback;
                        if (!firstOffset && (rf & 0x800))
                            firstOffset = int32_t(be32(trun.data + first + each - 4));
                    }
                }
                if (end && base < *end)
                    return {EmptySample{*followsOn + firstOffset.value_or(0), AV_NOPTS_VALUE, at, true}};
                end = base + lasts;
                followsOn = followsOn.value_or(base) + lasts;
            }
        }
        at += int64_t(length);
    }
    return {};
}

// AVI: its index (`idx1`) lists each chunk's place and size, and the demuxer reads the size its
// chunk states. A chunk stating another size than the index lists swallows the chunk after it or
// cuts its own short, without a word: that sample is lost to the reading, in place of its packet.
std::vector<EmptySample> aviChunksThatDisagree(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    AVStream* st = format->streams[stream];
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), std::fclose);
    if (!f) return {};
    std::vector<EmptySample> lost;
    for (int i = 0, n = avformat_index_get_entries_count(st); i < n; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(st, i);
        uint8_t head[8];
        if (entry == nullptr || entry->size <= 0 || fseeko(f.get(), entry->pos, SEEK_SET) != 0 || std::fread(head, 1, 8, f.get()) != 8)
            continue;
        const uint32_t stated = uint32_t(head[4]) | uint32_t(head[5]) << 8 | uint32_t(head[6]) << 16 | uint32_t(head[7]) << 24;
        if (stated != uint32_t(entry->size)) lost.push_back({AV_NOPTS_VALUE, entry->timestamp, entry->pos, true});
    }
    return lost;
}

}  // namespace

// Matroska: a block states its track and time in a header of its own, which an empty block holds
// alone. Its elements are walked by their headers; segments, track lists, clusters and block
// groups are entered. The track read is the first video track listed.
struct ListedEmptySamples::BlockWalk {
    uint64_t clusterTime = 0;
    std::optional<uint64_t> video, number, type;
    std::set<uint64_t> tracks;
    int64_t at = 0, size = 0;
    int count = 0;

    // Walks the elements that begin before `upTo`; false once the walk is over. Blocks of the track
    // with data, and those of a track the file lacks, go to `passing`.
    bool walk(std::FILE* f, int64_t upTo, std::vector<EmptySample>& stamps, std::deque<EmptySample>& passing) {
        for (; at < size && at < upTo; ++count) {
            if (count >= (1 << 24)) return false;
            uint8_t b[24];
            const size_t n = fseeko(f, at, SEEK_SET) == 0 ? std::fread(b, 1, sizeof b, f) : 0;
            size_t i = 0;
            // An EBML number: an element's id (marker kept) or a length (nothing where unknown).
            const auto ebml = [&](bool id, int maxLength) -> std::optional<uint64_t> {
                if (i >= n || b[i] == 0) return std::nullopt;
                const int length = __builtin_clz(uint32_t(b[i])) - 23;
                if (length > maxLength || i + size_t(length) > n) return std::nullopt;
                uint64_t v = id ? b[i] : b[i] & (0xFFu >> length);
                bool unknown = v == (0xFFu >> length);
                for (int k = 1; k < length; ++k) {
                    v = v << 8 | b[i + size_t(k)];
                    unknown = unknown && b[i + size_t(k)] == 0xFF;
                }
                i += size_t(length);
                if (!id && unknown) return UINT64_MAX;
                return v;
            };
            const std::optional<uint64_t> id = ebml(true, 4);
            const std::optional<uint64_t> length = id ? ebml(false, 8) : std::nullopt;
            if (!length) return false;
            const int64_t data = at + int64_t(i);
            if (*id == 0xAE) number = type = std::nullopt;  // a track
            // Segment, tracks, track, cluster, block group.
            if (*id == 0x18538067 || *id == 0x1654AE6B || *id == 0xAE || *id == 0x1F43B675 || *id == 0xA0) {
                at = data;
                continue;
            }
            if (*length == UINT64_MAX || *length > uint64_t(size)) return false;
            if ((*id == 0xE7 || *id == 0xD7 || *id == 0x83) && *length <= 8) {  // cluster time, track number, type
                uint64_t v = 0;
                for (uint64_t k = 0; k < *length && i < n; ++k) v = v << 8 | b[i++];
                if (*id == 0xE7) clusterTime = v;
                else (*id == 0xD7 ? number : type) = v;
                if (*id == 0xD7) tracks.insert(v);
                if (!video && number && type == 1u) video = number;
            } else if (*id == 0xA3 || *id == 0xA1) {  // a simple block, a block
                const std::optional<uint64_t> track = ebml(false, 8);
                if (track && video && i + 3 <= n) {
                    const EmptySample block{int64_t(clusterTime) + int16_t(uint16_t(b[i] << 8 | b[i + 1])), AV_NOPTS_VALUE, data};
                    if (*track == *video && data + int64_t(*length) == at + int64_t(i) + 3) stamps.push_back(block);
                    else if (*track == *video || tracks.count(*track) == 0) passing.push_back(block);
                }
            }
            at = data + int64_t(*length);
        }
        return at < size;
    }
};

ListedEmptySamples::ListedEmptySamples(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    if (std::strstr(format->iformat->name, "mov") != nullptr) {
        found_ = emptyTableSamples(format, stream, file);
        std::vector<EmptySample> lost = tableDisagreements(format, stream, file);
        found_.insert(found_.end(), lost.begin(), lost.end());
        lost = fragmentsThatGoBack(format, stream, file);
        found_.insert(found_.end(), lost.begin(), lost.end());
        std::stable_sort(found_.begin(), found_.end(), [](const EmptySample& a, const EmptySample& b) { return a.dts < b.dts; });
        return;
    }
    if (std::strcmp(format->iformat->name, "avi") == 0) {
        found_ = aviChunksThatDisagree(format, stream, file);
        return;
    }
    if (std::strcmp(format->iformat->name, "mpegts") == 0) {
        pes_ = std::make_unique<TransportPackets>(file, format->streams[stream]->id);
        return;
    }
    if (std::strncmp(format->iformat->name, "matroska", 8) != 0) return;
    file_.reset(std::fopen(file.c_str(), "rb"));
    if (!file_) return;
    std::error_code error;
    blocks_ = std::make_unique<BlockWalk>();
    blocks_->size = int64_t(std::filesystem::file_size(file, error));
    if (error) blocks_.reset();
}

void ListedEmptySamples::readAgain(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    if (std::strstr(format->iformat->name, "mov") == nullptr && std::strcmp(format->iformat->name, "avi") != 0)
        *this = ListedEmptySamples(format, stream, file);
}

ListedEmptySamples::ListedEmptySamples() = default;
ListedEmptySamples::~ListedEmptySamples() = default;
ListedEmptySamples::ListedEmptySamples(ListedEmptySamples&&) noexcept = default;
ListedEmptySamples& ListedEmptySamples::operator=(ListedEmptySamples&&) noexcept = default;

const std::vector<EmptySample>& ListedEmptySamples::upTo(std::optional<int64_t> pos) {
    const int64_t limit = pos.value_or(INT64_MAX);
    if (blocks_ && !blocks_->walk(file_.get(), limit, found_, passing_)) blocks_.reset();
    if (pes_ && !pes_->walk(limit, found_, lacking_)) pes_.reset();
    return found_;
}

std::optional<EmptySample> ListedEmptySamples::droppedBetween(int64_t after, std::optional<int64_t> pos) {
    upTo(pos);
    std::optional<EmptySample> first;
    while (!passing_.empty() && (!pos || passing_.front().pos < *pos)) {
        if (!first && passing_.front().pos > after) first = passing_.front();
        passing_.pop_front();
    }
    if (first) first->lost = true;
    return first;
}

bool ListedEmptySamples::droppedBefore(int64_t pos) {
    upTo(pos);
    return !passing_.empty() && passing_.front().pos < pos;
}

bool ListedEmptySamples::lacksPacket(int64_t pts, std::optional<int64_t> pos) {
    upTo(pos);
    return pts != AV_NOPTS_VALUE && lacking_.count(pts) > 0;
}

void SampleAccount::sent(int64_t pts, int64_t dts, bool owed, bool accounted, bool leads) {
    if (pts == AV_NOPTS_VALUE || !accounted) accounting_ = false;
    const int64_t ts = pts != AV_NOPTS_VALUE ? pts : dts;
    if (ts == AV_NOPTS_VALUE) return;
    if (leads && !taken_) leading_.insert(ts);
    if (!recent_.empty() && ts < recent_.back()) risingStamps_ = false;
    awaited_.emplace(ts, owed);
    if (owed && pts != AV_NOPTS_VALUE) untaken_.insert(pts);
    recent_.push_back(ts);
    if (recent_.size() > kRecentKept) recent_.pop_front();
}

int64_t SampleAccount::refused(int64_t ts, bool frameThreads) const {
    return frameThreads && !awaited_.empty() ? awaited_.begin()->first : ts;
}

void SampleAccount::failed(int64_t ts, int rc) {
    failedAt_ = ts;
    failedCode_ = rc;
}

SampleAccount::Picture SampleAccount::judge(const AVFrame& frame, std::optional<int64_t> owedFrom, bool reorders) {
    const int64_t t = stampOf(frame);
    leftOut_.reset();
    // Pictures shown after the one that failed may be predicted from it.
    if (failedAt_ && t != AV_NOPTS_VALUE && t >= *failedAt_) {
        awaited_.erase(awaited_.begin(), awaited_.upper_bound(t));
        return Picture::afterFailure;
    }
    if (t != AV_NOPTS_VALUE && matching(reorders)) {
        // A sample shown before it whose picture never came; or, where this picture stands at a
        // time no sample sent owes, the first whose place it takes. Kept awaited, to be read again.
        const bool own = awaited_.count(t) > 0;
        std::optional<int64_t> first;
        for (auto it = awaited_.begin(); it != awaited_.end() && (it->first < t || !own); ++it)
            if (it->second && (!owedFrom || it->first >= *owedFrom)) {
                first = it->first;
                break;
            }
        if (first && reorders && decodingStamps(*first, own ? t : recent_.back())) {
            // Pictures come in another order than their stamps: each settles its own sample, or
            // the first still owed, and what is owed is counted once the decoder is drained.
            decodingStampsMet_ = true;
            settle(own ? t : *first);
            return (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0 ? Picture::damaged
                                                                                              : Picture::whole;
        }
        leftOut_ = first;
        if (!own && !leftOut_ && (!owedFrom || t >= *owedFrom)) leftOut_ = t;
        if (leftOut_) return Picture::leftOut;
    }
    // Those shown before it owe nothing more; of samples stamped alike (one repeated), it settles one.
    if (t != AV_NOPTS_VALUE) {
        awaited_.erase(awaited_.begin(), awaited_.lower_bound(t));
        settle(t);
    }
    // A slice skipped or concealed, or a reference missing.
    if ((frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0) return Picture::damaged;
    return Picture::whole;
}

std::optional<int64_t> SampleAccount::owing(std::optional<int64_t> owedFrom, std::optional<int64_t> end, bool reorders) const {
    if (!matching(reorders)) return std::nullopt;
    for (auto it = owedFrom ? awaited_.lower_bound(*owedFrom) : awaited_.begin(); it != awaited_.end(); ++it) {
        if (end && it->first >= *end) break;
        if (it->second) return it->first;
    }
    return std::nullopt;
}

bool SampleAccount::decodingStamps(int64_t from, int64_t to) const {
    const auto first = std::find(recent_.begin(), recent_.end(), from);
    const auto last = std::find(first, recent_.end(), to);
    return first != recent_.end() && last != recent_.end() && risingBetween(first, last);
}

bool SampleAccount::risingBetween(std::deque<int64_t>::const_iterator first, std::deque<int64_t>::const_iterator last) const {
    for (auto it = first == recent_.begin() ? first : std::prev(first); it != last; ++it)
        if (*std::next(it) <= *it) return false;
    return true;
}

bool SampleAccount::risingAbout(int64_t a, int64_t b) const {
    const auto first = std::find(recent_.begin(), recent_.end(), a), second = std::find(recent_.begin(), recent_.end(), b);
    if (first == recent_.end() || second == recent_.end()) return false;
    const auto [from, to] = std::minmax(first, second);
    return risingBetween(from, to);
}

std::optional<int64_t> SampleAccount::shownAt(int64_t own, int reorderDepth) {
    if (own == AV_NOPTS_VALUE) return std::nullopt;
    const bool reorders = reorderDepth > 0;
    if (!taken_) {
        // The samples shown before the first picture gave none (a stream begun mid-way or at a
        // recovery point), but, where it is one that may lead, those sent right before it back to
        // the one it leads, which it may be shown in place of; one that can't lead comes after
        // those sent before it.
        // Told so only where the stamps rise as sent (decoding stamps): other stamps say it themselves.
        const auto ownAt = std::find(recent_.begin(), recent_.end(), own);
        const bool leads = !risingStamps_ || leading_.count(own) > 0 || ownAt == recent_.end();
        auto led = ownAt;
        while (risingStamps_ && leads && led != recent_.begin() && (led == ownAt || leading_.count(*led) > 0)) --led;
        if (!risingStamps_) led = recent_.begin();
        std::erase_if(untaken_, [&](int64_t t) {
            const auto at = std::find(recent_.begin(), ownAt, t);
            return t < own && (at == ownAt || !leads || at < led || ownAt - at > reorderDepth + 1);
        });
        // Those sent right after it that may lead, stamped later, were shown before it and gave
        // none: in decoding stamps, the first picture's time is theirs, and each next one later.
        if (!leads)
            for (auto it = std::next(ownAt); it != recent_.end() && leading_.count(*it) > 0 && *it > own && !untaken_.empty(); ++it)
                untaken_.erase(untaken_.begin());
        leading_.clear();
    }
    taken_ = true;
    if (untaken_.empty()) return std::nullopt;
    const int64_t first = *untaken_.begin();
    if (reorders && risingAbout(first, own)) {
        decodingStampsMet_ = decodingStampsMet_ || first != own;
        untaken_.erase(untaken_.begin());
        return first;
    }
    if (const auto it = untaken_.find(own); it != untaken_.end()) untaken_.erase(it);
    return std::nullopt;
}

int64_t SampleAccount::firstSpoiled(int64_t ts, std::optional<int64_t> from, const std::vector<int64_t>& later) const {
    int64_t first = ts;
    const auto spoils = [&](int64_t s) {
        if (s != AV_NOPTS_VALUE && s < first && (!from || s >= *from)) first = s;
    };
    const auto own = std::find(recent_.begin(), recent_.end(), ts);
    if (own != recent_.end()) std::for_each(std::next(own), recent_.end(), spoils);
    for (const int64_t s : later) spoils(s);
    return first;
}

std::optional<int64_t> SampleAccount::onlyAwaited() const {
    if (awaited_.size() != 1) return std::nullopt;
    return awaited_.begin()->first;
}

std::optional<int64_t> SampleAccount::firstAwaited() const {
    if (awaited_.empty()) return std::nullopt;
    return awaited_.begin()->first;
}

bool WaitingPictures::sentBefore(int64_t a, int64_t b) const {
    const auto first = sentOrder_.find(a), second = sentOrder_.find(b);
    return first != sentOrder_.end() && second != sentOrder_.end() && first->second < second->second;
}

bool WaitingPictures::mustWait(int64_t ts, const Awaited& awaited) const {
    if (drained_ || ts == AV_NOPTS_VALUE) return false;
    const auto own = sentOrder_.find(ts);
    if (own == sentOrder_.end()) return false;
    for (const auto& [t, owed] : awaited) {
        const auto other = sentOrder_.find(t);
        if (other != sentOrder_.end() && other->second < own->second) return true;
    }
    return false;
}

bool WaitingPictures::mustHold(int64_t ts, const Awaited& awaited) {
    if (!pictures_.empty() || mustWait(ts, awaited)) return true;
    forgetUpTo(ts);
    return false;
}

bool WaitingPictures::release(AVFrame& frame, const Awaited& awaited) {
    if (pictures_.empty() || mustWait(SampleAccount::stampOf(*pictures_.front()), awaited)) return false;
    av_frame_move_ref(&frame, pictures_.front().get());
    pictures_.pop_front();
    forgetUpTo(SampleAccount::stampOf(frame));
    return true;
}

bool WaitingPictures::dropAfter(int64_t ts) {
    if (pictures_.empty()) return false;
    const auto own = sentOrder_.find(ts);
    std::erase_if(pictures_, [&](const ffmpeg::FramePtr& f) {
        const auto other = sentOrder_.find(SampleAccount::stampOf(*f));
        return own == sentOrder_.end() || other == sentOrder_.end() || other->second > own->second;
    });
    return true;
}

void PictureCount::owe(int64_t pts, int64_t dts, int64_t pos, bool wholeKey, bool leads) {
    if (!begun_ && wholeKey) from_ = pts;
    begun_ = true;
    const Sample sample{pts, dts, pos};
    if (catchUpTo_) {
        if (*catchUpTo_ == sample) catchUpTo_.reset();
        return;
    }
    if (opening_.size() < kOpeningKept) opening_.emplace_back(pts, leads);
    last_ = sample;
    if (pts == AV_NOPTS_VALUE) counting_ = false;
    if (!counting_) return;
    if (const auto it = balance_.find(pts); it != balance_.end() && ++it->second == 0) balance_.erase(it);
    else if (it == balance_.end()) balance_.emplace(pts, 1);
}

bool PictureCount::opening() const { return opening_.size() < kOpeningKept; }

std::optional<int64_t> PictureCount::missing(std::optional<int64_t> end) const {
    if (!counting_) return std::nullopt;
    // The pictures sent right after the one owed from that may be shown before it are: a decoder
    // beginning there leaves them out (the RASL pictures of a CRA, the B-frames of the first
    // picture whole after a recovery point), where decoding stamps put them after it.
    std::multiset<int64_t> leading;
    const auto from = from_ ? std::find_if(opening_.begin(), opening_.end(), [&](const auto& s) { return s.first == *from_; })
                            : opening_.end();
    for (auto it = from == opening_.end() ? from : std::next(from); it != opening_.end() && it->second; ++it)
        leading.insert(it->first);
    for (auto it = from_ ? balance_.lower_bound(*from_) : balance_.begin(); it != balance_.end(); ++it) {
        if (end && it->first >= *end) break;
        if (it->second > int64_t(leading.count(it->first))) return it->first;
    }
    return std::nullopt;
}

bool SampleAccount::namesDamage(int rc, AVCodecID codec) {
    return rc == AVERROR_INVALIDDATA && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC || codec == AV_CODEC_ID_VP9);
}

}  // namespace qm::reading
