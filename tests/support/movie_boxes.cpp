#include "support/movie_boxes.h"

#include <cmath>
#include <tuple>

#include "support/test_support.h"

namespace qm::test {

namespace {

uint32_t be(const std::string& d, size_t at, int bytes = 4) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(d[at + i]);
    return v;
}

// Walks the boxes filling d[begin, end) (false when they do not fill it exactly), descending
// along moov/trak/mdia/minf/stbl/stsd into sound sample entries and collecting their 'chan' boxes.
bool walk(const std::string& d, size_t begin, size_t end, bool inSoundEntry, bool soundTrack,
          std::vector<ChannelLayoutBox>& found) {
    for (size_t at = begin; at < end;) {
        if (end - at < 8) return false;
        uint64_t size = be(d, at);
        size_t header = 8;
        if (size == 1 && end - at >= 16) {
            size = uint64_t(be(d, at + 8)) << 32 | be(d, at + 12);
            header = 16;
        }
        if (size < header || size > end - at) return false;
        const std::string type = d.substr(at + 4, 4);
        const size_t content = at + header, boxEnd = at + size;
        if (type == "mdia") {
            const size_t hdlr = d.find("hdlr", content);
            soundTrack = hdlr + 16 <= boxEnd && d.substr(hdlr + 12, 4) == "soun";
        }
        bool ok = true;
        if (inSoundEntry && type == "chan") {
            ok = size >= 24;
            if (ok)
                found.push_back({be(d, content), be(d, content + 4), be(d, content + 8), be(d, content + 12),
                                 uint32_t(size)});
        } else if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
            ok = walk(d, content, boxEnd, false, soundTrack, found);
        } else if (type == "stsd" && soundTrack) {
            // Each sample entry: the sound description's fields (28 bytes in version 0, 44 in 1,
            // 64 in 2), then its extension boxes.
            for (size_t e = content + 8; ok && e < boxEnd;) {
                const uint32_t entrySize = boxEnd - e >= 18 ? be(d, e) : 0;
                const uint32_t version = entrySize > 0 ? be(d, e + 16, 2) : 3;
                const size_t fields = 8 + 28 + 16 * version + (version == 2 ? 4 : 0);
                ok = version <= 2 && entrySize >= fields && entrySize <= boxEnd - e &&
                     walk(d, e + fields, e + entrySize, true, true, found);
                e += entrySize;
            }
        }
        if (!ok) return false;
        at = boxEnd;
    }
    return true;
}

// The boxes filling d[begin, end) as (type, content begin, end); nothing when they do not fill it.
std::optional<std::vector<std::tuple<std::string, size_t, size_t>>> boxesIn(const std::string& d, size_t begin, size_t end) {
    std::vector<std::tuple<std::string, size_t, size_t>> boxes;
    for (size_t at = begin; at < end;) {
        if (end - at < 8) return std::nullopt;
        const uint32_t size = be(d, at);
        if (size < 8 || size > end - at) return std::nullopt;
        boxes.emplace_back(d.substr(at + 4, 4), at + 8, at + size);
        at += size;
    }
    return boxes;
}

std::optional<VideoSampleEntry> findVideoEntry(const std::string& d, size_t begin, size_t end, bool videoTrack) {
    const auto boxes = boxesIn(d, begin, end);
    if (!boxes) return std::nullopt;
    for (const auto& [type, content, boxEnd] : *boxes) {
        if (type == "mdia") {
            const size_t hdlr = d.find("hdlr", content);
            videoTrack = hdlr + 16 <= boxEnd && d.substr(hdlr + 12, 4) == "vide";
        }
        if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
            if (auto found = findVideoEntry(d, content, boxEnd, videoTrack)) return found;
        } else if (type == "stsd" && videoTrack && boxEnd - content >= 8 + 86) {
            // A visual sample entry: 78 bytes of fields after its header (depth at 74), then boxes.
            const size_t e = content + 8;
            const uint32_t entrySize = be(d, e);
            if (entrySize < 86 || entrySize > boxEnd - e) return std::nullopt;
            VideoSampleEntry entry{d.substr(e + 4, 4), int(be(d, e + 8 + 74, 2)), ""};
            if (const auto children = boxesIn(d, e + 86, e + entrySize))
                for (const auto& [child, from, to] : *children)
                    if (child == "hvcC") entry.hvcC = d.substr(from, to - from);
            return entry;
        }
    }
    return std::nullopt;
}

