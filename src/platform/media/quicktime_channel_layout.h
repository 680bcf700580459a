#pragma once
// The channel layout of a QuickTime movie's sound lives in a 'chan' box inside its sound sample
// description. libavformat writes none for channels in unspecified order, so a movie with more
// than two channels would leave players guessing speaker positions; the box is added to the
// closed file instead, before it is published.

#include <cstdint>
#include <filesystem>

namespace qm {

// Core Audio's layout tag for `channels` channels in order, without speaker positions.
constexpr uint32_t discreteInOrderLayoutTag(int channels) {
    return (147u << 16) | (static_cast<uint32_t>(channels) & 0xFFFFu);
}

// Adds a 'chan' box (version 0, discreteInOrderLayoutTag(channels), no bitmap, no channel
// descriptions) at the end of the sound sample entry of `channels` channels in the closed movie
// at `movie`, and raises the sizes of every box around it. The movie's 'moov' box must be its
// last box, so that no chunk offset moves. An entry that has a layout already is left alone.
//
// Returns 0, or an errno value: EINVAL when the boxes are truncated or malformed or no sound
// track has that channel count, ENOTSUP when 'moov' is not the last box, or the error of a
// failed read or write. Every refusal and a full disk leave the file as it was; only a write
// failing after the file grew (nothing but a device error) can leave it damaged.
// The same on a movie open for reading and writing; the descriptor stays open.
int addDiscreteChannelLayout(int fd, int channels);
// The same on the movie at `movie`, opened without following a link (ELOOP for one).
int addDiscreteChannelLayout(const std::filesystem::path& movie, int channels);

}  // namespace qm
