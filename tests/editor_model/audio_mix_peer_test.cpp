// The timeline's sound against ffmpeg's own filters (atrim, aresample, pan, volume, afade with
// the linear curve, adelay, amix without normalising) on generated tones, sample by sample, and
// the choice of track and channel where a file carries LTC.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "engine/transcoder.h"
#include "editor_model/timeline_fixtures.h"
#include "platform/media/asset_reader.h"
#include "support/damaged_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Medium;

// ffmpeg's stereo float at 48 kHz of the graph over the files, `seconds` long.
std::vector<float> reference(const test::TempDir& dir, const std::vector<std::filesystem::path>& files, const std::string& graph,
                             double seconds) {
    std::vector<std::string> args;
    for (const auto& f : files) args.insert(args.end(), {"-i", f.string()});
    const auto out = dir / "ref.raw";
    args.insert(args.end(), {"-filter_complex", graph + ",apad,atrim=duration=" + std::to_string(seconds), "-f", "f32le", "-ac", "2",
                             "-ar", "48000", out.string()});
    test::ffmpeg(args);
    const std::string bytes = test::readFile(out);
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

double snr(const std::vector<float>& ours, const std::vector<float>& ref) {
    EXPECT_EQ(ours.size(), ref.size());
    return test::snr(ours, ref);
}

Medium tone(const test::TempDir& dir, const std::string& name, const std::string& expr, int rate, double seconds,
            const std::string& codec = "pcm_s16le") {
    return test::makeMedium(dir / name, {"-f", "lavfi", "-i", "aevalsrc=" + expr + ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds),
                                         "-c:a", codec});
}

Clip audioClip(const Medium& m, double start, double sourceIn, double duration) {
    Clip c = test::clipOf(m, start, duration, 16, 16);
    c.sourceIn = sourceIn;
    return c;
}

TEST(AudioMixPeer, VolumesFadesAndPlacesAgainstFfmpeg) {
    test::TempDir dir;
    const Medium a = tone(dir, "a.wav", "0.5*sin(2*PI*437*t)|0.3*sin(2*PI*661*t+1)", 48000, 3);
    Clip ca = audioClip(a, 0.5, 0.25, 2);
    ca.volume = 0.8;
    ca.fadeIn = 0.3;
    ca.fadeOut = 0.4;
    // Fades longer together than the clip: the two ramps multiply.
    Clip cb = audioClip(a, 1.25, 1, 1);
    cb.volume = 0.6;
    cb.fadeIn = 0.8;
    cb.fadeOut = 0.7;
    Project p = test::projectOf(16, 16, 25, {a}, {ca, cb});
    const std::string graph =
        "[0]asplit[x][y];"
        "[x]atrim=start=0.25:duration=2,asetpts=PTS-STARTPTS,volume=0.8,afade=t=in:d=0.3:curve=tri,"
        "afade=t=out:st=1.6:d=0.4:curve=tri,adelay=500|500[p];"
        "[y]atrim=start=1:duration=1,asetpts=PTS-STARTPTS,volume=0.6,afade=t=in:d=0.8:curve=tri,"
        "afade=t=out:st=0.3:d=0.7:curve=tri,adelay=1250|1250[q];"
        "[p][q]amix=inputs=2:normalize=0:duration=longest";
    EXPECT_GE(snr(test::mixOf(p), reference(dir, {a.path}, graph, p.duration())), 60);

    // A resampled mono file plays at unity on both sides; its clip is cut where its sound ends.
    const Medium b = tone(dir, "b.wav", "0.4*sin(2*PI*311*t)", 44100, 2);
    Clip cm = audioClip(b, 0.2, 0.5, 5);
    cm.volume = 0.5;
    p = test::projectOf(16, 16, 25, {b}, {cm});
    const auto plan = makeAudioMix(p.tracks, p.media, {});
    ASSERT_TRUE(plan);
    EXPECT_NEAR(plan->clips[0].length, 1.5, 1e-3);
    const std::string mono = "[0]atrim=start=0.5,asetpts=PTS-STARTPTS,aresample=48000,pan=stereo|c0=c0|c1=c0,volume=0.5,adelay=200|200";
    EXPECT_GE(snr(test::mixOf(p), reference(dir, {b.path}, mono, p.duration())), 40);
}

// A clip's sound starts with its first sample, from the source's beginning and at a cut between
// two clips of one source, whatever the codec's priming and overlap or the resampling need.
TEST(AudioMixPeer, ClipsSoundFromTheirFirstSample) {
    test::TempDir dir;
    const struct { const char* file; const char* codec; int rate; } cases[] = {
        {"aac48.m4a", "aac", 48000}, {"aac44.m4a", "aac", 44100}, {"pcm44.wav", "pcm_s16le", 44100}};
    constexpr double cut = 1.234, end = 2.5;  // within codec frames at both rates
    constexpr size_t window = 2400;            // 50 ms
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Medium m = tone(dir, c.file, "0.5*sin(2*PI*440*t)", c.rate, 3, c.codec);
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, cut), audioClip(m, cut, cut, end - cut)});
        const std::vector<float> ours = test::mixOf(p);
        const std::vector<float> ref = reference(dir, {m.path}, "[0]aresample=48000,pan=stereo|c0=c0|c1=c0", end);
        ASSERT_EQ(ours.size(), ref.size());
        auto windowAt = [&](const std::vector<float>& v, size_t from) {
            return std::vector<float>(v.begin() + std::ptrdiff_t(2 * from), v.begin() + std::ptrdiff_t(2 * (from + window)));
        };
        const size_t cutSample = size_t(std::llround(cut * 48000));
        EXPECT_GE(test::snr(windowAt(ours, 0), windowAt(ref, 0)), 40) << "the clip's start";
        EXPECT_GE(test::snr(windowAt(ours, cutSample - window / 2), windowAt(ref, cutSample - window / 2)), 40) << "the cut";
        EXPECT_GE(test::snr(ours, ref), 40);
    }
}

// A rising tone whose phase never repeats, so that a misplaced sample shows.
const std::string kChirp = "0.4*sin(2*PI*(60*t+150*t*t))|0.4*sin(2*PI*(700*t-60*t*t))";

Medium chirp(const test::TempDir& dir, const std::string& name, int rate, const std::vector<std::string>& codec) {
    std::vector<std::string> args{"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=" + std::to_string(rate) + ":d=3"};
    args.insert(args.end(), codec.begin(), codec.end());
    return test::makeMedium(dir / name, args);
}

// The 50 ms from `offset` on of the mix, as stereo floats.
std::vector<float> window(const std::vector<float>& v, double offset) {
    const auto from = std::ptrdiff_t(2 * std::llround(offset * 48000));
    return std::vector<float>(v.begin() + from, v.begin() + from + 2 * 2400);
}

// Raw MP3 and ADTS streams store no times of their own; each clip sounds from its in-point, as
// ffmpeg decodes the file from its start.
TEST(AudioMixPeer, StreamsWithoutTimesSoundFromTheirInPoints) {
    test::TempDir dir;
    const struct { const char* file; int rate; std::vector<std::string> codec; double minSnr; } cases[] = {
        {"cbr.mp3", 48000, {"-c:a", "libmp3lame", "-b:a", "128k"}, 80},
        {"bare.mp3", 48000, {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0"}, 80},
        {"vbr.mp3", 44100, {"-c:a", "libmp3lame", "-q:a", "2"}, 80},  // resampled as ffmpeg resamples
        {"low.mp3", 32000, {"-c:a", "libmp3lame", "-b:a", "48k"}, 80},
        {"adts.aac", 48000, {"-c:a", "aac"}, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Medium m = chirp(dir, c.file, c.rate, c.codec);
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 0.5), audioClip(m, 0.5, 1.234, 1)});
        const std::vector<float> ours = test::mixOf(p);
        const std::vector<float> ref = reference(dir, {m.path}, "[0]aresample=48000", 3);
        EXPECT_GE(test::snr(window(ours, 0), window(ref, 0)), c.minSnr) << "from the start";
        EXPECT_GE(test::snr(window(ours, 0.5), window(ref, 1.234)), c.minSnr) << "from an in-point";
        EXPECT_GE(test::snr(window(ours, 1.2), window(ref, 1.934)), c.minSnr) << "further on";
    }
}

// LAME states its encoder's delay; ffmpeg's decode starts after it, between two output samples.
// A clip from in-point 0, wherever it starts on the timeline, and a split sound as that decode.
TEST(AudioMixPeer, LameMp3SoundsAsFfmpegResamplesIt) {
    test::TempDir dir;
    for (const int rate : {44100, 22050, 32000}) {
        SCOPED_TRACE(rate);
        const Medium m = chirp(dir, "lame" + std::to_string(rate) + ".mp3", rate, {"-c:a", "libmp3lame", "-b:a", "128k"});
        const std::vector<float> ref = reference(dir, {m.path}, "[0]anull", 3);
        EXPECT_GE(test::snr(test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 0.7), audioClip(m, 0.7, 0.7, 1.3)})), ref), 100);
        const std::vector<float> later = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 0, 1)}));
        EXPECT_GE(test::snr(std::vector<float>(later.begin() + 2 * 24000, later.end()), ref), 100) << "placed at 0.5 s";
    }
}

// At 8 and 11.025 kHz an MP3 frame of 576 samples lasts 72 or 52 ms, and a frame takes its data
// from frames before it: a clip split there sounds as the whole clip, in every container.
TEST(AudioMixPeer, LowRateMp3SplitsAsTheWholeClip) {
    test::TempDir dir;
    for (const int rate : {8000, 11025})
        for (const char* container : {"mp3", "mkv", "avi"}) {
            const std::string name = "low" + std::to_string(rate) + "." + container;
            SCOPED_TRACE(name);
            const Medium m = test::makeMedium(dir / name, {"-f", "lavfi", "-i", "aevalsrc=0.4*sin(2*PI*(60*t+150*t*t)):s=" +
                                                           std::to_string(rate) + ":d=5", "-c:a", "libmp3lame"});
            const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 4.5)}));
            const std::vector<float> split =
                test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 3.04), audioClip(m, 3.04, 3.04, 1.46)}));
            ASSERT_EQ(split.size(), whole.size());
            float worst = 0;
            for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(split[i] - whole[i]));
            EXPECT_LE(worst, 1e-4);  // a decoder's rounding after a seek
        }
}

