#include "editor/model/audio_mix.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>

#include "editor/model/composition_renderer.h"
#include "platform/media/media_asset.h"

namespace qm {

namespace {

struct Choice {
    int track = 0;
    std::optional<ChannelCopy> replacement;
};

// Keeps the LTC channel out: another track when the LTC track is mono, the first track's other
// channel over the LTC channel when the LTC sits in a first track of two or more channels.
std::optional<Choice> chooseTrack(const std::vector<TrackInfo>& audio, const LTCInfo* ltc) {
    if (!ltc || ltc->track < 0 || size_t(ltc->track) >= audio.size()) return Choice{};
    const int lt = int(ltc->track);
    if (audio[size_t(lt)].channels < 2) {
        for (int i = 0; i < int(audio.size()); ++i)
            if (i != lt) return Choice{i, std::nullopt};
        return std::nullopt;
    }
    if (lt != 0) return Choice{};
    const int channel = int(std::clamp<int64_t>(ltc->channel, -1, 64));
    return Choice{0, ChannelCopy{channel, channel == 0 ? 1 : 0}};
}

double secondsOr(const MediaTime& t, double fallback) { return t.isNumeric() ? t.seconds() : fallback; }

// How far a clip may reach past its medium's probed length: the lengths of one file as listed at
// import and as its sound reads (codec priming, a last frame's padding) differ by a frame or two.
constexpr double kClipSlack = 0.1;

// The nearest sample to a time. Sums and differences of frame times carry rounding noise of a
// few ulps; on a 1/1024-sample grid first, a time that lies on a half sample rounds the same way
// however it was reached.
int64_t nearestSample(double seconds) {
    const double samples = seconds * AudioMixReader::kRate;
    if (!(std::abs(samples) < 0x1p42)) return std::isnan(samples) ? 0 : std::llround(std::clamp(samples, -0x1p62, 0x1p62));
    return std::llround(std::round(samples * 1024) / 1024);
}

// The reader's words for sound it can't decode.
const char* const kDamaged = "its sound there can't be decoded";

// The words for a sound that failed to read: the reader's own where it found the loss itself.
std::string soundFailure(const std::exception& e) {
    const auto* media = dynamic_cast<const MediaError*>(&e);
    if (media && media->code() == 0 && media->step() == "read audio") return media->detail();
    return std::string("its sound there can't be read (") + e.what() + ")";
}

}  // namespace

double AudioMixPlan::end() const {
    double e = 0;
    for (const AudioMixClip& c : clips) e = std::max(e, c.start + c.length);
    return e;
}

std::optional<AudioMixPlan> makeAudioMix(const std::vector<Track>& tracks, const std::vector<MediaItem>& media,
                                         const LTCInfos& ltc, bool strict) {
    AudioMixPlan plan;
    std::map<QUuid, std::shared_ptr<MediaAsset>> assets;
    // Strict: where a track's sound breaks off and why, and whether it stops at damage.
    std::map<std::pair<QUuid, int>, std::pair<std::optional<double>, std::string>> breaks;
    std::map<std::pair<QUuid, int>, bool> damagedAtEnd;
    // A clip whose whole sound the file no longer holds: kept, unreadable from its in-point.
    const auto unreadable = [&](const Clip& clip, const MediaItem& item, const std::string& why) {
        AudioMixClip c;
        c.file = item.path.toStdString();
        c.start = clip.start;
        c.streamFrom = clip.sourceIn;
        c.length = c.duration = clip.duration;
        c.unreadableFrom = -std::numeric_limits<double>::infinity();
        c.unreadable = why;
        if (c.length > 0) plan.clips.push_back(std::move(c));
    };
    for (const Track& track : tracks) {
        if (!track.isAudioEnabled) continue;
        for (const Clip& clip : track.clips) {
            auto item = std::find_if(media.begin(), media.end(), [&](const MediaItem& m) { return m.id == clip.mediaID; });
            if (item == media.end() || !item->hasAudio) continue;
            std::shared_ptr<MediaAsset>& asset = assets[item->id];
            if (!asset) {
                try {
                    asset = MediaAsset::open(item->path.toStdString());
                } catch (const std::exception& e) {
                    if (strict) unreadable(clip, *item, std::string("the file can't be opened as sound (") + e.what() + ")");
                    continue;  // tried again for the medium's next clip
                }
            }
            // A kind of file not read at all is named as such, not as one whose sound went away.
            if (const std::optional<ConversionError> unread = unreadMovieContainer(asset->containerName())) {
                if (strict) unreadable(clip, *item, unread->payload());
                continue;
            }
            const std::vector<TrackInfo> audio = asset->tracks(TrackKind::audio);
            if (audio.empty()) {
                if (strict) unreadable(clip, *item, "the file holds no sound any more");
                continue;
            }
            auto entry = ltc.constFind(item->id);
            const std::optional<Choice> choice = chooseTrack(audio, entry == ltc.cend() ? nullptr : &*entry);
            if (!choice) continue;
            const TrackInfo& chosen = audio[size_t(choice->track)];
            const std::vector<TrackInfo> video = asset->tracks(TrackKind::video);
            const double streamStart = secondsOr(chosen.startTime, 0.0);
            // A sound file's time 0 is its first sample heard, as a player decodes it from the start.
            const auto numericOr0 = [](const MediaTime& t) { return t.isNumeric() ? t : MediaTime::zero(); };
            const MediaTime originTime = video.empty() ? numericOr0(chosen.startTime) + numericOr0(chosen.priming)
                                                       : numericOr0(video.front().startTime);
            const double origin = originTime.seconds();
            const double streamEnd = chosen.duration.isNumeric() ? streamStart + chosen.duration.seconds()
                                                                 : secondsOr(asset->duration(), 0.0);
            const double available = streamEnd - origin - clip.sourceIn;
            // A clip that runs past the end of a medium now shorter than the project recorded it
            // needs what the file no longer holds (cut, or emptied by a copy that stopped): the
            // sound past its end is gone even where nothing in the file shows the cut (MP3 without
            // a Xing header, MPEG-TS, both cut between two packets). Past a length that never
            // changed it is silence. A medium is as long as the probe lists it, its pictures or its
            // sound without them: sound ending before its pictures is silence there.
            const MediaTime& listed = (video.empty() ? audio : video).front().duration;
            const double mediumEnd = listed.isNumeric() && listed > MediaTime::zero() ? listed.seconds() : secondsOr(asset->duration(), 0.0);
            const bool mediumShrank =
                item->recordedLength() > mediumEnd + kClipSlack && clip.sourceIn + clip.duration > mediumEnd + kClipSlack;
            // Sound past the probed end may be where a cut file breaks off: an estimated length
            // ends about there, and the file's last packet is not whole.
            // The words for it: a file whose bytes go on past where its sound stops is damaged there.
            std::optional<double> breaksAt;
            std::string why = "the file ends before this sound";
            const auto key = std::pair(item->id, choice->track);
            const MediaTime end = MediaTime::fromSeconds(streamEnd, 48000);
            if (strict && mediumShrank && !(available >= clip.duration)) {
                breaksAt = streamEnd;
                if (!damagedAtEnd.contains(key)) {
                    try {
                        damagedAtEnd[key] = AudioSampleReader::stopsAtDamage(item->path.toStdString(), choice->track, end);
                    } catch (const std::exception&) {
                        damagedAtEnd[key] = false;
                    }
                }
                if (damagedAtEnd[key]) why = kDamaged;
            } else if (strict && !(available >= clip.duration)) {
                if (!breaks.contains(key)) {
                    std::string words = why;
                    try {
                        const std::optional<MediaTime> at = AudioSampleReader::breaksOff(item->path.toStdString(), choice->track, end, &words);
                        breaks[key] = {at ? std::optional(at->seconds()) : std::nullopt, words};
                    } catch (const std::exception&) {
                        breaks[key] = {streamStart, words};
                    }
                }
                breaksAt = breaks[key].first;
                why = breaks[key].second;
            }
            if (!(available > 0) && !breaksAt) continue;
            AudioMixClip c;
            c.file = item->path.toStdString();
            c.audioTrack = choice->track;
            c.replacement = choice->replacement;
            c.start = clip.start;
            c.streamFrom = clip.sourceIn + origin;
            c.origin = origin;
            c.originSample = originTime.convertScale(AudioMixReader::kRate).value;
            c.length = breaksAt ? clip.duration : std::min(clip.duration, available);
            if (breaksAt) {
                c.unreadableFrom = *breaksAt;
                c.unreadable = why;
            }
            c.duration = clip.duration;
            c.volume = clip.volume;
            c.fadeIn = clip.fadeIn;
            c.fadeOut = clip.fadeOut;
            if (c.length > 0) plan.clips.push_back(std::move(c));
        }
    }
    if (plan.clips.empty()) return std::nullopt;
    return plan;
}

// One clip's sound, read forward as 48 kHz stereo with its stream position.
struct AudioMixReader::Source {
    const AudioMixClip& clip;
    int64_t begin = 0, end = 0;  // timeline samples the clip sounds in
    int64_t streamFrom = 0;      // stream sample at `begin`
    std::unique_ptr<AudioSampleReader> reader;
    bool opened = false, ended = false;
    std::vector<float> pending;  // stereo frames from stream sample pendingStart on
    int64_t pendingStart = 0;
    std::optional<MediaReadError> failure;  // the file could not be read on from there
    int64_t unreadableFrom = INT64_MAX;     // stream sample from which the plan knows it can't be

