// Reading that begins at a seek: every time of a movie whose decoder needs more than the key frame
// before it shows the picture a whole read shows there, damage after a seek fails within the
// work of a group of pictures, and a cancelled reader stops where it is.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "core/conversion_error.h"
#include "platform/media/asset_reader.h"
#include "platform/media/recovery_point.h"
#include "support/damaged_media.h"
#include "support/pixel_rows.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

uint64_t planesHash(const PixelBuffer& b) {
    uint64_t h = 1469598103934665603ull;
    for (int p = 0; p < b.planeCount(); ++p)
        for (int y = 0; y < b.planeHeight(p); ++y)
            for (size_t x = 0; x < b.bytesPerRow(p) && int(x) < b.planeWidth(p); ++x)
                h = (h ^ b.data(p)[size_t(y) * b.bytesPerRow(p) + x]) * 1099511628211ull;
    return h;
}

VideoReaderSettings fromTime(MediaTime start, int threads = 0) {
    VideoReaderSettings settings;
    settings.start = start;
    settings.threads = threads;
    return settings;
}

// The picture shown at `seconds` by a reader opened half a frame before it, as the editor opens
// one, and its time; an error's words in place of the picture where reading fails.
struct Shown {
    double time = -1;
    uint64_t hash = 0;
    std::string error;
};
Shown shownAt(const fs::path& file, double seconds, double rate, int threads = 0) {
    Shown shown;
    try {
        auto reader =
            VideoSampleReader::open(file, fromTime(MediaTime::fromSeconds(std::max(0.0, seconds - 0.5 / rate), 90000), threads));
        std::optional<VideoSample> candidate;
        while (auto s = reader->next()) {
            if (s->time.seconds() > seconds + 0.5 / rate && candidate) break;
            candidate = std::move(s);
        }
        if (candidate) shown = {candidate->time.seconds(), planesHash(*candidate->pixels), ""};
    } catch (const ConversionError& e) {
        shown.error = e.payload();
    } catch (const MediaError& e) {
        shown.error = e.what();
    }
    return shown;
}

std::map<double, uint64_t> wholeRead(const fs::path& file) {
    std::map<double, uint64_t> pictures;
    auto reader = VideoSampleReader::open(file, VideoReaderSettings{});
    while (auto s = reader->next()) pictures[s->time.seconds()] = planesHash(*s->pixels);
    return pictures;
}

// x264's intra refresh (29.97 per second, B-frames): its recovery points are key frames to the
// demuxer, but the decoder gives nothing after one until its pictures are whole again, near two
// recovery points on. Every time shows the picture of a read from the start, in the movie and in
// a copy cut at a recovery point, whose first whole picture then holds every earlier time.
TEST(Seek, IntraRefreshTimesShowThePicturesOfAWholeRead) {
    test::TempDir dir;
    const fs::path movie = dir / "refresh.mp4", cut = dir / "refresh cut.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=30000/1001:d=4", "-c:v", "libx264", "-x264-params",
                  "intra-refresh=1:keyint=30", "-pix_fmt", "yuv420p", movie.string()});
    test::ffmpeg({"-ss", "1.3", "-i", movie.string(), "-c", "copy", cut.string()});
    const double rate = 30000.0 / 1001;
    for (const fs::path& file : {movie, cut}) {
        const std::map<double, uint64_t> whole = wholeRead(file);
        const auto counted = test::run({"ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames",
                                        "-of", "csv=p=0", file.string()});
        ASSERT_EQ(whole.size(), std::stoul(counted.output));
        if (file == movie) {
            ASSERT_EQ(whole.size(), 120u);
        }
        std::vector<double> times{1.35, 1.52, 2.03, 2.7};
        for (double t = 0.01; t < 4; t += 0.3) times.push_back(t);
        for (const double t : times) {
            SCOPED_TRACE(file.filename().string() + " at " + std::to_string(t));
            auto holding = whole.upper_bound(t + 0.5 / rate);
            if (holding != whole.begin()) --holding;
            if (file == cut && t > 2.6) continue;  // the cut copy is shorter
            const Shown shown = shownAt(file, t, rate);
            EXPECT_EQ(shown.error, "");
            EXPECT_NEAR(shown.time, holding->first, 1e-4);
            EXPECT_EQ(shown.hash, holding->second);
        }
    }
}

