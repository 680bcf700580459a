#include "platform/media/container_samples.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/media/reader_internal.h"

namespace qm::reading {

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

namespace {

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

// The file's top-level boxes in order, by their headers: `visit(at, type, headSize, length)` goes
// on to the next while it returns true.
template <class Visit>
void topLevelBoxes(std::FILE* f, Visit visit) {
    for (int64_t at = 0;;) {
        uint8_t head[16];
        if (fseeko(f, at, SEEK_SET) != 0 || std::fread(head, 1, 16, f) < 8) return;
        uint64_t length = be32(head);
        size_t headSize = 8;
        if (length == 1) {
            length = uint64_t(be32(head + 8)) << 32 | be32(head + 12);
            headSize = 16;
        }
        if (length < headSize || length > uint64_t(INT64_MAX / 2) || !visit(at, be32(head + 4), headSize, length)) return;
        at += int64_t(length);
    }
}

// The content of the top-level box at `at`; nothing where the file can't give it all.
std::vector<uint8_t> boxContent(std::FILE* f, int64_t at, size_t headSize, uint64_t length) {
    std::vector<uint8_t> box(size_t(length) - headSize);
    if (fseeko(f, at + int64_t(headSize), SEEK_SET) != 0 || std::fread(box.data(), 1, box.size(), f) != box.size()) return {};
    return box;
}

// The `moov` box, read from the file's top-level boxes.
std::vector<uint8_t> movieBox(std::FILE* f) {
    std::vector<uint8_t> moov;
    topLevelBoxes(f, [&](int64_t at, uint32_t type, size_t headSize, uint64_t length) {
        if (type != fourCC("moov")) return true;
        if (length <= (1u << 30)) moov = boxContent(f, at, headSize, length);
        return false;
    });
    return moov;
}

// A duration of zero before the last sample decodes the next at the same time as the one
// before it: from there, no sample's time is known. The first such sample is lost, named by
// its place: as many frames on as it is samples on, at the rate the track is read at (else
// the track's duration over its samples).
std::optional<EmptySample> firstAfterZeroDuration(AVStream* st, const std::vector<int64_t>& dts, uint64_t listed,
                                                  const std::optional<Box>& mdhd) {
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
        return EmptySample{start + ticks, AV_NOPTS_VALUE, entry->pos - 1, true};
    }
    return std::nullopt;
}

}  // namespace

// MP4 and QuickTime: the sample table's boxes each list the track's samples, and the demuxer
// trusts each as far as it goes: sizes (`stsz`), chunks (`stsc`), durations (`stts`) and
// composition offsets (`ctts`). Where they list different counts, the samples past the fewest are
// lost; a sample shown further from its decoding time than the track lasts is lost too (the
// demuxer hands it on, and the decoder drops pictures around it). Each is stamped in decoding
// time and shown where the others leave a gap.
static std::vector<EmptySample> tableDisagreements(AVStream* st, const std::vector<uint8_t>& moov, uint64_t fileSize) {
    if (avformat_index_get_entries_count(st) == 0) return {};
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
    if (std::optional<EmptySample> lost = firstAfterZeroDuration(st, dts, listed, mdhd)) return {*lost};
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
// Times summed from a file's words stop at the largest stamp rather than wrap.
static int64_t addClamped(int64_t a, int64_t b) {
    int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT64_MAX : INT64_MIN) : sum;
}

static std::vector<EmptySample> fragmentsThatGoBack(int track, const std::vector<uint8_t>& moov, std::FILE* f) {
    // Only a movie that says it is fragmented has fragments.
    const std::optional<Box> mvex = child(Box{0, moov.data(), moov.size()}, fourCC("mvex"));
    if (!mvex) return {};
    uint32_t trexDuration = 0;
    for (const Box& trex : boxesIn(mvex->data, mvex->size))
        if (trex.type == fourCC("trex") && trex.size >= 16 && int(be32(trex.data + 4)) == track) trexDuration = be32(trex.data + 12);
    // Where the fragment read ends, and where it would end had each followed on from the one before.
    std::optional<int64_t> end, followsOn;
    std::vector<EmptySample> lost;
    int64_t boxes = 0;
    topLevelBoxes(f, [&](int64_t at, uint32_t type, size_t headSize, uint64_t length) {
        if (++boxes > (1 << 20)) return false;
        if (type != fourCC("moof") || length > (1u << 26)) return true;
        const std::vector<uint8_t> moof = boxContent(f, at, headSize, length);
        if (moof.empty()) return false;
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
                // Without fields of their own, the samples take the default duration: their count
                // is only the box's word, not walked sample by sample.
                if (each == 0) {
                    lasts = addClamped(lasts, int64_t(std::min<uint64_t>(count * uint64_t(fallback), uint64_t(1) << 62)));
                    continue;
                }
                for (uint64_t k = 0; k < count && first + each <= trun.size; ++k, first += each) {
                    lasts = addClamped(lasts, rf & 0x100 ? be32(trun.data + first) : fallback);
                    if (!firstOffset && (rf & 0x800))
                        firstOffset = int32_t(be32(trun.data + first + each - 4));
                }
            }
            if (end && base < *end) {
                lost.push_back(EmptySample{addClamped(*followsOn, firstOffset.value_or(0)), AV_NOPTS_VALUE, at, true});
                return false;
            }
            end = addClamped(base, lasts);
            followsOn = addClamped(followsOn.value_or(base), lasts);
        }
        return true;
    });
    return lost;
}

// MP4 and QuickTime: the movie box read once for the rules on its tables and its fragments.
std::vector<EmptySample> tableAndFragmentLosses(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), std::fclose);
    std::error_code error;
    const uint64_t fileSize = std::filesystem::file_size(file, error);
    if (!f || error) return {};
    const std::vector<uint8_t> moov = movieBox(f.get());
    std::vector<EmptySample> lost = tableDisagreements(format->streams[stream], moov, fileSize);
    const std::vector<EmptySample> fragments = fragmentsThatGoBack(format->streams[stream]->id, moov, f.get());
    lost.insert(lost.end(), fragments.begin(), fragments.end());
    return lost;
}

}  // namespace qm::reading
