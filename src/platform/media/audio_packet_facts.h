#pragma once
// What a sound codec's packets say of themselves: how many samples each holds, read from its own
// headers where the container's durations are rounded to its clock, and how much sound before a
// wanted time a decoder started cold needs.

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qm::reading {

// An Opus packet's samples at 48 kHz, from its table of contents; 0 when it says none.
int64_t opusSamples(const uint8_t* data, int size);
// A FLAC frame's samples, from its header's block size; 0 when the header names none.
int64_t flacSamples(const uint8_t* data, int size);
// An E-AC-3 packet's samples, from the headers of the frames it holds; 0 when one can't be read.
int64_t eac3Samples(const uint8_t* data, int size);
// A DTS packet's samples, from its core frame's header; 0 when it has no such header.
int64_t dtsSamples(const uint8_t* data, int size);

// A packet's samples at `rate`, read from the packet where its codec tells them: PCM's bytes, a
// fixed frame's length, Opus's table of contents, FLAC's, E-AC-3's and DTS's frame headers; else
// its duration (in `timeBase`). Less the samples it says the decoder drops at its end.
int64_t packetSamples(AVCodecParameters* par, const AVPacket& p, int rate, AVRational timeBase);

// How much sound (seconds) before the wanted time a decoder started cold needs to give true sound
// there. `bitRate` is the stream's, 0 to allow for the lowest.
double preroll(const AVCodecParameters* par, int64_t bitRate);

}  // namespace qm::reading