// x264's intra refresh without B-frames, recovery points 16 frames apart and each whole 8 frames on
// (ffmpeg's trace_headers reads recovery_frame_cnt 8): a decoder that begins at one whose frame
// number is 0 drops that picture, and the part it refreshes with it, yet counts the pictures 8 on
// as whole. From a start at any time, at any
// thread count, the pictures are ffmpeg's of those times.
TEST(Seek, IntraRefreshWithoutBFramesShowsWholePictures) {
    test::TempDir dir;
    const fs::path movie = dir / "refresh.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x96:r=25:d=4", "-c:v", "libx264", "-bf", "0", "-x264-params",
                  "intra-refresh=1:keyint=16", "-pix_fmt", "yuv420p", movie.string()});
    const auto theirs = test::rawFrames({"ffmpeg", "-v", "error", "-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"},
                                        160 * 96 * 3 / 2);
    ASSERT_EQ(theirs.size(), 100u);
    for (const int threads : {1, 3, 0})
        for (const int frame : {20, 40, 49, 55, 61, 70, 85}) {
            SCOPED_TRACE("frame " + std::to_string(frame) + " threads " + std::to_string(threads));
            // Half a frame early, as the editor asks for a frame: the frame before, that frame and the next ones.
            auto reader = VideoSampleReader::open(movie, fromTime(MediaTime::make(2 * frame - 1, 50), threads));
            for (int i = frame - 1; i < frame + 3; ++i) {
                const auto sample = reader->next();
                ASSERT_TRUE(sample);
                EXPECT_TRUE(test::packedPlanes(*sample->pixels, 1) == theirs[size_t(i)]) << "frame " << i;
            }
        }
    // The count and frame number are read from units after start codes too (MPEG-TS): the first
    // recovery point's (trace_headers reads frame_num 0, of 16 numbers).
    const std::string units =
        test::run({"ffmpeg", "-v", "error", "-i", movie.string(), "-c", "copy", "-bsf:v", "h264_mp4toannexb", "-f", "h264", "-"}).output;
    const auto point = reading::recoveryPoint(reinterpret_cast<const uint8_t*>(units.data()), units.size(), 0, nullptr, 0);
    ASSERT_TRUE(point);
    EXPECT_EQ(point->frameCount, 8);
    EXPECT_EQ(point->frameNumber, 0u);
}

// HEVC in groups of 50 pictures, one slice of the picture at 20.4 s cut to a fifth: a seek there
// fails after decoding the samples from the key frame before, not from the file's start, whether
// the failure comes with the picture or a later one (frame threads).
TEST(Seek, DamageAfterASeekFailsWithinItsGroup) {
    test::TempDir dir;
    const fs::path movie = dir / "damaged.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=24", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                  "log-level=error:keyint=50:min-keyint=50", "-pix_fmt", "yuv420p", movie.string()});
    const auto times = test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                  "-of", "csv=p=0", movie.string()});
    std::istringstream lines(times.output);
    size_t sample = 0, damaged = 0;
    for (std::string line; std::getline(lines, line); ++sample)
        if (std::abs(std::stod(line) - 20.4) < 0.01) damaged = sample;
    ASSERT_GT(damaged, 0u);
    test::cutSliceToAFifth(movie, damaged, true);
    for (const int threads : {1, 0}) {
        SCOPED_TRACE(threads);
        auto reader = VideoSampleReader::open(movie, fromTime(MediaTime::fromSeconds(20.4, 25), threads));
        std::string error;
        try {
            while (reader->next()) {
            }
        } catch (const ConversionError& e) {
            error = e.payload();
        }
        EXPECT_TRUE(error.ends_with(" can't be decoded: its data is damaged")) << error;
        if (threads == 1) {
            EXPECT_EQ(error, "frame 510 can't be decoded: its data is damaged");
        }
        EXPECT_LT(reader->samplesDecoded(), 100);
    }
}

// A 4 s x265 movie (B-frames, a key frame each second): its samples' display times and spans in
// the order stored, and its bytes.
struct X265Movie {
    std::vector<double> times;
    std::vector<std::pair<size_t, size_t>> spans;
    std::string bytes;
};
X265Movie x265Movie(const fs::path& movie) {
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=4", "-c:v", "libx265", "-x265-params",
                  "log-level=error:keyint=25:min-keyint=25", "-pix_fmt", "yuv420p", movie.string()});
    const auto probed = test::run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                   "-of", "csv=p=0", movie.string()});
    X265Movie m;
    std::istringstream lines(probed.output);
    for (std::string line; std::getline(lines, line);) m.times.push_back(std::stod(line));
    m.spans = test::videoSampleSpans(movie);
    m.bytes = test::readFile(movie);
    return m;
}

