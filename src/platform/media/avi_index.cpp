#include "platform/media/container_samples.h"

#include <cstdio>
#include <memory>

#include "platform/media/reader_internal.h"

namespace qm::reading {

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

}  // namespace qm::reading
