#include "platform/media/quicktime_channel_layout.h"

#include <array>
#include <cerrno>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/four_cc.h"

namespace qm {

namespace {

constexpr size_t kChanBoxSize = 24;

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
void putBe64(uint8_t* p, uint64_t v) {
    putBe32(p, static_cast<uint32_t>(v >> 32));
    putBe32(p + 4, static_cast<uint32_t>(v));
}

struct Box {
    size_t at = 0;
    size_t header = 8;  // 16 with a 64-bit size
    uint64_t size = 0;
    uint32_t type = 0;
    size_t content() const { return at + header; }
    size_t end() const { return at + static_cast<size_t>(size); }
};

// The boxes that exactly tile data[begin, end); nothing when they do not (a box running past its
// parent, a size too small for its own header, or a size of 0 inside another box).
std::optional<std::vector<Box>> children(const std::vector<uint8_t>& data, size_t begin, size_t end) {
    std::vector<Box> boxes{};
    size_t at = begin;
    while (at < end) {
        if (end - at < 8) return std::nullopt;
        Box box;
        box.at = at;
        box.type = be32(&data[at + 4]);
        box.size = be32(&data[at]);
        if (box.size == 1) {
            if (end - at < 16) return std::nullopt;
            box.header = 16;
            box.size = be64(&data[at + 8]);
        }
        if (box.size < box.header || box.size > end - at) return std::nullopt;
        boxes.push_back(box);
        at += static_cast<size_t>(box.size);
    }
    return boxes;
}

std::optional<Box> only(const std::vector<uint8_t>& data, const Box& parent, uint32_t type) {
    const auto boxes = children(data, parent.content(), parent.end());
    if (!boxes) return std::nullopt;
    std::optional<Box> found;
    for (const Box& b : *boxes) {
        if (b.type != type) continue;
        if (found) return std::nullopt;
        found = b;
    }
    return found;
}

int readAll(int fd, uint8_t* to, size_t count, off_t at) {
    while (count > 0) {
        const ssize_t n = ::pread(fd, to, count, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EINVAL;  // shorter than its boxes say
        to += n;
        count -= static_cast<size_t>(n);
        at += n;
    }
    return 0;
}

int writeAll(int fd, const uint8_t* from, size_t count, off_t at) {
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, from, count, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        from += n;
        count -= static_cast<size_t>(n);
        at += n;
    }
    return 0;
}

// The top-level 'moov' box of the file: its offset, header size and size.
struct TopLevel {
    int error = 0;
    off_t at = 0;
    size_t header = 8;
    uint64_t size = 0;
    bool sizeToEnd = false;  // a size field of 0: the box runs to the end of the file
};

TopLevel findMovieBox(int fd, uint64_t fileSize) {
    TopLevel moov;
    bool found = false;
    uint64_t at = 0;
    while (at < fileSize) {
        if (fileSize - at < 8) return {.error = EINVAL};
        std::array<uint8_t, 16> head{};
        const size_t want = fileSize - at >= 16 ? 16 : 8;
        if (const int e = readAll(fd, head.data(), want, static_cast<off_t>(at))) return {.error = e};
        size_t header = 8;
        uint64_t size = be32(head.data());
        bool toEnd = false;
        if (size == 1) {
            if (want < 16) return {.error = EINVAL};
            header = 16;
            size = be64(head.data() + 8);
        } else if (size == 0) {
            size = fileSize - at;
            toEnd = true;
        }
        if (size < header || size > fileSize - at) return {.error = EINVAL};
        if (be32(head.data() + 4) == fourCC('m', 'o', 'o', 'v')) {
            if (found) return {.error = EINVAL};
            found = true;
            moov = {0, static_cast<off_t>(at), header, size, toEnd};
        }
        at += size;
    }
    if (!found) return {.error = EINVAL};
    // Boxes after it would hold chunk offsets' targets or other data that would have to move.
    if (static_cast<uint64_t>(moov.at) + moov.size != fileSize) return {.error = ENOTSUP};
    return moov;
}

// Where the sound sample description's own fields end (after the box header), by its version;
// 0 for a version we do not know.
size_t soundFieldsSize(uint32_t version) {
    switch (version) {
    case 0: return 28;
    case 1: return 44;
    case 2: return 64;
    default: return 0;
    }
}

// The boxes from 'moov' down to the sound sample entry of `channels` channels, outermost first.
// `hasLayout` tells whether that entry carries a 'chan' box already.
struct SoundEntryPath {
    int error = 0;
    std::vector<Box> boxes{};
    bool hasLayout = false;
};

SoundEntryPath findSoundEntry(const std::vector<uint8_t>& moov, const Box& root, int channels) {
    const auto traks = children(moov, root.content(), root.end());
    if (!traks) return {.error = EINVAL};
    for (const Box& trak : *traks) {
        if (trak.type != fourCC('t', 'r', 'a', 'k')) continue;
        const auto mdia = only(moov, trak, fourCC('m', 'd', 'i', 'a'));
        if (!mdia) return {.error = EINVAL};
        const auto hdlr = only(moov, *mdia, fourCC('h', 'd', 'l', 'r'));
        if (!hdlr || hdlr->end() - hdlr->content() < 12) return {.error = EINVAL};
        if (be32(&moov[hdlr->content() + 8]) != fourCC('s', 'o', 'u', 'n')) continue;
        const auto minf = only(moov, *mdia, fourCC('m', 'i', 'n', 'f'));
        const auto stbl = minf ? only(moov, *minf, fourCC('s', 't', 'b', 'l')) : std::nullopt;
        const auto stsd = stbl ? only(moov, *stbl, fourCC('s', 't', 's', 'd')) : std::nullopt;
        if (!stsd || stsd->end() - stsd->content() < 8) return {.error = EINVAL};
        const auto entries = children(moov, stsd->content() + 8, stsd->end());
        if (!entries || entries->size() != be32(&moov[stsd->content() + 4])) return {.error = EINVAL};
        for (const Box& entry : *entries) {
            const size_t c = entry.content();
            if (entry.end() - c < 10) return {.error = EINVAL};
            const size_t fields = soundFieldsSize(be16(&moov[c + 8]));
            if (fields == 0 || entry.end() - c < fields) return {.error = EINVAL};
            const uint32_t count = fields == 64 ? be32(&moov[c + 40]) : be16(&moov[c + 16]);
            if (count != static_cast<uint32_t>(channels)) continue;
            const auto extensions = children(moov, c + fields, entry.end());
            if (!extensions) return {.error = EINVAL};
            SoundEntryPath path;
            path.boxes = {root, trak, *mdia, *minf, *stbl, *stsd, entry};
            for (const Box& b : *extensions) path.hasLayout = path.hasLayout || b.type == fourCC('c', 'h', 'a', 'n');
            return path;
        }
    }
    return {.error = EINVAL};
}

int addLayout(int fd, int channels) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    const TopLevel top = findMovieBox(fd, fileSize);
    if (top.error != 0) return top.error;
    if (top.size > std::numeric_limits<size_t>::max() - kChanBoxSize) return EFBIG;