// An MPEG-TS packs several sound frames into a PES packet and states no length: its sound is
// listed and mixed to the end of ffmpeg's decode, a movie's (its time 0 its pictures') too.
TEST(AudioMixPeer, MpegTsSoundsToItsLastPacket) {
    test::TempDir dir;
    const std::vector<std::string> codecs[] = {
        {"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=8", "-c:v", "libx264", "-c:a", "aac", "-t", "7.32"},
        {"-c:a", "mp2", "-b:a", "64k", "-t", "5.5"},
        {"-c:a", "aac", "-b:a", "96k", "-t", "5.5"}};
    for (const auto& codec : codecs) {
        SCOPED_TRACE(codec[1]);
        std::vector<std::string> args{"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=8"};
        args.insert(args.end(), codec.begin(), codec.end());
        const Medium m = test::makeMedium(dir / (codec[1] + ".ts"), args);
        test::ffmpeg({"-i", m.path.string(), "-map", "0:a", "-f", "f32le", "-ac", "2", (dir / "decoded.raw").string()});
        const std::string bytes = test::readFile(dir / "decoded.raw");
        std::vector<float> ref(bytes.size() / 4);
        std::memcpy(ref.data(), bytes.data(), ref.size() * 4);
        const auto streams = test::ffprobe(m.path)["streams"];
        const auto start = [&](size_t i) { return std::stod(streams[i]["start_time"].get<std::string>()); };
        const double lead = m.item.width > 0 ? start(0) - start(1) : 0, length = m.info.duration.seconds();
        if (m.item.width == 0) {
            EXPECT_NEAR(length, double(ref.size() / 2) / 48000, 1e-3) << "the listed length";
        }
        const std::vector<float> ours = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, length)}));
        ASSERT_GE(ref.size(), 2 * size_t(std::llround((lead + length) * 48000)));
        EXPECT_GE(test::snr(window(ours, length - 0.06), window(ref, lead + length - 0.06)), 100) << "the last 50 ms";
    }
}

// mkvmerge appends one Opus file to another where the first's millisecond stamps end and keeps the
// second's rounded stamps, up to 2 ms after where its packets, all there, follow on. It sounds on
// without a gap, as ffmpeg decodes it, read through or from in-points past the join.
TEST(AudioMixPeer, AppendedOpusSoundsOnAsFfmpegDecodesIt) {
    test::TempDir dir;
    const Medium a = chirp(dir, "a.mka", 48000, {"-c:a", "libopus"});
    const Medium b = tone(dir, "b.mka", "0.4*sin(2*PI*(300*t+50*t*t))|0.4*sin(2*PI*(500*t-30*t*t))", 48000, 3, "libopus");
    const auto file = dir / "ab.mka";
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", file.string(), a.path.string(), "+", b.path.string()}).exitCode, 0);
    const Medium m = test::probedMedium(file);
    const std::vector<float> ref = reference(dir, {m.path}, "[0:a]anull", 6);
    EXPECT_GE(test::snr(test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 6)})), ref), 60) << "read through";
    const Project split =
        test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 3.2), audioClip(m, 3.2, 3.2, 2.1), audioClip(m, 5.3, 5.3, 0.7)});
    EXPECT_GE(test::snr(test::mixOf(split), ref), 60) << "clips from 3.2 s and 5.3 s";
    // Past a gap of 64 ms in the stamps (sound a recorder lost), a clip sounds as read through.
    const Medium g = test::makeMedium(dir / "gap.mka", {"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=8", "-af",
                                                        "aselect='not(between(t,3,3.064))'", "-c:a", "libopus"});
    const std::vector<float> through = test::mixOf(test::projectOf(16, 16, 25, {g}, {audioClip(g, 0, 0, 7)}));
    const std::vector<float> past = test::mixOf(test::projectOf(16, 16, 25, {g}, {audioClip(g, 0, 0, 6), audioClip(g, 6, 6, 1)}));
    EXPECT_GE(test::snr(window(past, 6.1), window(through, 6.1)), 60) << "past the gap";
}

// Matroska stamps whole milliseconds; a clip read after a seek sounds as the same source read from
// its start, to the sample and settled from its first one, whatever the codec's pre-roll needs.
TEST(AudioMixPeer, ClipsAfterASeekSoundAsReadFromTheStart) {
    test::TempDir dir;
    const struct { const char* file; std::vector<std::string> codec; } cases[] = {
        {"opus.webm", {"-c:a", "libopus", "-b:a", "128k"}},
        {"aac.mkv", {"-c:a", "aac"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Medium m = chirp(dir, c.file, 48000, c.codec);
        const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 3)}));
        for (const double in : {0.5, 1.234, 2.02}) {
            const std::vector<float> clip = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, 0.5)}));
            EXPECT_GE(test::snr(window(clip, 0), window(whole, in)), 60) << "in-point " << in;
            EXPECT_GE(test::snr(window(clip, 0.2), window(whole, in + 0.2)), 60) << "in-point " << in;
        }
    }
}

// Matroska stamps an Opus track's first packet before the samples its decoder drops: a clip sounds
// the source as ffmpeg decodes it from its in-point, and beside pictures whose first stamp differs
// from the sound's it keeps the sound where the stamps put it against them.
TEST(AudioMixPeer, OpusInMatroskaSoundsAsFfmpegDecodesIt) {
    test::TempDir dir;
    const Medium webm = chirp(dir, "opus.webm", 48000, {"-c:a", "libopus"});
    // mkvmerge stamps sound alone on a clock near a sample's, keeping the millisecond rounding of
    // the stamps it was given.
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "remuxed.webm").string(), "--webm", webm.path.string()}).exitCode, 0);
    const Medium media[] = {webm, test::probedMedium(dir / "remuxed.webm"),
                            chirp(dir, "opus.mkv", 48000, {"-c:a", "libopus", "-b:a", "96k"}),
                            // packets shorter than the samples the decoder drops at its start
                            chirp(dir, "short.mkv", 48000, {"-c:a", "libopus", "-frame_duration", "2.5"}),
                            chirp(dir, "movie.webm", 48000,
                                  {"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=3", "-c:a", "libopus", "-c:v", "libvpx-vp9"})};
    for (const Medium& m : media) {
        SCOPED_TRACE(m.path.filename().string());
        // Where the clip's time 0 lies in ffmpeg's decode: the first picture's stamp less the first
        // decoded sound frame's, as ffprobe shows them.
        double lead = 0;
        if (m.item.width > 0) {
            const std::string firstSound = test::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "frame=pts_time",
                                                      "-read_intervals", "%+#1", "-of", "csv=p=0", m.path.string()})
                                               .output;
            lead = std::stod(test::ffprobe(m.path)["streams"][0]["start_time"].get<std::string>()) - std::stod(firstSound);
            EXPECT_GT(lead, 0.001);  // the pictures' stamps start after the sound's
        }
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 0.5), audioClip(m, 0.5, 1.234, 1)});
        const std::vector<float> ours = test::mixOf(p);
        const std::vector<float> ref = reference(dir, {m.path}, "[0:a]aresample=48000", 3);
        EXPECT_GE(test::snr(window(ours, 0), window(ref, lead)), 60) << "from the start";
        EXPECT_GE(test::snr(window(ours, 0.5), window(ref, 1.234 + lead)), 60) << "from an in-point";
        EXPECT_GE(test::snr(window(ours, 1.2), window(ref, 1.934 + lead)), 60) << "further on";
    }
}

// How many output samples late a tone of `hz` sounds in `count` samples of the mix's left channel
// from `from` on, against a sine of it whose time is `sourceAt` at `from`: the phase of its best fit.
double samplesLate(const std::vector<float>& v, size_t from, size_t count, double hz, double sourceAt) {
    const double w = 2 * M_PI * hz;
    double inPhase = 0, quadrature = 0;
    for (size_t k = 0; k < count; ++k) {
        const double t = sourceAt + double(k) / 48000;
        inPhase += v[2 * (from + k)] * std::sin(w * t);
        quadrature += v[2 * (from + k)] * std::cos(w * t);
    }
    return std::atan2(-quadrature, inPhase) / w * 48000;
}

// Sound at 44.1 kHz, resampled for the mix, sounds within half an output sample of its time
// after any seek, and the pieces of a clip split at any frame sound as the whole clip does.
TEST(AudioMixPeer, PiecesOfAResampledClipJoinExactly) {
    test::TempDir dir;
    const std::string tone = "aevalsrc=0.5*sin(2*PI*1000*t):s=44100:d=4";
    // ADTS cannot say how many samples its encoder primed with: they sound, as in ffmpeg's decode.
    const struct { const char* file; double fps; std::vector<std::string> args; int primed; } cases[] = {
        {"lame.mp3", 25, {"-f", "lavfi", "-i", tone, "-c:a", "libmp3lame", "-b:a", "192k"}, 0},
        {"adts.aac", 25, {"-f", "lavfi", "-i", tone, "-c:a", "aac", "-b:a", "192k"}, 1024},
        {"tone.m4a", 24000.0 / 1001, {"-f", "lavfi", "-i", tone, "-c:a", "aac", "-b:a", "192k"}, 0},
        {"ntsc.mov", 30000.0 / 1001, {"-f", "lavfi", "-i", tone, "-f", "lavfi", "-i", "testsrc=s=32x32:d=4:r=30000/1001", "-c:a",
                                      "aac", "-b:a", "192k", "-c:v", "mpeg4"}, 0}};
    constexpr double length = 2.5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Medium m = test::makeMedium(dir / c.file, c.args);
        for (const double in : {0.0, 4 / c.fps, 9 / c.fps, 26 / c.fps}) {
            SCOPED_TRACE(in);
            const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, c.fps, {m}, {audioClip(m, 0, in, length)}));
            ASSERT_EQ(whole.size(), 2 * size_t(std::llround(length * 48000)));
            for (const size_t from : {size_t(0), size_t(48000), size_t(96000)}) {
                const double late = samplesLate(whole, from, 4800, 1000, in + double(from) / 48000 - c.primed / 44100.0);
                EXPECT_LE(std::abs(late), 0.52) << "at " << from;  // half a sample, and the codec's phase noise
            }
            std::vector<Clip> pieces;
            double at = 0;
            for (const int frame : {7, 20, 21, 33, 50}) {
                pieces.push_back(audioClip(m, at, in + at, frame / c.fps - at));
                at = frame / c.fps;
            }
            pieces.push_back(audioClip(m, at, in + at, length - at));
            const std::vector<float> split = test::mixOf(test::projectOf(16, 16, c.fps, {m}, pieces));
            ASSERT_EQ(split.size(), whole.size());
            float worst = 0;
            for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(split[i] - whole[i]));
            EXPECT_LE(worst, 1e-4);  // a decoder's rounding after a seek, as at 48 kHz
        }
    }
}