    // Timeline sample n plays the stream at n / rate − start + streamFrom seconds, to the nearest
    // sample: the clip's ends and that offset are each rounded once from the clip's own times, so
    // two clips cut from one source meet with no sample twice and none left out. The medium's
    // time 0 is rounded apart, as the reader places it, so a clip from in-point 0 at a whole
    // sample sounds the file's first sample at its start.
    explicit Source(const AudioMixClip& c)
        : clip(c),
          begin(nearestSample(c.start)),
          end(nearestSample(c.start + c.length)),
          streamFrom(begin + nearestSample(c.streamFrom - c.origin - c.start) + c.originSample) {
        if (c.unreadableFrom) unreadableFrom = nearestSample(*c.unreadableFrom);
    }

    // Adds samples [from, from + count) of the timeline, within the clip, into `mix`; a strict
    // mix reads the file strictly.
    void mixInto(float* mix, int64_t from, int64_t count, bool strict) {
        const int64_t a = std::max(from, begin);
        int64_t b = std::min(from + count, end);
        if (a >= b) return;
        const int64_t s0 = streamFrom + (a - begin);
        if (s0 + (b - a) > unreadableFrom) {
            if (!failure) record(clip.unreadable, std::max(unreadableFrom, s0));
            b = a + std::max<int64_t>(unreadableFrom - s0, 0);
            if (a >= b) return;
        }
        if (!opened) {
            opened = true;
            pendingStart = s0;
            try {
                reader = AudioSampleReader::openTrack(clip.file, clip.audioTrack, {kRate, 2, AudioSampleFormat::float32},
                                                      clip.replacement, MediaTime::make(s0, kRate));
                if (!reader) fail("the file no longer holds this sound track", s0);
                if (reader) reader->setStrict(strict);
            } catch (const std::exception& e) {
                fail(soundFailure(e), s0);
            }
        }
        fill(s0 + (b - a), s0);
        for (int64_t n = a; n < b; ++n) {
            const int64_t s = s0 + (n - a);
            if (s < pendingStart || s >= pendingStart + int64_t(pending.size() / 2)) continue;
            const double t = double(n) / kRate;
            const auto g = float(clip.volume * fadeFactor(t, clip.start, clip.duration, clip.fadeIn, clip.fadeOut));
            const float* p = pending.data() + 2 * (s - pendingStart);
            mix[2 * (n - from)] += p[0] * g;
            mix[2 * (n - from) + 1] += p[1] * g;
        }
        // Everything before the next request's first sample is done with.
        drop(s0 + (b - a));
    }