    std::vector<uint8_t> moov;
    try {
        moov.resize(static_cast<size_t>(top.size));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    if (const int e = readAll(fd, moov.data(), moov.size(), top.at)) return e;
    const Box root{0, top.header, top.size, fourCC('m', 'o', 'o', 'v')};
    SoundEntryPath path = findSoundEntry(moov, root, channels);
    if (path.error != 0) return path.error;
    if (path.hasLayout) return 0;

    // Every enclosing box starts before the insertion point, so its size field stays where it is.
    for (const Box& box : path.boxes) {
        if (box.header == 16) {
            putBe64(&moov[box.at + 8], box.size + kChanBoxSize);
        } else if (box.at == 0 && top.sizeToEnd) {
            continue;
        } else {
            if (box.size + kChanBoxSize > std::numeric_limits<uint32_t>::max()) return EFBIG;
            putBe32(&moov[box.at], static_cast<uint32_t>(box.size + kChanBoxSize));
        }
    }
    std::array<uint8_t, kChanBoxSize> chan{};
    putBe32(&chan[0], kChanBoxSize);
    putBe32(&chan[4], fourCC('c', 'h', 'a', 'n'));
    // version and flags 0 (chan[8..11])
    putBe32(&chan[12], discreteInOrderLayoutTag(channels));
    // channel bitmap 0 (chan[16..19]), no channel descriptions (chan[20..23])
    const size_t insertAt = path.boxes.back().end();
    try {
        moov.insert(moov.begin() + static_cast<std::ptrdiff_t>(insertAt), chan.begin(), chan.end());
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }

    // Growing the file is what a full disk refuses; done first, so a refusal changes nothing.
    const size_t head = moov.size() - kChanBoxSize;
    if (const int e = writeAll(fd, moov.data() + head, kChanBoxSize, static_cast<off_t>(fileSize))) {
        // Back to the old length, should part of it have landed.
        const int truncated = ::ftruncate(fd, static_cast<off_t>(fileSize));
        static_cast<void>(truncated);
        return e;
    }
    return writeAll(fd, moov.data(), head, top.at);
}

}  // namespace

int addDiscreteChannelLayout(int fd, int channels) {
    if (channels < 1 || channels > 0xFFFF) return EINVAL;
    return addLayout(fd, channels);
}

int addDiscreteChannelLayout(const std::filesystem::path& movie, int channels) {
    if (channels < 1 || channels > 0xFFFF) return EINVAL;
    const int fd = ::open(movie.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = addLayout(fd, channels);
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace qm