// GStreamer's WebM has no cues, and its Opus track's first packet carries the priming the decoder
// drops: clips from the start, from within the pre-roll and further on sound as ffmpeg decodes it.
TEST(AudioMixPeer, OpusFromGStreamerSoundsFromItsFirstSample) {
    test::TempDir dir;
    const auto file = dir / "gst.webm";
    if (test::run({"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=150", "samplesperbuffer=960", "wave=white-noise", "!",
                   "audio/x-raw,rate=48000,channels=2", "!", "opusenc", "!", "webmmux", "!", "filesink", "location=" + file.string()})
            .exitCode != 0)
        GTEST_SKIP() << "gst-launch-1.0 with opusenc and webmmux is not installed (gstreamer1.0-tools, -plugins-base, -plugins-good)";
    const Medium m = test::probedMedium(file);
    const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 0.5), audioClip(m, 0.5, 0.1, 0.5), audioClip(m, 1, 1.234, 1)});
    const std::vector<float> ours = test::mixOf(p), ref = reference(dir, {m.path}, "[0:a]aresample=48000", 3);
    const std::pair<double, double> windows[] = {{0, 0}, {0.5, 0.1}, {1, 1.234}, {1.5, 1.734}};  // mix, source
    for (const auto& [at, in] : windows)
        EXPECT_GE(test::snr(window(ours, at), window(ref, in)), 60) << "in the source at " << in;
}

// A file that can no longer be read where the mix reaches it stops an export's mix, naming the
// file, rather than sounding as silence.
TEST(AudioMixPeer, UnreadableSoundFailsInWords) {
    test::TempDir dir;
    const Medium m = chirp(dir, "gone bad.m4a", 48000, {"-c:a", "aac"});
    const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 0, 1)});
    const auto plan = makeAudioMix(p.tracks, p.media, {});
    ASSERT_TRUE(plan);
    test::writeFile(m.path, std::string(4096, 'x'));
    AudioMixReader lenient(*plan, 0, p.duration());  // a preview's: that clip is silent
    while (auto b = lenient.next()) EXPECT_EQ(size_t(std::count(b->planes[0].begin(), b->planes[0].end(), 0)), b->planes[0].size());
    AudioMixReader reader(*plan, 0, p.duration());
    reader.setStrict(true);
    try {
        while (reader.next()) {
        }
        FAIL() << "the mix read through";
    } catch (const MediaReadError& e) {
        EXPECT_EQ(e.name(), "gone bad.m4a");
    }
}

// The strict mix of a project (an export's) through to its end: the first failure, or nothing.
std::optional<MediaReadError> strictFailure(const Project& p) {
    const auto plan = makeAudioMix(p.tracks, p.media, {}, true);
    if (!plan) return std::nullopt;
    AudioMixReader reader(*plan, 0, p.duration());
    reader.setStrict(true);
    try {
        while (reader.next()) {
        }
    } catch (const MediaReadError& e) {
        return e;
    }
    return std::nullopt;
}

// A project may name a sound file of a kind not read (one written by another program, or its
// medium replaced by one): the strict mix names the kind, not a sound that went away.
TEST(AudioMixPeer, SoundFilesOfKindsNotReadAreNamed) {
    test::TempDir dir;
    const struct { const char* file; std::vector<std::string> args; const char* kind; } cases[] = {
        {"sound.wv", {"-c:a", "wavpack", "-f", "wv"}, "WavPack files can't be read"},
        {"sound.dts", {"-c:a", "dca", "-strict", "-2", "-f", "dts"}, "raw DTS files can't be read"},
        {"sound.ogg", {"-c:a", "libvorbis", "-f", "ogg"}, "the Ogg container can't be read"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Medium m = chirp(dir, std::string(c.file) + ".wav", 48000, {"-c:a", "pcm_s16le"});
        std::vector<std::string> args{"-y", "-i", m.path.string(), "-ac", "2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto written = dir / c.file;
        test::ffmpeg((args.push_back(written.string()), args));
        fs::rename(written, m.path);
        const std::optional<MediaReadError> failure = strictFailure(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 1)}));
        ASSERT_TRUE(failure) << "the mix read through";
        EXPECT_NE(failure->reason().find(c.kind), std::string::npos) << failure->reason();
    }
}

// Sound files cut to half their bytes, or with junk over their middle, after the clips were
// made: a strict mix stops where a clip needs sound the file no longer holds or cannot decode,
// naming the file and the time in it, while a preview's mix goes on with that clip silent. Whole
// files pass strict mixing unchanged, clips past their sound's end included.
TEST(AudioMixPeer, SoundCutShortOrDamagedStopsAStrictMix) {
    test::TempDir dir;
    enum class Damage { cut, junk, random };
    const struct { const char* file; std::vector<std::string> codec; Damage damage; } cases[] = {
        {"pcm.wav", {"-c:a", "pcm_s16le"}, Damage::cut},
        {"lossless.flac", {"-c:a", "flac"}, Damage::cut},
        {"lame.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}, Damage::cut},
        {"adts.aac", {"-c:a", "aac"}, Damage::cut},
        {"opus.mkv", {"-c:a", "libopus"}, Damage::cut},
        {"fast.m4a", {"-c:a", "aac", "-movflags", "+faststart"}, Damage::cut},
        {"junk.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}, Damage::junk},
        {"vorbis.mkv", {"-c:a", "libvorbis"}, Damage::junk},
        {"clusters.mka", {"-c:a", "libopus", "-cluster_time_limit", "500"}, Damage::junk},  // read on after the junk
        {"random.mp3", {"-c:a", "libmp3lame"}, Damage::random},
    };
    constexpr double kLength = 8;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        test::TempDir here;
        std::vector<std::string> args{"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=8"};
        args.insert(args.end(), c.codec.begin(), c.codec.end());
        const Medium m = test::makeMedium(here / c.file, args);
        // Past the damage, across it, and before it.
        const Project past = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 4.8, 1.6)});
        const Project across = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 2.4, 3.2)});
        const Project before = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 0.2, 1.6)});
        for (const Project* p : {&past, &across, &before}) EXPECT_FALSE(strictFailure(*p)) << "the whole file";
        const std::vector<float> wholeAcross = test::mixOf(across);
        const size_t bytes = std::filesystem::file_size(m.path);
        if (c.damage == Damage::cut) test::cutAt(m.path, bytes / 2);
        if (c.damage == Damage::junk) test::garble(m.path, bytes * 6 / 10, bytes * 6 / 10 + 4000);
        if (c.damage == Damage::random) test::garble(m.path, 0, bytes);
        // Where the sound stops: about half way (the tone codes evenly), or where the junk is.
        const double lost = c.damage == Damage::random ? 0 : c.damage == Damage::cut ? kLength / 2 : kLength * 0.6;

        const std::optional<MediaReadError> atPast = strictFailure(past);
        ASSERT_TRUE(atPast) << "the mix read through";
        EXPECT_EQ(atPast->name(), QString(c.file));
        EXPECT_NEAR(atPast->seconds(), c.damage == Damage::junk ? lost : 4.8, c.damage == Damage::junk ? 0.6 : 1e-3)
            << atPast->reason();
        const std::optional<MediaReadError> atAcross = strictFailure(across);
        ASSERT_TRUE(atAcross) << "the mix read through";
        EXPECT_NEAR(atAcross->seconds(), std::max(lost, 2.4), 0.7) << atAcross->reason();
        EXPECT_EQ(bool(strictFailure(before)), c.damage == Damage::random);
        // A preview's mix: the sound up to the damage as it was, silence after it.
        const std::vector<float> damaged = test::mixOf(across);
        if (c.damage == Damage::random) {
            EXPECT_TRUE(damaged.empty());  // nothing of it to hear
            continue;
        }
        ASSERT_EQ(damaged.size(), wholeAcross.size());
        const auto from = [&](double timeline) { return std::ptrdiff_t(2 * std::llround(timeline * 48000)); };
        const std::vector<float> head(damaged.begin() + from(0.5), damaged.begin() + from(0.5 + lost - 2.4 - 0.7));
        const std::vector<float> wholeHead(wholeAcross.begin() + from(0.5), wholeAcross.begin() + from(0.5 + lost - 2.4 - 0.7));
        EXPECT_GE(test::snr(head, wholeHead), 60);
        if (c.damage == Damage::cut) {
            EXPECT_TRUE(std::all_of(damaged.begin() + from(0.5 + 3.2 - 0.1), damaged.end(), [](float v) { return v == 0; }));
        }
    }
}

// A sound packet's block in Matroska zeroed: the demuxer loses the rest of its cluster, and a clip
// whose in-point lies in the stretch lost fails a strict mix at its in-point, as one reading into
// the stretch from before it does, rather than sounding silent up to the sound after it.
TEST(AudioMixPeer, ClipsFromInsideAStretchLostToDamageFail) {
    test::TempDir dir;
    for (const char* codec : {"libvorbis", "libmp3lame", "pcm_s16le"}) {
        SCOPED_TRACE(codec);
        std::vector<std::string> args{"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=8", "-c:a", codec,
                                      "-cluster_time_limit", "2000"};
        const Medium m = test::makeMedium(dir / (std::string(codec) + ".mka"), args);
        // The block of the first packet from 3 s on, its header and data zeroed.
        const std::string listed = test::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts_time,pos,size",
                                              "-of", "csv=p=0", m.path.string()}).output;
        std::istringstream lines(listed);
        size_t pos = 0, size = 0;
        for (std::string line; std::getline(lines, line);) {
            double t = 0;
            if (std::sscanf(line.c_str(), "%lf,%zu,%zu", &t, &size, &pos) == 3 && t >= 3) break;
        }
        ASSERT_GT(pos, 0u);
        std::string bytes = test::readFile(m.path);
        std::fill_n(bytes.begin() + std::ptrdiff_t(pos), size, '\0');
        test::writeFile(m.path, bytes);
        for (const double in : {2.0, 3.3}) {
            const std::optional<MediaReadError> failure = strictFailure(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, 1.5)}));
            ASSERT_TRUE(failure) << "in-point " << in << ": the mix read through";
            EXPECT_NEAR(failure->seconds(), std::max(in, 3.0), 0.1) << failure->reason();
        }
    }
}

