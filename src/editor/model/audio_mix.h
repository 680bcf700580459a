#pragma once
// The sound of the timeline: which part of which audio track every clip plays where, and a
// reader that mixes them into 48 kHz stereo float from any time on. LTC channels stay out of the
// sound: another track of the file is taken, or the LTC channel of a first track overwritten by
// another channel of it.

#include <QHash>
#include <QUuid>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "editor/model/project.h"
#include "editor/sync/timecode.h"
#include "engine/transcoder.h"

namespace qm {

using LTCInfos = QHash<QUuid, LTCInfo>;

// The largest volume a clip may have: the mix adds the clips at their volumes in single precision
// and sound decoded from an integer format stays within ±1, so even hundreds of millions of clips
// at this volume sum to finite samples.
inline constexpr double kLargestClipVolume = 1e30;

struct AudioMixClip {
    std::filesystem::path file;
    int audioTrack = 0;                    // among the file's audio tracks
    std::optional<ChannelCopy> replacement;
    double start = 0;       // timeline seconds
    double streamFrom = 0;  // seconds on the stream's own time line where the clip's sound starts
    double length = 0;      // seconds of sound, cut at the stream's end
    double duration = 0;    // the clip's length (its fade-out ends there)
    double volume = 1;
    double fadeIn = 0;
    double fadeOut = 0;
    double origin = 0;      // seconds on the stream's time line at the medium's time 0
    int64_t originSample = 0;  // the same in 48 kHz samples, rounded from the exact time as the reader rounds
    // Where on the stream's time line (seconds; −∞: nowhere) the file's sound stops being readable,
    // and why: the clip is silent from there, and a strict mix stops there.
    std::optional<double> unreadableFrom;
    std::string unreadable;
    bool operator==(const AudioMixClip&) const = default;
};

struct AudioMixPlan {
    std::vector<AudioMixClip> clips;  // in visiting order: tracks, then their clips, in array order
    bool operator==(const AudioMixPlan&) const = default;
    double end() const;  // where the last sound ends, timeline seconds
};

// The clips of audio-enabled tracks whose media have sound, or nothing when none has. A clip is
// left out when its file cannot be read, has no usable track, or its sound ends before sourceIn.
// Media time 0 is the start of the file's video track, or of the audio stream without one.
// A strict plan (an export's) keeps the clips whose sound the file no longer holds, marked
// unreadable: those of a file that does not open or has no sound track, and those that run past
// the end of a sound that breaks off there (the file's end is read for them).
std::optional<AudioMixPlan> makeAudioMix(const std::vector<Track>& tracks, const std::vector<MediaItem>& media,
                                         const LTCInfos& ltc, bool strict = false);

// The mix of [from, to) timeline seconds as 48 kHz stereo float32 interleaved, in runs of at most
// 4096 frames; each clip at volume × fade ramps, summed without normalising. Files open when the
// mix reaches them. A file that fails to read is silent from there on; a strict mix (an export's)
// stops there instead, with a MediaReadError naming it and the time in it: sound that is cut
// short or cannot be decoded where a clip needs it is read strictly (AudioSampleReader::setStrict).
class AudioMixReader : public AudioBufferSource {
public:
    static constexpr int kRate = 48000;
    AudioMixReader(AudioMixPlan plan, double from, double to);
    ~AudioMixReader() override;
    AudioMixReader(const AudioMixReader&) = delete;
    AudioMixReader& operator=(const AudioMixReader&) = delete;

    std::optional<AudioSampleBuffer> next() override;
    void setStrict(bool on) { strict_ = on; }

private:
    struct Source;
    AudioMixPlan plan_;
    std::vector<std::unique_ptr<Source>> sources_;
    int64_t position_ = 0;
    int64_t end_ = 0;
    bool strict_ = false;
};

}  // namespace qm
