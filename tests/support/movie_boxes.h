#pragma once
// Reading a QuickTime movie's boxes directly, independent of the code under test: the channel
// layout boxes of its sound sample descriptions; and lengthening its edit.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {

struct ChannelLayoutBox {
    uint32_t versionAndFlags = 0;
    uint32_t layoutTag = 0;
    uint32_t bitmap = 0;
    uint32_t descriptions = 0;
    uint32_t size = 0;  // of the whole box
};

// The first video sample description: its type ('hvc1', 'ap4h' …), the depth it states and the
// content of its 'hvcC' box ("" when it has none).
struct VideoSampleEntry {
    std::string type;
    int depth = 0;
    std::string hvcC;
};
std::optional<VideoSampleEntry> videoSampleEntry(const std::filesystem::path& movie);

// The 'chan' boxes of every sound sample description, in file order; nothing when some box on
// the way (top level, moov, trak, mdia, minf, stbl, stsd, the sample entries) does not exactly
// fill its parent.
std::optional<std::vector<ChannelLayoutBox>> soundChannelLayouts(const std::filesystem::path& movie);

// Lengthens the movie's only track, in place, by `seconds` (in the movie's time scale): its first
// edit, its track header and the movie header, so that the edit runs past the last sample, as
// trimming tools may leave it. False when one of those boxes is missing or not of version 0.
bool lengthenFirstEdit(const std::filesystem::path& movie, double seconds);

// Stores the last sample of the movie's only track `ticks` long (in the track's time scale), as
// some trimming tools leave it: its time-to-sample table, of one entry, gets a second. The movie's
// header must follow its samples. False when the table is not of one entry or the header precedes them.
bool shortenLastSample(const std::filesystem::path& movie, uint32_t ticks);

}  // namespace qm::test