// ffmpeg's decode of the file's sound from `from` to `to` on the file's time line (time 0: a
// movie's first picture), at 48 kHz stereo, with gaps in its stamps filled where they put them
// (`rounding`: a stamp off by less than that, in seconds, follows on; aresample's default 0.1 s).
std::vector<float> placed(const test::TempDir& dir, const Medium& m, double from, double to, double rounding = 0.001) {
    const double lead = m.item.width > 0 ? std::stod(test::ffprobe(m.path)["streams"][0]["start_time"].get<std::string>()) : 0;
    test::ffmpeg({"-copyts", "-i", m.path.string(), "-af", "aresample=48000:async=1:min_hard_comp=" + std::to_string(rounding) +
                  ":first_pts=0,apad,atrim=" + std::to_string(from + lead) + ":" + std::to_string(to + lead), "-f", "f32le", "-ac", "2",
                  (dir / "ref.raw").string()});
    const std::string bytes = test::readFile(dir / "ref.raw");
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

// Valid recordings whose sound has gaps in its stamps (a recorder that dropped sound, an append
// with a delay) or ends before its pictures mix strictly, silent there and in step with ffmpeg's
// decode elsewhere: each quarter second within the two milliseconds that Matroska's stamps, whole
// milliseconds, and a frame's place on its packets' grid can differ by.
TEST(AudioMixPeer, GapsAndSoundEndingEarlyAreSilenceInPlace) {
    test::TempDir dir;
    const std::string sound = "aevalsrc=" + kChirp + ":s=48000:d=", picture = "testsrc=s=32x32:r=25:d=6";
    const std::string gap = "aselect='not(between(t,3,3.3))'", late = "asetpts='if(gte(T,3),PTS+0.4/TB,PTS)'";
    const auto movie = [&](const std::vector<std::string>& sound) {
        std::vector<std::string> a{"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", "-c:v", "libx264"};
        return a.insert(a.begin() + 7, sound.begin(), sound.end()), a;
    };
    const struct { const char* file; std::vector<std::string> args; double in, length; } cases[] = {
        {"gap opus.mkv", movie({sound + "6", "-af", gap, "-c:a", "libopus"}), 2, 2.5},
        {"gap aac.mkv", movie({sound + "6", "-af", gap, "-c:a", "aac"}), 2, 2.5},
        {"gap.webm", {"-f", "lavfi", "-i", sound + "6", "-af", "aselect='not(between(t,3,3.064))'", "-c:a", "libopus"}, 2, 2.5},
        {"short.mkv", movie({sound + "5.5", "-c:a", "pcm_s16le"}), 4.5, 1.5},
        {"after.webm", {"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", sound + "5.5", "-c:v", "libvpx", "-c:a", "libopus"}, 5.7, 0.3},
        {"a.mka", {"-f", "lavfi", "-i", sound + "2", "-c:a", "libopus"}, 0, 0},
        {"b.mka", {"-f", "lavfi", "-i", sound + "2", "-c:a", "libopus"}, 0, 0},
        {"append.mka", {}, 1, 3}, {"gst-flac.mkv", {}, 6, 1.392},
        // The demuxer's AC-3 parser holds a packet back past the next blocks, which is no skip.
        {"late ac3.mkv", movie({sound + "6", "-af", late, "-c:a", "ac3"}), 2, 2.5},
        {"late eac3.mkv", movie({sound + "6", "-af", late, "-c:a", "eac3"}), 2, 2.5},
        {"eac3.mkv", movie({sound + "3", "-c:a", "eac3"}), 0, 0}, {"append eac3.mkv", {}, 2.1, 2.5}};
    ASSERT_EQ(test::run({"sh", "-c", "gst-launch-1.0 -q audiotestsrc num-buffers=365 samplesperbuffer=960 wave=white-noise ! "
                                     "audio/x-raw,rate=48000,channels=2 ! flacenc ! flacparse ! matroskamux ! filesink location=" +
                                         (dir / "gst-flac.mkv").string()})
                  .exitCode,
              0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.file == std::string("append.mka")) {
            ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / c.file).string(), (dir / "a.mka").string(), "+", "--sync", "0:700",
                                 (dir / "b.mka").string()}).exitCode, 0);
        }
        if (c.file == std::string("append eac3.mkv")) {
            ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / c.file).string(), (dir / "eac3.mkv").string(), "+", "--sync", "1:700",
                                 (dir / "eac3.mkv").string()}).exitCode, 0);
        }
        const Medium m = c.args.empty() ? test::probedMedium(dir / c.file) : test::makeMedium(dir / c.file, c.args);
        if (!(c.length > 0)) continue;
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, c.in, c.length)});
        const std::optional<MediaReadError> failure = strictFailure(p);
        EXPECT_FALSE(failure) << failure->what();
        std::vector<float> ours = test::mixOf(p);
        const std::vector<float> ref = placed(dir, m, c.in, c.in + c.length);
        if (ours.empty()) ours.assign(ref.size(), 0.0f);  // the clip lies wholly after the sound
        ASSERT_EQ(ours.size(), ref.size());
        constexpr std::ptrdiff_t kWindow = 2 * 12000, kLag = 96;
        for (std::ptrdiff_t w = 2 * kLag; w + kWindow + 2 * kLag <= std::ptrdiff_t(ref.size()); w += kWindow) {
            double best = -1000;
            for (std::ptrdiff_t lag = -kLag; lag <= kLag && best < 40; ++lag)
                best = std::max(best, test::snr({ours.begin() + w + 2 * lag, ours.begin() + w + 2 * lag + kWindow},
                                                {ref.begin() + w, ref.begin() + w + kWindow}));
            EXPECT_GE(best, 40) << "at " << double(w) / 96000 << " s into the clip";
        }
    }
    // GStreamer's segment lasts to the end of a whole last block, its sound a block's part less.
    EXPECT_NEAR(test::probedMedium(dir / "gst-flac.mkv").item.duration, 7.3, 0.001);
}

// Files cut after their clips were made to the medium's length: a clip wholly before the cut
// sounds, and one that needs what is gone fails where ffmpeg's decode of the cut file ends, also
// where only the shorter file shows the cut (MP3 without a Xing header, MPEG-TS).
TEST(AudioMixPeer, ClipsBeforeACutSoundAndPastItFailWhereTheSoundEnds) {
    test::TempDir dir;
    std::vector<test::Medium> media;
    const std::string gst =
        "gst-launch-1.0 -q audiotestsrc num-buffers=470 samplesperbuffer=1024 wave=white-noise ! audio/x-raw,rate=48000,channels=2 ! ";
    for (const auto& [file, encoder] :
         {std::pair{"gst.webm", "opusenc ! webmmux"}, {"gst.ts", "avenc_aac ! aacparse ! mpegtsmux"}, {"gst.mp3", "lamemp3enc"}}) {
        ASSERT_EQ(test::run({"sh", "-c", gst + encoder + " ! filesink location=" + (dir / file).string()}).exitCode, 0) << encoder;
        media.push_back(test::probedMedium(dir / file));
    }
    media.push_back(
        test::makeMedium(dir / "bare.mp3", {"-f", "lavfi", "-i", "anoisesrc=r=48000:d=10", "-c:a", "libmp3lame", "-write_xing", "0"}));
    media.push_back(test::makeMedium(dir / "mp2.ts", {"-f", "lavfi", "-i", "anoisesrc=r=48000:d=10", "-c:a", "mp2"}));
    for (const test::Medium& m : media)
        for (const int percent : {30, 50, 80}) {
            SCOPED_TRACE(m.path.filename().string() + " cut to " + std::to_string(percent) + " %");
            test::Medium c = m;
            c.path = dir / ("cut " + m.path.filename().string());
            c.item.path = QString::fromStdString(c.path.string());
            std::filesystem::copy_file(m.path, c.path, std::filesystem::copy_options::overwrite_existing);
            test::cutAt(c.path, std::filesystem::file_size(m.path) * size_t(percent) / 100);
            test::ffmpeg({"-i", c.path.string(), "-f", "f32le", "-ac", "2", "-ar", "48000", (dir / "held.raw").string()});
            const double held = double(std::filesystem::file_size(dir / "held.raw")) / (2 * 4 * 48000);
            EXPECT_FALSE(strictFailure(test::projectOf(16, 16, 25, {c}, {audioClip(c, 0.5, 0.1, held - 0.6)})));
            for (const double in : {0.0, held - 1}) {
                const auto failure = strictFailure(test::projectOf(16, 16, 25, {c}, {audioClip(c, 0.5, in, c.item.duration - in)}));
                ASSERT_TRUE(failure) << "the mix read through";
                EXPECT_NEAR(failure->seconds(), held, 0.05) << failure->reason();
            }
        }
}

// The strict mix of a project (an export's) through to its end; it must not fail.
std::vector<float> strictMix(const Project& p) {
    const auto plan = makeAudioMix(p.tracks, p.media, {}, true);
    if (!plan) return {};
    AudioMixReader reader(*plan, 0, p.duration());
    reader.setStrict(true);
    std::vector<float> out;
    while (auto b = reader.next()) {
        const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
        out.insert(out.end(), f, f + 2 * size_t(b->frameCount));
    }
    return out;
}