    // Reads on to `upTo`; a failure is placed no earlier than `needed`, the first sample wanted.
    void fill(int64_t upTo, int64_t needed) {
        while (!ended && pendingStart + int64_t(pending.size() / 2) < upTo) {
            std::optional<AudioSampleBuffer> buffer;
            try {
                buffer = reader->next();
            } catch (const std::exception& e) {
                fail(soundFailure(e), needed);
                break;
            }
            if (!buffer) {
                ended = true;
                break;
            }
            const auto* f = reinterpret_cast<const float*>(buffer->planes[0].data());
            const int64_t at = buffer->time.convertScale(kRate).value;
            if (pending.empty() && at + buffer->frameCount <= needed) continue;  // sound before the clip's: none kept
            if (pending.empty()) pendingStart = at;
            pending.insert(pending.end(), f, f + 2 * size_t(buffer->frameCount));
        }
    }

    void fail(const std::string& reason, int64_t needed) {
        record(reason, std::max(pendingStart + int64_t(pending.size() / 2), needed));
        reader.reset();
        ended = true;
    }

    void record(const std::string& reason, int64_t at) {
        failure.emplace(QUuid(), QString::fromStdString(clip.file.filename().string()), double(at) / kRate - clip.origin, reason);
    }

    void drop(int64_t before) {
        const int64_t n = std::clamp<int64_t>(before - pendingStart, 0, int64_t(pending.size() / 2));
        if (n <= 0) return;
        pending.erase(pending.begin(), pending.begin() + 2 * n);
        pendingStart += n;
    }
};

AudioMixReader::AudioMixReader(AudioMixPlan plan, double from, double to)
    : plan_(std::move(plan)),
      position_(nearestSample(std::max(from, 0.0))),
      end_(nearestSample(std::max(to, 0.0))) {
    for (const AudioMixClip& c : plan_.clips) sources_.push_back(std::make_unique<Source>(c));
}

AudioMixReader::~AudioMixReader() = default;

std::optional<AudioSampleBuffer> AudioMixReader::next() {
    if (position_ >= end_) return std::nullopt;
    const int64_t count = std::min<int64_t>(4096, end_ - position_);
    AudioSampleBuffer out;
    out.format = {kRate, 2, AudioSampleFormat::float32};
    out.time = MediaTime::make(position_, kRate);
    out.frameCount = int(count);
    out.planes.assign(1, std::vector<uint8_t>(size_t(count) * 2 * sizeof(float), 0));
    auto* mix = reinterpret_cast<float*>(out.planes[0].data());
    for (auto& source : sources_) {
        source->mixInto(mix, position_, count, strict_);
        if (strict_ && source->failure) throw *source->failure;
    }
    position_ += count;
    return out;
}

}  // namespace qm