// x265's B-frames that no picture refers to are decoded after pictures shown after them: damage in
// one (its slice cut short, or every byte of it garbled) spoils its own picture only, so the
// picture shown next, asked for as the editor asks, shows as a whole read of the intact movie
// shows it, at one, three and all threads, while asking for the damaged one fails naming it.
TEST(Seek, DamageInAPictureNoneRefersToSparesThePictureShownNext) {
    test::TempDir dir;
    const fs::path intact = dir / "intact.mp4";
    const auto [times, spans, bytes] = x265Movie(intact);
    // A sample whose slices are all of the unreferenced types (even, below 16), shown a frame
    // before the sample stored before it.
    size_t damaged = 0;
    for (size_t i = 30; i < spans.size() && !damaged; ++i) {
        bool slices = false, unreferenced = true;
        for (const test::HevcUnit& u : test::hevcUnits(bytes, spans[i].first, spans[i].second))
            if (u.type < 32 && u.layer == 0) slices = true, unreferenced = unreferenced && u.type < 16 && u.type % 2 == 0;
        if (slices && unreferenced && std::abs(times[i] + 0.04 - times[i - 1]) < 1e-3) damaged = i;
    }
    ASSERT_GT(damaged, 0u);
    const double next = times[damaged - 1];
    const auto whole = wholeRead(intact);
    const auto shownNext = whole.lower_bound(next - 1e-3);
    ASSERT_NE(shownNext, whole.end());
    const std::string named = "frame " + std::to_string(std::lround(times[damaged] * 25)) + " can't be decoded: its data is damaged";
    for (const bool garbled : {false, true}) {
        SCOPED_TRACE(garbled ? "garbled" : "slice cut");
        const fs::path movie = dir / (garbled ? "garbled.mp4" : "cut.mp4");
        fs::copy_file(intact, movie);
        if (garbled)
            test::garble(movie, spans[damaged].first, spans[damaged].first + spans[damaged].second);
        else
            test::cutSliceToAFifth(movie, damaged, true);
        for (const int threads : {1, 3, 0}) {
            SCOPED_TRACE(threads);
            const Shown after = shownAt(movie, next, 25, threads);
            EXPECT_EQ(after.error, "");
            EXPECT_NEAR(after.time, shownNext->first, 1e-6);
            EXPECT_EQ(after.hash, shownNext->second);
            EXPECT_EQ(shownAt(movie, times[damaged], 25, threads).error, named);
        }
    }
}

// An x265 P picture others are predicted from, decoded while B-frames decoded before it wait to
// come out: damage in it spoils it and what is predicted from it, not those. A read from the start,
// at one, three and all threads, gives the pictures of the intact movie up to the first that
// ffmpeg's own decode shows changed, then fails naming that one.
TEST(Seek, DamageInAReferencedPictureSparesThePicturesDecodedBeforeIt) {
    test::TempDir dir;
    const fs::path intact = dir / "intact.mp4", movie = dir / "damaged.mp4";
    const auto [times, spans, bytes] = x265Movie(intact);
    // A sample of referenced trailing slices (odd types below 10) shown over a frame after the one
    // stored before it: B-frames shown between them are decoded after it.
    size_t damaged = 0;
    for (size_t i = 30; i < spans.size() && !damaged; ++i) {
        bool slices = false, referenced = true;
        for (const test::HevcUnit& u : test::hevcUnits(bytes, spans[i].first, spans[i].second))
            if (u.type < 32 && u.layer == 0) slices = true, referenced = referenced && u.type < 10 && u.type % 2 == 1;
        if (slices && referenced && times[i] > times[i - 1] + 0.06) damaged = i;
    }
    ASSERT_GT(damaged, 0u);
    fs::copy_file(intact, movie);
    test::cutSliceToAFifth(movie, damaged, true);
    const auto digests = [](const fs::path& file) {
        const auto out = test::run({"ffmpeg", "-v", "error", "-i", file.string(), "-fps_mode", "passthrough", "-f", "framemd5", "-"});
        std::vector<std::string> hashes;
        std::istringstream rows(out.output);
        for (std::string row; std::getline(rows, row);)
            if (!row.empty() && row[0] != '#') hashes.push_back(row.substr(row.rfind(',') + 1));
        return hashes;
    };
    const auto before = digests(intact), after = digests(movie);
    ASSERT_EQ(before.size(), after.size());
    size_t spoiled = 0;
    while (spoiled < before.size() && before[spoiled] == after[spoiled]) ++spoiled;
    ASSERT_LT(spoiled, before.size());
    ASSERT_GT(spoiled, size_t(std::lround(times[damaged - 1] * 25)));
    const auto whole = wholeRead(intact);
    for (const int threads : {1, 3, 0}) {
        SCOPED_TRACE(threads);
        VideoReaderSettings settings;
        settings.threads = threads;
        auto reader = VideoSampleReader::open(movie, settings);
        std::vector<uint64_t> given;
        std::string error;
        try {
            while (auto s = reader->next()) given.push_back(planesHash(*s->pixels));
        } catch (const ConversionError& e) {
            error = e.payload();
        }
        EXPECT_EQ(error, "frame " + std::to_string(spoiled) + " can't be decoded: its data is damaged");
        ASSERT_EQ(given.size(), spoiled);
        size_t same = 0;
        for (auto it = whole.begin(); same < given.size() && it->second == given[same]; ++it) ++same;
        EXPECT_EQ(same, spoiled);
    }
}