// 5.1 AAC at 96 kHz beside pictures, a clip from the start and one from after a seek, mixed again
// and again: every time as ffmpeg downmixes it. The library's remix table is larger than the
// layouts' part of it and was once built in a buffer of only that part.
TEST(AudioMixPeer, SurroundSoundDownmixesAsFfmpegEveryTime) {
    test::TempDir dir;
    const Medium m = test::makeMedium(
        dir / "six.mp4", {"-f", "lavfi", "-i", "testsrc2=s=32x32:r=25:d=8", "-f", "lavfi", "-i",
                          "aevalsrc=" + kChirp + "|0.3*sin(2*PI*500*t)|0.2*sin(2*PI*50*t)|0.3*sin(2*PI*900*t)|0.3*sin(2*PI*1300*t)"
                          ":s=96000:d=8:c=5.1", "-c:v", "libx264", "-c:a", "aac", "-b:a", "160k"});
    const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 1.5), audioClip(m, 2, 3.25, 1.5)});
    const std::vector<float> ref = reference(
        dir, {m.path},
        "[0:a]pan=stereo|c0=FL+0.70710678*FC+0.70710678*BL|c1=FR+0.70710678*FC+0.70710678*BR,aresample=48000,asplit[x][y];"
        "[x]atrim=0:1.5,asetpts=PTS-STARTPTS[p];[y]atrim=3.25:4.75,asetpts=PTS-STARTPTS,adelay=2000:all=1[q];"
        "[p][q]amix=inputs=2:normalize=0:duration=longest", p.duration());
    // Each on a thread of its own, as an export mixes: its memory is laid out afresh.
    for (int run = 0; run < 4; ++run) {
        std::vector<float> ours;
        std::thread([&] { ours = strictMix(p); }).join();
        EXPECT_GE(snr(ours, ref), 40) << "run " << run;
    }
}

// A clip reaching past the end of a sound whose length never changed sounds what there is and
// silence after, as atrim and apad give it; a file cut since it was recorded still fails there
// (ClipsBeforeACutSoundAndPastItFailWhereTheSoundEnds).
TEST(AudioMixPeer, ClipsPastAnUnchangedEndAreSilentThere) {
    test::TempDir dir;
    for (const auto& [file, codec] : {std::pair{"tone_a.mov", "pcm_s16le"}, {"tone.m4a", "aac"}, {"tone.flac", "flac"}}) {
        SCOPED_TRACE(file);
        const Medium m = tone(dir, file, "0.5*sin(2*PI*440*t)", 48000, 3, codec);
        ASSERT_NEAR(m.item.duration, 3, 0.05);
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0.5, 1, 2.5)});
        const std::optional<MediaReadError> failure = strictFailure(p);
        EXPECT_FALSE(failure) << failure->what();
        const std::vector<float> ref = reference(dir, {m.path}, "[0]atrim=start=1,asetpts=PTS-STARTPTS,adelay=500:all=1,pan=stereo|c0=c0|c1=c0", p.duration());
        EXPECT_GE(snr(strictMix(p), ref), 40);
    }
}

// A medium remade shorter (8 s to 5 s) after its clip was made holds less than the clip needs, and
// stays so across a save: the project saved and opened again stops the export where the sound now
// ends, as before. A project file saved without the recorded length reads as one never cut.
TEST(AudioMixPeer, AMediumCutShortStaysShortAcrossASave) {
    test::TempDir dir;
    const Medium m = tone(dir, "take.wav", "0.5*sin(2*PI*440*t)", 48000, 8);
    Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 8)});
    tone(dir, "take.wav", "0.5*sin(2*PI*440*t)", 48000, 5);
    ASSERT_TRUE(p.conformMedium(m.item.id, MediaInfo::load(m.path, true)));
    const std::optional<MediaReadError> before = strictFailure(p);
    ASSERT_TRUE(before) << "the cut passed";
    const QByteArray bytes = p.encoded();
    const Project saved = Project::decode(std::string_view(bytes.constData(), size_t(bytes.size())));
    EXPECT_EQ(saved, p);
    const std::optional<MediaReadError> after = strictFailure(saved);
    ASSERT_TRUE(after) << "the saved project exports silence past the cut";
    EXPECT_NEAR(after->seconds(), 5, 0.05);
    EXPECT_EQ(after->reason(), before->reason());
    nlohmann::json older = nlohmann::json::parse(bytes.toStdString());
    older["media"][0].erase("recordedDuration");
    EXPECT_FALSE(Project::decode(older.dump()).media[0].recordedDuration);
}

// Damage inside a file that goes on past it: 200 bytes over an AC-3 frame's audio blocks, which its
// decoder conceals and marks only in the frame it gives (ffmpeg: "error decoding the audio block").
// A strict mix stops there, saying the sound there can't be decoded, as for AAC, FLAC and MP3;
// a preview's keeps the sound before it as it was.
TEST(AudioMixPeer, DamagedAc3StopsAStrictMix) {
    test::TempDir dir;
    // Without lacing, as mkvmerge can write it, too.
    for (const char* file : {"ac3.mkv", "unlaced.mkv"}) {
        SCOPED_TRACE(file);
        const Medium m = test::makeMedium(dir / file, {"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=8", "-c:a", "ac3"});
        if (file == std::string("unlaced.mkv")) {
            ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "u.mkv").string(), "--disable-lacing", m.path.string()}).exitCode, 0);
            std::filesystem::rename(dir / "u.mkv", m.path);
        }
        const Project p = test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, 8)});
        const std::vector<float> whole = strictMix(p);
        EXPECT_GE(snr(whole, reference(dir, {m.path}, "[0]anull", 8)), 50);
        const auto packets = test::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts_time,pos,size",
                                        "-of", "csv=p=0", m.path.string()});
        std::vector<std::string> lines;
        std::istringstream in(packets.output);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        ASSERT_GT(lines.size(), 10u);
        double at = 0;
        size_t size = 0, pos = 0;
        ASSERT_EQ(std::sscanf(lines[lines.size() / 2].c_str(), "%lf,%zu,%zu", &at, &size, &pos), 3);
        test::garble(m.path, pos + size / 3, pos + size / 3 + 200);
        const std::optional<MediaReadError> failure = strictFailure(p);
        ASSERT_TRUE(failure) << "the mix read through";
        EXPECT_EQ(failure->name(), QString::fromStdString(m.path.filename().string()));
        EXPECT_NEAR(failure->seconds(), at, 0.05);
        EXPECT_EQ(failure->reason(), "its sound there can't be decoded");
        const std::vector<float> preview = test::mixOf(p);
        ASSERT_EQ(preview.size(), whole.size());
        const auto upTo = std::ptrdiff_t(2 * std::llround((at - 0.1) * 48000));
        EXPECT_GE(test::snr({preview.begin(), preview.begin() + upTo}, {whole.begin(), whole.begin() + upTo}), 60);
    }
}

// GStreamer's WebM written for streaming, with junk inside its last cluster: the demuxer passes
// over the rest of the file, as ffmpeg's does, and a strict mix stops where ffmpeg's decode does,
// saying the sound there is damaged, not that the file ends; cut there, the file ends.
TEST(AudioMixPeer, JunkInAStreamedWebmIsDamageNotTheFilesEnd) {
    test::TempDir dir;
    const fs::path whole = dir / "whole.webm";
    ASSERT_EQ(test::run({"sh", "-c", "gst-launch-1.0 -q webmmux streamable=true name=m ! filesink location=" + whole.string() +
                                         " videotestsrc num-buffers=200 ! video/x-raw,width=160,height=90,framerate=25/1 ! vp8enc ! m. "
                                         "audiotestsrc num-buffers=375 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! "
                                         "opusenc ! m."})
                  .exitCode, 0);
    const std::string bytes = test::readFile(whole);
    const size_t cluster = bytes.rfind("\x1F\x43\xB6\x75");
    ASSERT_NE(cluster, std::string::npos);
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "cut" : "junk");
        Medium m = test::probedMedium(whole);
        m.path = dir / "live.webm";
        m.item.path = QString::fromStdString(m.path.string());
        fs::copy_file(whole, m.path, fs::copy_options::overwrite_existing);
        if (cut) test::cutAt(m.path, cluster + 5000);
        else test::garble(m.path, cluster + 5000, cluster + 5200);
        test::ffmpeg({"-i", m.path.string(), "-map", "0:a", "-f", "f32le", "-ac", "2", "-ar", "48000", (dir / "held.raw").string()});
        const double held = double(fs::file_size(dir / "held.raw")) / (2 * 4 * 48000);
        const std::optional<MediaReadError> failure = strictFailure(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, m.item.duration)}));
        ASSERT_TRUE(failure) << "the mix read through";
        EXPECT_NEAR(failure->seconds(), held, 0.05);
        EXPECT_EQ(failure->reason(), cut ? "the file ends before this sound" : "its sound there can't be decoded");
    }
}

// mkvmerge tags a track with its own length where ffmpeg tags where it ends: sound it made start
// late (or early, its first packets cut) is listed and mixed to its end, as ffmpeg decodes it.
TEST(AudioMixPeer, MkvmergeSyncedSoundLastsToItsEnd) {
    test::TempDir dir;
    const std::string sound = "aevalsrc=" + kChirp + ":s=48000:d=5";
    for (const char* codec : {"flac", "aac", "libopus"}) {
        SCOPED_TRACE(codec);
        const auto source = dir / (std::string(codec) + ".mkv");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=7", "-f", "lavfi", "-i", sound, "-c:v", "libx264", "-c:a", codec,
                      source.string()});
        const struct { std::string file; std::vector<std::string> args; double length; } cases[] = {
            {"late.mka", {"-D", "--sync", "1:1300"}, 5}, {"late.mkv", {"--sync", "1:1300"}, 0}, {"early.mkv", {"--sync", "1:-200"}, 0}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.file);
            std::vector<std::string> args{"mkvmerge", "-q", "-o", (dir / c.file).string()};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.push_back(source.string());
            ASSERT_EQ(test::run(args).exitCode, 0);
            const Medium m = test::probedMedium(dir / c.file);
            // A sound file's time 0 is its first sample heard.
            if (c.length > 0) {
                EXPECT_NEAR(m.info.duration.seconds(), c.length, 0.05) << "the listed length";
            }
            const double length = m.item.duration;
            const std::vector<float> ours = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, length)}));
            std::vector<float> ref = c.length > 0 ? reference(dir, {m.path}, "[0:a]anull", length) : placed(dir, m, 0, length, 0.1);
            ASSERT_NEAR(double(ours.size()), double(ref.size()), 2 * 48);  // a millisecond's rounding of the length
            ref.resize(ours.size());
            // The last 100 ms of the sound, within the two milliseconds Matroska's stamps can differ by.
            const auto end = std::ptrdiff_t(std::find_if(ref.rbegin(), ref.rend(), [](float v) { return std::abs(v) > 1e-3f; }).base() - ref.begin());
            constexpr std::ptrdiff_t kWindow = 2 * 4800, kLag = 96;
            ASSERT_GE(end, kWindow + 2 * kLag);
            double best = -1000;
            for (std::ptrdiff_t lag = -kLag; lag <= kLag && best < 40; ++lag) {
                const std::ptrdiff_t at = std::min<std::ptrdiff_t>(end - kWindow + 2 * lag, std::ptrdiff_t(ours.size()) - kWindow);
                best = std::max(best, test::snr({ours.begin() + at, ours.begin() + at + kWindow}, {ref.begin() + end - kWindow, ref.begin() + end}));
            }
            EXPECT_GE(best, 40) << "the sound's end at " << double(end) / 96000 << " s";
        }
    }
}