// The content of the first box along `path` (such as moov, trak, tkhd) within d[begin, end).
std::optional<std::pair<size_t, size_t>> boxAlong(const std::string& d, size_t begin, size_t end,
                                                  const std::vector<std::string>& path) {
    const auto boxes = boxesIn(d, begin, end);
    if (!boxes || path.empty()) return std::nullopt;
    for (const auto& [type, content, boxEnd] : *boxes)
        if (type == path.front()) {
            if (path.size() == 1) return std::pair(content, boxEnd);
            return boxAlong(d, content, boxEnd, {path.begin() + 1, path.end()});
        }
    return std::nullopt;
}

}  // namespace

bool lengthenFirstEdit(const std::filesystem::path& movie, double seconds) {
    std::string d = readFile(movie);
    const auto mvhd = boxAlong(d, 0, d.size(), {"moov", "mvhd"});
    const auto tkhd = boxAlong(d, 0, d.size(), {"moov", "trak", "tkhd"});
    const auto elst = boxAlong(d, 0, d.size(), {"moov", "trak", "edts", "elst"});
    if (!mvhd || !tkhd || !elst || d[mvhd->first] != 0 || d[tkhd->first] != 0 || d[elst->first] != 0) return false;
    // Version 0: the movie's time scale at 12 and duration at 16, the track's duration at 20, the
    // first edit's duration at 8.
    const uint32_t more = uint32_t(std::lround(seconds * be(d, mvhd->first + 12)));
    for (const size_t at : {mvhd->first + 16, tkhd->first + 20, elst->first + 8}) {
        const uint32_t v = be(d, at) + more;
        for (int i = 0; i < 4; ++i) d[at + size_t(i)] = char(v >> (24 - 8 * i));
    }
    writeFile(movie, d);
    return true;
}

bool shortenLastSample(const std::filesystem::path& movie, uint32_t ticks) {
    std::string d = readFile(movie);
    const auto mdat = boxAlong(d, 0, d.size(), {"mdat"});
    const std::vector<std::string> path = {"moov", "trak", "mdia", "minf", "stbl", "stts"};
    const auto stts = boxAlong(d, 0, d.size(), path);
    if (!mdat || !stts || stts->first < mdat->first || be(d, stts->first + 4) != 1) return false;
    const uint32_t count = be(d, stts->first + 8);
    if (count < 2) return false;
    const auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) d[at + size_t(i)] = char(v >> (24 - 8 * i));
    };
    // Every box on the way grows by the new entry; each one's header lies 8 bytes before its content.
    for (size_t depth = 1; depth <= path.size(); ++depth) {
        const auto box = boxAlong(d, 0, d.size(), std::vector<std::string>(path.begin(), path.begin() + long(depth)));
        put(box->first - 8, be(d, box->first - 8) + 8);
    }
    put(stts->first + 4, 2);
    put(stts->first + 8, count - 1);
    std::string entry(8, '\0');
    d.insert(stts->first + 16, entry);
    put(stts->first + 16, 1);
    put(stts->first + 20, ticks);
    writeFile(movie, d);
    return true;
}

std::optional<VideoSampleEntry> videoSampleEntry(const std::filesystem::path& movie) {
    const std::string d = readFile(movie);
    return findVideoEntry(d, 0, d.size(), false);
}

std::optional<std::vector<ChannelLayoutBox>> soundChannelLayouts(const std::filesystem::path& movie) {
    const std::string d = readFile(movie);
    std::vector<ChannelLayoutBox> found;
    if (!walk(d, 0, d.size(), false, false, found)) return std::nullopt;
    return found;
}

}  // namespace qm::test