// The picture a reader opened half a frame before `seconds` from the track's start shows there,
// the packets it read to find it, and the key frame before that time its index tells of (-1: none).
struct ShownInTrack {
    uint64_t hash = 0;
    int64_t packets = 0, decoded = 0;
    double indexedKey = -1;
};
ShownInTrack shownInTrack(const fs::path& file, double seconds, double rate) {
    const MediaTime start = VideoSampleReader::open(file, VideoReaderSettings{})->track().timeRangeStart;
    auto reader = VideoSampleReader::open(file, fromTime(start + MediaTime::fromSeconds(seconds - 0.5 / rate, 90000)));
    std::optional<VideoSample> candidate;
    while (auto s = reader->next()) {
        if ((s->time - start).seconds() > seconds + 0.5 / rate && candidate) break;
        candidate = std::move(s);
    }
    if (!candidate) return {};
    const MediaTime key = reader->keyFrameAtOrBefore(start + MediaTime::fromSeconds(seconds, 90000));
    return {planesHash(*candidate->pixels), reader->packetsRead(), reader->samplesDecoded(),
            key.isNumeric() ? (key - start).seconds() : -1};
}

// MPEG-TS seeks by time alone, landing on packets that are no key frames: a frame late in a
// minute of H.264 in 188-byte packets, in 192-byte ones (M2TS) and of HEVC (a key frame each 2 s,
// B-frames) is found by reading at most two key frames' spans of packets, and shows the picture
// of the same frame in the Matroska remux. The packets its seek passed are no key frames to the
// editor's reader, which asks the index whether to read on or seek.
TEST(Seek, LateInATransportStreamReadsNearItsFrameOnly) {
    test::TempDir dir;
    const std::string every2s = "keyint=50:min-keyint=50:scenecut=0";
    const std::vector<std::tuple<std::string, std::string, std::string>> kinds{{"h264.ts", "libx264", every2s},
                                                                               {"h264.m2ts", "libx264", every2s},
                                                                               {"hevc.ts", "libx265", "log-level=error:" + every2s}};
    for (const auto& [name, encoder, params] : kinds) {
        SCOPED_TRACE(name);
        const fs::path ts = dir / name, mkv = dir / (name + ".mkv");
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=60", "-c:v", encoder, "-preset", encoder == "libx264" ? "veryfast" : "ultrafast",
                      encoder == "libx264" ? "-x264-params" : "-x265-params", params, "-pix_fmt", "yuv420p", ts.string()});
        test::ffmpeg({"-i", ts.string(), "-c", "copy", mkv.string()});
        if (name.ends_with("m2ts")) {
            const std::string bytes = test::readFile(ts);
            ASSERT_TRUE(bytes.size() > 400 && bytes[4] == 0x47 && bytes[196] == 0x47);
        }
        for (const double t : {41.3, 57.52}) {
            SCOPED_TRACE(t);
            const ShownInTrack theirs = shownInTrack(mkv, t, 25), ours = shownInTrack(ts, t, 25);
            EXPECT_NE(ours.hash, 0u);
            EXPECT_EQ(ours.hash, theirs.hash);
            EXPECT_LE(ours.packets, 100);
            EXPECT_LE(ours.decoded, 100);
            for (const double key : {ours.indexedKey, theirs.indexedKey}) {
                if (key >= 0) {
                    EXPECT_NEAR(std::remainder(key, 2.0), 0, 1e-3) << key;
                }
            }
        }
    }
}

// A reader cancelled while a seek into intra-refreshed pictures decodes over a hundred samples
// before its first picture (the decoder never gets whole from the recovery point before the start,
// so reading begins again at the one before) stops at the next sample.
TEST(Seek, ACancelledSeekStopsAtOnce) {
    test::TempDir dir;
    const fs::path movie = dir / "long refresh.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=24", "-c:v", "libx264", "-x264-params",
                  "intra-refresh=1:keyint=250", "-pix_fmt", "yuv420p", movie.string()});
    auto reader = VideoSampleReader::open(movie, fromTime(MediaTime::fromSeconds(23, 25), 1));
    std::optional<VideoSample> first;
    std::atomic<bool> returned{false};
    std::thread reading([&] {
        first = reader->next();
        returned = true;
    });
    while (reader->samplesDecoded() < 10 && !returned) std::this_thread::sleep_for(std::chrono::microseconds(100));
    reader->cancel();
    reading.join();
    EXPECT_FALSE(first);
    EXPECT_EQ(reader->status(), VideoSampleReader::Status::cancelled);
    EXPECT_LT(reader->samplesDecoded(), 60);
}

}  // namespace
}  // namespace qm