// Vorbis packets vary in length and the first gives no sound; PCM packets may be shorter than a
// millisecond stamp can tell apart; FLAC's 4,608 and 8,192 samples at 44.1 and 96 kHz, E-AC-3's
// 1,536 at 44.1 kHz and DTS's 512 last no whole number of milliseconds. From any in-point such
// Matroska sound sounds where ffmpeg places it, and the pieces of a split clip sound as the whole
// clip, to the sample.
TEST(AudioMixPeer, VorbisAndShortPcmPacketsInMatroskaSoundToTheSample) {
    test::TempDir dir;
    std::vector<Medium> media{chirp(dir, "vorbis.mkv", 48000, {"-c:a", "libvorbis"}), chirp(dir, "vorbis.webm", 44100, {"-c:a", "libvorbis"})};
    test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=3", "-c:a", "libvorbis", (dir / "vorbis.ogg").string()});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "mkvmerge.mkv").string(), (dir / "vorbis.ogg").string()}).exitCode, 0);
    media.push_back(test::probedMedium(dir / "mkvmerge.mkv"));
    if (test::run({"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=150", "samplesperbuffer=960", "wave=white-noise", "!",
                   "audio/x-raw,rate=48000,channels=2", "!", "vorbisenc", "!", "matroskamux", "!", "filesink",
                   "location=" + (dir / "gst.mkv").string()})
            .exitCode == 0)
        media.push_back(test::probedMedium(dir / "gst.mkv"));
    // 24-bit 5.1 copied from WAV: packets of 227 samples.
    test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + kChirp + "|0.3*sin(2*PI*300*t)|0.2*sin(2*PI*50*t)|" + kChirp + ":s=48000:d=3",
                  "-c:a", "pcm_s24le", (dir / "six.wav").string()});
    media.push_back(test::makeMedium(dir / "six.mkv", {"-i", (dir / "six.wav").string(), "-c", "copy"}));
    media.push_back(chirp(dir, "flac44.mkv", 44100, {"-c:a", "flac"}));
    media.push_back(chirp(dir, "flac96.mkv", 96000, {"-c:a", "flac"}));
    media.push_back(chirp(dir, "eac3.mkv", 44100, {"-c:a", "eac3"}));
    media.push_back(chirp(dir, "dts.mkv", 48000, {"-c:a", "dca", "-strict", "-2"}));
    for (const Medium& m : media) {
        SCOPED_TRACE(m.path.filename().string());
        const std::vector<float> ref = placed(dir, m, 0, 3, 0.1);
        for (const double in : {0.5, 1.234, 2.02}) {
            const std::vector<float> clip = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, 0.5)}));
            EXPECT_GE(test::snr(window(clip, 0.1), window(ref, in + 0.1)), 60) << "in-point " << in;
        }
        const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0.3, 2.4)}));
        const std::vector<float> split = test::mixOf(test::projectOf(
            16, 16, 25, {m}, {audioClip(m, 0, 0.3, 0.28), audioClip(m, 0.28, 0.58, 0.52), audioClip(m, 0.8, 1.1, 0.04),
                              audioClip(m, 0.84, 1.14, 0.6), audioClip(m, 1.44, 1.74, 0.96)}));
        ASSERT_EQ(split.size(), whole.size());
        float worst = 0;
        for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(split[i] - whole[i]));
        EXPECT_LE(worst, 1e-4) << "split";
    }
}

// mkvmerge laces packets into blocks and stamps only the block: the demuxer spreads its stamp over
// the packets by durations cut to the millisecond, which a run of short Vorbis blocks (a tone's
// onset) turns into several milliseconds. Made late by --sync, the sound keeps one offset from its
// first sample to its last, as ffmpeg's decode of it from the start, from any in-point.
TEST(AudioMixPeer, VorbisFromMkvmergeKeepsOneOffset) {
    test::TempDir dir;
    const auto source = dir / "vorbis.mkv", file = dir / "synced.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=5", "-f", "lavfi", "-i",
                  "aevalsrc=0.2*sin(2*PI*(200+200*t)*t)+0.5*sin(2*PI*440*t)*gt(mod(t\\,0.7)\\,0.6)|0.3*sin(2*PI*300*t):s=48000:d=5",
                  "-c:v", "libx264", "-c:a", "libvorbis", source.string()});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", file.string(), "--sync", "1:300", source.string()}).exitCode, 0);
    const Medium m = test::probedMedium(file);
    const double length = m.item.duration;
    const std::vector<float> ref = placed(dir, m, 0, length, 0.1);
    const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, length)}));
    ASSERT_EQ(whole.size(), ref.size());
    // Quarter seconds, each at no lag, as short blocks come and go.
    for (size_t w = 0; w + 24000 <= ref.size(); w += 24000)
        EXPECT_GE(test::snr({whole.begin() + std::ptrdiff_t(w), whole.begin() + std::ptrdiff_t(w + 24000)},
                            {ref.begin() + std::ptrdiff_t(w), ref.begin() + std::ptrdiff_t(w + 24000)}), 60)
            << "at " << double(w) / 96000 << " s";
    for (const double in : {0.8, 2.3, 3.5}) {
        const std::vector<float> clip = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, 1.2)}));
        const auto from = ref.begin() + 2 * std::llround(in * 48000);
        ASSERT_EQ(clip.size(), size_t(2 * 1.2 * 48000));
        EXPECT_GE(test::snr(clip, {from, from + std::ptrdiff_t(clip.size())}), 60) << "in-point " << in;
    }
}

// Matroska AAC and Opus with a gap in their stamps: clips across it, in it and past it sound where
// ffmpeg's decode of the file places the sound by its stamps, to the sample, as Convert does; the
// packets' grid that the track's start sets does not run on past the gap.
TEST(AudioMixPeer, ClipsAroundAGapInMatroskaSoundWhereTheStampsPutThem) {
    test::TempDir dir;
    for (const char* codec : {"aac", "libopus"}) {
        SCOPED_TRACE(codec);
        const Medium m = test::makeMedium(dir / (std::string(codec) + ".mkv"),
                                          {"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=6", "-f", "lavfi", "-i",
                                           "aevalsrc=" + kChirp + ":s=48000:d=6", "-af", "aselect='not(between(t,3,3.3))'",
                                           "-c:v", "libx264", "-c:a", codec});
        for (const double in : {0.5, 3.1, 3.6}) {
            const double length = 5.5 - in;
            const std::vector<float> clip = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, length)}));
            EXPECT_GE(test::snr(clip, placed(dir, m, in, in + length)), 60) << "in-point " << in;
        }
    }
}

// A clip that starts past where mkvmerge joined a second part, delayed, onto the first sounds as
// the whole clip does there, to the sample: the packets read over from the track's start to place
// it count their samples as the decoder gives them, not by their stamps' rounded durations.
TEST(AudioMixPeer, ClipsPastADelayedJoinSoundAsTheWholeClip) {
    test::TempDir dir;
    // At 44.1 kHz the sound after the join starts on the grid both rates share, as a clip there does.
    for (const auto& [codec, rate] : std::vector<std::pair<std::string, int>>{
             {"aac", 48000}, {"libopus", 48000}, {"libmp3lame", 48000}, {"libmp3lame", 44100}, {"libvorbis", 48000}}) {
        const std::string name = codec + " " + std::to_string(rate);
        SCOPED_TRACE(name);
        const auto part = dir / (name + ".mkv"), file = dir / (name + " joined.mkv");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=3", "-f", "lavfi", "-i",
                      "aevalsrc=" + kChirp + ":s=" + std::to_string(rate) + ":d=3", "-c:v", "libx264", "-c:a", codec, part.string()});
        ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", file.string(), part.string(), "+", "--sync", "1:700", part.string()}).exitCode, 0);
        const Medium m = test::probedMedium(file);
        const double length = m.item.duration - 0.1;
        const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0, length)}));
        // Pieces of the whole clip: the first runs over the join (3.7 s), the others start past it.
        std::vector<Clip> pieces;
        for (const auto& [from, to] : std::vector<std::pair<double, double>>{{0, 4.1}, {4.1, 4.6}, {4.6, 5.5}, {5.5, length}})
            pieces.push_back(audioClip(m, from, from, to - from));
        const std::vector<float> split = test::mixOf(test::projectOf(16, 16, 25, {m}, pieces));
        ASSERT_EQ(split.size(), whole.size());
        for (size_t i = 0; i < whole.size(); ++i)
            if (std::abs(split[i] - whole[i]) > 1e-4) {
                ADD_FAILURE() << "the pieces part from the whole clip at " << double(i / 2) / 48000 << " s";
                break;
            }
    }
}

// GStreamer's variable-rate MP3 in MPEG-TS, a quiet tone in frames far smaller than its first: a
// frame after a seek takes its data from more frames before it than the first's rate suggests.
TEST(AudioMixPeer, QuietVariableRateMp3SplitsExactly) {
    test::TempDir dir;
    const auto file = dir / "quiet.ts";
    ASSERT_EQ(test::run({"sh", "-c", "gst-launch-1.0 -q audiotestsrc num-buffers=170 samplesperbuffer=1152 wave=sine freq=1000 ! "
                                     "audio/x-raw,rate=44100,channels=2 ! lamemp3enc ! mpegaudioparse ! mpegtsmux ! filesink location=" +
                                         file.string()}).exitCode, 0);
    const Medium m = test::probedMedium(file);
    const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0.36, 2.5)}));
    const std::vector<float> split =
        test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 0.36, 0.8), audioClip(m, 0.8, 1.16, 1.2), audioClip(m, 2, 2.36, 0.5)}));
    ASSERT_EQ(split.size(), whole.size());
    float worst = 0;
    for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(split[i] - whole[i]));
    EXPECT_LE(worst, 1e-4);
}

// A clip far into an appended file (mkvmerge laces its Opus packets) is read from the file's start
// without decoding what lies before it: its reader delivers nothing from before its pre-roll.
TEST(AudioMixPeer, AClipPastAJoinKeepsNoSoundBeforeIt) {
    test::TempDir dir;
    const Medium a = chirp(dir, "a.mka", 48000, {"-c:a", "libopus"});
    const auto file = dir / "aa.mka";
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", file.string(), a.path.string(), "+", a.path.string(), "+", a.path.string()}).exitCode, 0);
    for (const double at : {2.5, 4.0, 7.5}) {
        auto reader = AudioSampleReader::openTrack(file, 0, {48000, 2, AudioSampleFormat::float32}, std::nullopt,
                                                   MediaTime::fromSeconds(at, 48000));
        ASSERT_TRUE(reader);
        const std::optional<AudioSampleBuffer> first = reader->next();
        ASSERT_TRUE(first);
        EXPECT_GT(first->time.seconds(), at - 1) << "a clip from " << at << " s";
    }
}

// The file remuxed by mkvmerge behind 65 MB of attachment, so that every cluster lies past the
// first 64 MB, and probed.
Medium padded(const test::TempDir& dir, const fs::path& file) {
    const auto pad = dir / "pad.bin", out = dir / ("padded " + file.filename().string());
    if (!fs::exists(pad)) {
        std::ofstream(pad.string()).close();
        fs::resize_file(pad, uintmax_t(65) << 20);
    }
    EXPECT_EQ(test::run({"mkvmerge", "-q", "-o", out.string(), "--attachment-mime-type", "application/octet-stream", "--attach-file",
                         pad.string(), file.string()}).exitCode, 0);
    return test::probedMedium(out);
}

// The first sample that parts two mixes, or nothing where they agree to within float rounding.
std::optional<double> partsAt(const std::vector<float>& a, const std::vector<float>& b) {
    EXPECT_EQ(a.size(), b.size());
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (std::abs(a[i] - b[i]) > 1e-4) return double(i / 2) / 48000;
    return std::nullopt;
}

// Far into a large Matroska file, past a gap or a join, a clip sounds as ffmpeg decodes the file
// and as the whole clip does, to the sample, wherever it starts: its place is counted from the
// track's start, not taken from stamps rounded to the millisecond.
TEST(AudioMixPeer, ClipsFarIntoALargeMatroskaFileSoundToTheSample) {
    test::TempDir dir;
    const std::string gap = "aselect='not(between(t,3,3.3))'";
    for (const char* codec : {"aac", "libopus", "libvorbis"}) {
        SCOPED_TRACE(codec);
        const auto file = dir / (std::string(codec) + " gap.mkv");
        test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=6", "-af", gap, "-c:a", codec, file.string()});
        const Medium m = padded(dir, file);
        for (const double in : {3.1, 3.6, 4.37}) {
            const std::vector<float> clip = test::mixOf(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, in, 5.5 - in)}));
            EXPECT_GE(test::snr(clip, placed(dir, m, in, 5.5)), 60) << "past the gap, in-point " << in;
        }
        // Delayed by 700 ms and joined on by mkvmerge.
        const auto part = dir / (std::string(codec) + ".mkv"), joined = dir / (std::string(codec) + " joined.mkv");
        test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + kChirp + ":s=48000:d=3", "-c:a", codec, part.string()});
        ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", joined.string(), part.string(), "+", "--sync", "0:700", part.string()}).exitCode, 0);
        const Medium j = padded(dir, joined);
        const double length = j.item.duration - 0.1;
        const std::vector<float> whole = test::mixOf(test::projectOf(16, 16, 25, {j}, {audioClip(j, 0, 0, length)}));
        std::vector<Clip> pieces;
        for (const auto& [from, to] : std::vector<std::pair<double, double>>{{0, 4.1}, {4.1, 4.63}, {4.63, 5.5}, {5.5, length}})
            pieces.push_back(audioClip(j, from, from, to - from));
        const std::optional<double> at = partsAt(test::mixOf(test::projectOf(16, 16, 25, {j}, pieces)), whole);
        EXPECT_FALSE(at) << "the pieces past the join part from the whole clip at " << *at << " s";
        fs::remove(m.path);  // 65 MB each
        fs::remove(j.path);
    }
    // mkvmerge appends one Opus file to another without a delay, keeping the second's rounded stamps.
    const Medium a = chirp(dir, "a.mka", 48000, {"-c:a", "libopus"});
    const Medium b = tone(dir, "b.mka", "0.4*sin(2*PI*(300*t+50*t*t))|0.4*sin(2*PI*(500*t-30*t*t))", 48000, 3, "libopus");
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "ab.mka").string(), a.path.string(), "+", b.path.string()}).exitCode, 0);
    const Medium ab = padded(dir, dir / "ab.mka");
    const std::vector<float> ref = reference(dir, {ab.path}, "[0:a]anull", 6);
    for (const double in : {3.2, 4.01, 5.3}) {
        const Project split = test::projectOf(16, 16, 25, {ab}, {audioClip(ab, 0, 0, in), audioClip(ab, in, in, 6 - in)});
        EXPECT_GE(test::snr(test::mixOf(split), ref), 60) << "appended Opus split at " << in << " s";
    }
    // A long file with a gap 100 s in: a clip split at 200 s sounds as the whole one and as ffmpeg.
    const auto longFile = dir / "long.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=0.3*sin(2*PI*440*t+2*sin(2*PI*0.7*t))|0.3*sin(2*PI*660*t+3*sin(2*PI*0.3*t)):s=48000:d=205",
                  "-af", "aselect='not(between(t,100,100.3))'", "-c:a", "aac", "-b:a", "48k", longFile.string()});
    const Medium l = padded(dir, longFile);
    const std::vector<float> wholeLong = test::mixOf(test::projectOf(16, 16, 25, {l}, {audioClip(l, 0, 199, 2)}));
    EXPECT_GE(test::snr(wholeLong, placed(dir, l, 199, 201)), 60) << "a clip from 199 s";
    const std::optional<double> at =
        partsAt(test::mixOf(test::projectOf(16, 16, 25, {l}, {audioClip(l, 0, 199, 1), audioClip(l, 1, 200, 1)})), wholeLong);
    EXPECT_FALSE(at) << "the split at 200 s parts from the whole clip at " << *at << " s";
}

// The sound packets of a file (time, position, size) as ffprobe lists them, those with a position.
struct SoundPacket {
    double at;
    size_t pos, size;
};
std::vector<SoundPacket> soundPackets(const fs::path& file) {
    const auto listed = test::run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "packet=pts_time,pos,size",
                                   "-of", "csv=p=0", file.string()});
    std::vector<SoundPacket> packets;
    std::istringstream in(listed.output);
    for (std::string line; std::getline(in, line);) {
        SoundPacket p{};
        if (std::sscanf(line.c_str(), "%lf,%zu,%zu", &p.at, &p.size, &p.pos) == 3) packets.push_back(p);
    }
    return packets;
}

// What ffmpeg's decode of the file's sound says on its log.
std::string ffmpegSays(const fs::path& file) {
    return test::run({"sh", "-c", "ffmpeg -nostdin -v error -i '" + file.string() + "' -map 0:a:0 -f null - 2>&1"}).output;
}

// Bytes inserted before a Vorbis block in Matroska, ffmpeg's or mkvmerge's (which laces): the
// demuxer passes over the short packets there, or gives up on the rest of the file, its error log
// the only word of it (the hole is too small to tell from the blocks' places); or it reads bytes
// that end a block as an element it does not know and says nothing until the cluster's end, past
// the clip. A mix over it fails.
TEST(AudioMixPeer, VorbisInMatroskaWithBytesInsertedFails) {
    test::TempDir dir;
    const Medium made = test::makeMedium(dir / "v.mkv", {"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=8", "-f", "lavfi", "-i",
                                                         "aevalsrc=" + kChirp + ":s=48000:d=8", "-c:v", "libx264", "-threads", "1",
                                                         "-c:a", "libvorbis"});
    ASSERT_EQ(test::run({"mkvmerge", "-q", "-o", (dir / "mm.mkv").string(), made.path.string()}).exitCode, 0);
    for (const fs::path& source : {made.path, dir / "mm.mkv"}) {
        const std::string bytes = test::readFile(source);
        std::vector<SoundPacket> packets = soundPackets(source);
        std::erase_if(packets, [](const SoundPacket& p) { return p.at < 4.8 || p.at > 5.1; });
        ASSERT_FALSE(packets.empty());
        for (const SoundPacket& p : packets) {
            SCOPED_TRACE(source.filename().string() + " at " + std::to_string(p.at) + " s");
            std::string damaged = bytes;
            damaged.insert(p.pos - 6, 6, 'Z');
            const auto file = dir / "damaged.mkv";
            test::writeFile(file, damaged);
            if (ffmpegSays(file).empty()) continue;
            const Medium m = test::probedMedium(file);
            const std::optional<MediaReadError> failure = strictFailure(test::projectOf(16, 16, 25, {m}, {audioClip(m, 0, 4, 3.5)}));
            ASSERT_TRUE(failure) << "the mix read through";
            EXPECT_NEAR(failure->seconds(), p.at, 0.25) << failure->reason();  // mkvmerge laces a few packets a block
        }
    }
}

// Damage that the decoder or the demuxer reports, where ffmpeg's decode says so, stops Convert and
// an export's mix alike, at the same time in the file, in words: junk over a Matroska file's
// middle, bits flipped in an AAC frame in MPEG-TS, junk in AC-3 in MPEG-TS, an ALAC packet its
// decoder gives out after saying only on its log that it is damaged, and zeroed bytes in raw ADTS
// (the mix alone: no pictures to convert).
TEST(AudioMixPeer, DamageTheDecoderOrDemuxerReportsStopsConvertAndTheMixAlike) {
    test::TempDir dir;
    enum class Damage { junk, flips, packetJunk, logOnly, zeroed };
    const struct {
        const char* file;
        std::vector<std::string> codec;
        Damage damage;
    } cases[] = {
        {"opus.mkv", {"-c:a", "libopus"}, Damage::junk},       {"mp3.mkv", {"-c:a", "libmp3lame"}, Damage::junk},
        {"vorbis.mkv", {"-c:a", "libvorbis"}, Damage::junk},   {"eac3.mkv", {"-c:a", "eac3"}, Damage::junk},
        {"aac.ts", {"-c:a", "aac"}, Damage::flips},            {"ac3.ts", {"-c:a", "ac3"}, Damage::packetJunk},
        {"alac.mov", {"-c:a", "alac"}, Damage::logOnly},       {"adts.aac", {"-c:a", "aac"}, Damage::zeroed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = dir / c.file;
        std::vector<std::string> args;
        if (c.damage != Damage::zeroed) args = {"-f", "lavfi", "-i", "testsrc=s=32x32:r=25:d=5"};
        // Noise under a tone: ALAC codes it in full-length blocks.
        args.insert(args.end(), {"-f", "lavfi", "-i", "anoisesrc=d=5:c=pink:r=48000:a=0.3:seed=7", "-f", "lavfi", "-i",
                                 "sine=f=300:r=48000:d=5", "-filter_complex", "[" + std::string(c.damage == Damage::zeroed ? "0" : "1") +
                                     "][" + std::string(c.damage == Damage::zeroed ? "1" : "2") + "]amerge=inputs=2[a]", "-map", "[a]"});
        if (c.damage != Damage::zeroed) args.insert(args.end(), {"-map", "0:v", "-c:v", "libx264"});
        args.insert(args.end(), c.codec.begin(), c.codec.end());
        args.push_back(file.string());
        test::ffmpeg(args);
        // Raw ADTS whose frames stop early is refused when probed; the project listed it whole.
        const std::optional<MediaInfo> listedWhole =
            c.damage == Damage::zeroed ? std::optional(MediaInfo::load(file, true)) : std::nullopt;
        const std::string whole = test::readFile(file);
        const std::vector<SoundPacket> packets = soundPackets(file);
        ASSERT_GT(packets.size(), 20u);
        const SoundPacket& middle = packets[packets.size() / 2];
        // Where the sound is damaged, from the first picture (MPEG-TS starts its clock late).
        double lead = 0;
        const nlohmann::json probed = test::ffprobe(file);
        for (const auto& stream : probed["streams"])
            if (stream["codec_type"] == "video") lead = std::stod(stream["start_time"].get<std::string>());
        double at = middle.at - lead;
        switch (c.damage) {
        case Damage::junk: {
            const size_t from = whole.size() / 2;
            test::garble(file, from, from + 3000);
            for (const SoundPacket& p : packets)
                if (p.pos + p.size <= from) at = p.at - lead;
            break;
        }
        case Damage::flips: {
            std::string bytes = whole;
            for (size_t k = 0; k < 8; ++k) bytes[middle.pos + middle.size / 3 + 5 * k] ^= char(1 << k);
            test::writeFile(file, bytes);
            break;
        }
        case Damage::packetJunk: test::garble(file, middle.pos + middle.size / 3, middle.pos + middle.size / 3 + 200); break;
        case Damage::logOnly: {
            // The first place in the packet where a byte turned over makes the decoder say so on
            // its log and give the packet's frame all the same.
            bool found = false;
            for (size_t k = 0; k < middle.size && !found; k += std::max<size_t>(middle.size / 64, 1)) {
                std::string bytes = whole;
                bytes[middle.pos + k] ^= char(0xFF);
                test::writeFile(file, bytes);
                const std::string said = ffmpegSays(file);
                found = said.find("[alac") != std::string::npos && said.find("Error while decoding") == std::string::npos;
            }
            ASSERT_TRUE(found) << "no byte makes ALAC's decoder speak only on its log";
            break;
        }
        case Damage::zeroed: {
            std::string bytes = whole;
            std::fill_n(bytes.begin() + std::ptrdiff_t(middle.pos), 8000, '\0');
            test::writeFile(file, bytes);
            break;
        }
        }
        if (c.damage != Damage::zeroed) {
            EXPECT_NE(ffmpegSays(file), "") << "ffmpeg reports nothing";
        }
        const double tolerance = c.damage == Damage::junk ? 0.6 : 0.1;

        // The mix of a clip of the whole medium, as listed before the damage.
        const Medium m{file, listedWhole ? *listedWhole : MediaInfo::load(file, true), {}};
        Medium listed = m;
        listed.item = MediaItem(QString::fromStdString(file.string()), m.info);
        listed.item.duration = 5;
        const std::optional<MediaReadError> mixed = strictFailure(test::projectOf(16, 16, 25, {listed}, {audioClip(listed, 0, 0, 5)}));
        ASSERT_TRUE(mixed) << "the mix read through";
        EXPECT_EQ(mixed->name(), QString(c.file));
        EXPECT_EQ(mixed->reason(), "its sound there can't be decoded");
        EXPECT_NEAR(mixed->seconds(), at, tolerance);
        if (c.damage == Damage::zeroed) continue;

        ConversionSettings settings;
        settings.format = OutputFormat::proRes422Proxy;
        try {
            Transcoder(file, dir / "out.mov", MediaInfo::load(file), settings).run({});
            ADD_FAILURE() << "Convert read through";
        } catch (const ConversionError& e) {
            char text[128];
            std::snprintf(text, sizeof text, "Reading failed: the sound can't be read at %.2f s into the file: ", mixed->seconds());
            const std::string said = e.description();
            int frame = -1;
            // Junk across a Matroska file's structure spoils its pictures there too, and Convert
            // may meet the picture first: then it names that picture, as near the damage.
            if (c.damage == Damage::junk && said.ends_with(" can't be decoded: the file's structure is damaged there") &&
                std::sscanf(said.c_str(), "Decoding failed: frame %d", &frame) == 1)
                EXPECT_NEAR(frame / 25.0, at, tolerance) << said;
            else
                EXPECT_EQ(said, std::string(text) + "its sound there can't be decoded");
        }
        EXPECT_FALSE(fs::exists(dir / "out.mov"));
    }
}

TEST(AudioMixPeer, NothingToHear) {
    test::TempDir dir;
    const Medium a = tone(dir, "a.wav", "0.5*sin(2*PI*440*t)", 48000, 1);
    Project p = test::projectOf(16, 16, 25, {a}, {audioClip(a, 0, 0, 1)});
    p.tracks[0].isAudioEnabled = false;
    EXPECT_FALSE(makeAudioMix(p.tracks, p.media, {}));
    p.tracks[0].isAudioEnabled = true;
    p.media[0].hasAudio = false;
    EXPECT_FALSE(makeAudioMix(p.tracks, p.media, {}));
    p.media[0].hasAudio = true;
    p.tracks[0].clips[0].sourceIn = 1.5;  // starts after the sound's end
    EXPECT_FALSE(makeAudioMix(p.tracks, p.media, {}));
}

TEST(AudioMixPeer, LtcChannelsAndTracksAreKeptOut) {
    test::TempDir dir;
    const std::string programme = "0.5*sin(2*PI*440*t)", ltcTone = "0.9*sin(2*PI*2400*t)";
    auto ltcAt = [](int64_t track, int64_t channel) {
        LTCInfo i;
        i.track = track;
        i.channel = channel;
        return i;
    };
    for (const char* codec : {"pcm_s16le", "pcm_s24le"}) {
        // One stereo track: the LTC channel is overwritten by the other before the mix.
        const Medium st = tone(dir, std::string("st_") + codec + ".mov", programme + "|" + ltcTone, 48000, 1, codec);
        const Project p = test::projectOf(16, 16, 25, {st}, {audioClip(st, 0, 0, 1)});
        EXPECT_GE(snr(test::mixOf(p, {{st.item.id, ltcAt(0, 1)}}), reference(dir, {st.path}, "[0]pan=stereo|c0=c0|c1=c0", 1)), 60) << codec;
        const Medium ts = tone(dir, std::string("ts_") + codec + ".mov", ltcTone + "|" + programme, 48000, 1, codec);
        const Project q = test::projectOf(16, 16, 25, {ts}, {audioClip(ts, 0, 0, 1)});
        EXPECT_GE(snr(test::mixOf(q, {{ts.item.id, ltcAt(0, 0)}}), reference(dir, {ts.path}, "[0]pan=stereo|c0=c1|c1=c1", 1)), 60) << codec;
        // An index that is no track of the file is ignored.
        EXPECT_GE(snr(test::mixOf(q, {{ts.item.id, ltcAt(5, 0)}}), reference(dir, {ts.path}, "[0]anull", 1)), 60) << codec;
    }
    // Two tracks: LTC on a mono first track plays the second; on the second track the first plays.
    test::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + ltcTone + ":s=48000:d=1", "-f", "lavfi", "-i",
                  "aevalsrc=" + programme + "|0.2*sin(2*PI*500*t):s=48000:d=1", "-map", "0", "-map", "1", "-c:a", "pcm_s16le",
                  (dir / "two.mov").string()});
    Medium two{dir / "two.mov", MediaInfo::load(dir / "two.mov", true), {}};
    two.item = MediaItem(QString::fromStdString(two.path.string()), two.info);
    const Project p = test::projectOf(16, 16, 25, {two}, {audioClip(two, 0, 0, 1)});
    EXPECT_GE(snr(test::mixOf(p, {{two.item.id, ltcAt(0, 0)}}), reference(dir, {two.path}, "[0:a:1]anull", 1)), 60);
    EXPECT_GE(snr(test::mixOf(p, {{two.item.id, ltcAt(1, 0)}}), reference(dir, {two.path}, "[0:a:0]pan=stereo|c0=c0|c1=c0", 1)), 60);
    // LTC on the only, mono, track: silent, so no mix at all.
    const Medium mono = tone(dir, "mono.wav", ltcTone, 48000, 1);
    const Project m = test::projectOf(16, 16, 25, {mono}, {audioClip(mono, 0, 0, 1)});
    EXPECT_FALSE(makeAudioMix(m.tracks, m.media, {{mono.item.id, ltcAt(0, 0)}}));
}

}  // namespace
}  // namespace qm
