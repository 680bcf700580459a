// The private decoder of HEVC alpha layers through its C interface, fed as the source reader feeds
// it (samples and hvcC demuxed by the system's libavformat): its planes against the peer FFmpeg's
// decode of the same file, damaged samples, and the system's libavcodec working beside it.
#include "hevc_alpha/quillmere_hevc_alpha.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// A clip with a moving soft alpha, coded by the peer's libx265 with its alpha layer (and `x265`, more
// of its parameters, each after a colon).
fs::path makePeerAlphaMovie(const test::TempDir& dir, const std::string& name, const std::string& pixelFormat,
                            const std::string& tag, int width = 320, int height = 240, const std::string& x265 = "") {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const fs::path source = dir / ("source of " + name);
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=1", "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=1,geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", "-f", "mov", source.string()});
    const fs::path out = dir / name;
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", pixelFormat, "-x265-params",
                      "alpha=1:log-level=error:keyint=12" + x265, "-tag:v", tag, out.string()});
    return out;
}

struct Demuxed {
    std::string hvcC;
    std::vector<std::string> samples;
    std::vector<int64_t> times;
};

// The first video track's configuration and samples as the system's libavformat gives them.
Demuxed demux(const fs::path& file) {
    Demuxed out;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << file;
        return out;
    }
    avformat_find_stream_info(format, nullptr);
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = format->streams[index]->codecpar;
    out.hvcC.assign(reinterpret_cast<const char*>(par->extradata), size_t(par->extradata_size));
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index) {
            out.samples.emplace_back(reinterpret_cast<const char*>(packet->data), size_t(packet->size));
            out.times.push_back(packet->pts);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return out;
}

struct Decoder {
    qm_hevc_alpha_decoder* d = nullptr;
    explicit Decoder(const std::string& hvcC, int threads = 0) {
        EXPECT_EQ(qm_hevc_alpha_open(reinterpret_cast<const uint8_t*>(hvcC.data()), hvcC.size(), threads, &d), 0);
    }
    ~Decoder() { qm_hevc_alpha_close(d); }
};

using PicturePtr = std::unique_ptr<qm_hevc_alpha_picture, decltype(&qm_hevc_alpha_release)>;

// Every picture of the samples; `errors` counts the samples and pictures the decoder refused.
std::vector<PicturePtr> decodeAll(const Demuxed& movie, const std::vector<std::string>& samples, int* errors = nullptr,
                                  int threads = 0) {
    Decoder decoder(movie.hvcC, threads);
    std::vector<PicturePtr> pictures;
    auto drain = [&] {
        for (;;) {
            qm_hevc_alpha_picture* p = nullptr;
            const int rc = qm_hevc_alpha_receive(decoder.d, &p);
            if (rc == 0) {
                pictures.emplace_back(p, &qm_hevc_alpha_release);
                continue;
            }
            if (rc != QM_HEVC_ALPHA_AGAIN && rc != QM_HEVC_ALPHA_EOF) {
                if (errors == nullptr) ADD_FAILURE() << "receive: " << rc;
                else ++*errors;
                if (rc != QM_HEVC_ALPHA_EOF) continue;
            }
            return;
        }
    };
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto& s = samples[i];
        const int rc = s.empty() ? QM_HEVC_ALPHA_INVALID
                                 : qm_hevc_alpha_send(decoder.d, reinterpret_cast<const uint8_t*>(s.data()), s.size(),
                                                      movie.times[i], 0);
        if (rc < 0) {
            if (errors == nullptr) ADD_FAILURE() << "send: " << rc;
            else ++*errors;
        }
        drain();
    }
    EXPECT_EQ(qm_hevc_alpha_send(decoder.d, nullptr, 0, 0, 0), 0);
    drain();
    return pictures;
}

// A picture's planes as the peer's rawvideo lays them out (rows packed, Y, Cb, Cr, A).
std::string packed(const qm_hevc_alpha_picture& p) {
    const int bytes = p.bit_depth > 8 ? 2 : 1;
    std::string out;
    for (int plane = 0; plane < (p.has_alpha ? 4 : 3); ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int w = chroma ? (p.width + (1 << p.chroma_shift_x) - 1) >> p.chroma_shift_x : p.width;
        const int h = chroma ? (p.height + (1 << p.chroma_shift_y) - 1) >> p.chroma_shift_y : p.height;
        for (int y = 0; y < h; ++y)
            out.append(reinterpret_cast<const char*>(p.planes[plane]) + ptrdiff_t(p.strides[plane]) * y, size_t(w * bytes));
    }
    return out;
}

// Every picture of the samples as one string, or "refused" when the decoder refused any.
std::string verdict(const Demuxed& movie, const std::vector<std::string>& samples, int threads) {
    int errors = 0;
    std::string all;
    for (const auto& p : decodeAll(movie, samples, &errors, threads)) all += packed(*p);
    return errors > 0 ? std::string("refused") : all;
}

std::vector<std::string> peerPlanes(const fs::path& file, const std::string& pixelFormat, size_t frameBytes) {
    const auto result = test::run({test::peerFfmpegPath().string(), "-v", "error", "-i", file.string(), "-f", "rawvideo",
                                   "-pix_fmt", pixelFormat, "-"});
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> frames;
    for (size_t at = 0; at + frameBytes <= result.output.size(); at += frameBytes)
        frames.push_back(result.output.substr(at, frameBytes));
    return frames;
}

// (The peer's x265 codes 8 bits only: no writer here makes a 10-bit stream with alpha.) Tracks
// tagged hev1 carry their parameter sets in the samples as well.
TEST(HevcAlphaDecoder, GivesThePeersPlanesForEveryFrameInBothForms) {
    for (const char* tag : {"hvc1", "hev1"}) {
        SCOPED_TRACE(tag);
        test::TempDir dir;
        const fs::path movie = makePeerAlphaMovie(dir, std::string(tag) + ".mov", "yuva420p", tag);
        const Demuxed demuxed = demux(movie);
        const auto pictures = decodeAll(demuxed, demuxed.samples);
        const auto reference = peerPlanes(movie, "yuva420p", size_t(320 * 240) * 5 / 2);
        ASSERT_EQ(pictures.size(), 24u);
        ASSERT_EQ(reference.size(), 24u);
        // Pictures come in presentation order, samples in decoding order.
        std::vector<int64_t> times = demuxed.times;
        std::sort(times.begin(), times.end());
        for (size_t i = 0; i < pictures.size(); ++i) {
            const qm_hevc_alpha_picture& p = *pictures[i];
            EXPECT_EQ(p.width, 320);
            EXPECT_EQ(p.height, 240);
            EXPECT_EQ(p.bit_depth, 8);
            EXPECT_EQ(p.has_alpha, 1);
            EXPECT_EQ(p.alpha_range, QM_HEVC_ALPHA_RANGE_FULL);
            EXPECT_EQ(p.pts, times[i]) << "frame " << i;
            EXPECT_TRUE(packed(p) == reference[i]) << "frame " << i << " differs from the peer's";
        }
        EXPECT_EQ(pictures[0]->key_frame, 1);
    }
}

// The NAL units of a sample with 4-byte lengths: offsets of each unit's header.
std::vector<size_t> unitsOf(const std::string& sample) {
    std::vector<size_t> units;
    for (size_t at = 0; at + 4 <= sample.size();) {
        const size_t length = uint8_t(sample[at]) << 24 | uint8_t(sample[at + 1]) << 16 | uint8_t(sample[at + 2]) << 8 |
                              uint8_t(sample[at + 3]);
        if (length < 2 || at + 4 + length > sample.size()) break;
        units.push_back(at + 4);
        at += 4 + length;
    }
    return units;
}

TEST(HevcAlphaDecoder, DamagedSamplesGiveAnErrorOrAPicture) {
    test::TempDir dir;
    const fs::path movie = makePeerAlphaMovie(dir, "damaged.mov", "yuva420p", "hvc1", 128, 96);
    const Demuxed demuxed = demux(movie);
    ASSERT_EQ(demuxed.samples.size(), 24u);

    // Each sample cut short, at its half and after a single byte.
    for (size_t keep : {size_t(1), size_t(2)}) {
        std::vector<std::string> samples = demuxed.samples;
        for (auto& s : samples) s.resize(keep == 1 ? 1 : s.size() / 2);
        int errors = 0;
        const auto pictures = decodeAll(demuxed, samples, &errors);
        EXPECT_LE(pictures.size(), 24u);
    }

    // A bit flipped in layer 1's slice data of every sample, at several places in the unit.
    int flipped = 0;
    for (size_t where : {size_t(3), size_t(9), size_t(40)}) {
        std::vector<std::string> samples = demuxed.samples;
        for (auto& s : samples) {
            for (size_t unit : unitsOf(s)) {
                const int layer = (uint8_t(s[unit]) & 1) << 5 | uint8_t(s[unit + 1]) >> 3;
                if (layer != 1 || unit + where >= s.size()) continue;
                s[unit + where] = char(s[unit + where] ^ 0x10);
                ++flipped;
                break;
            }
        }
        int errors = 0;
        const auto pictures = decodeAll(demuxed, samples, &errors);
        for (const auto& p : pictures) {
            EXPECT_EQ(p->width, 128);
            EXPECT_EQ(p->height, 96);
        }
    }
    EXPECT_GT(flipped, 24) << "the samples hold layer-1 units";

    // Each access unit split in two before its alpha layer, as a demuxer of byte streams hands them
    // over: the alpha picture then comes without its colour picture (this crashed the decoder).
    {
        Demuxed split = demuxed;
        split.samples.clear();
        split.times.clear();
        for (size_t i = 0; i < demuxed.samples.size(); ++i) {
            const std::string& s = demuxed.samples[i];
            size_t cut = s.size();
            for (size_t unit : unitsOf(s))
                if (((uint8_t(s[unit]) & 1) << 5 | uint8_t(s[unit + 1]) >> 3) == 1) {
                    cut = unit - 4;
                    break;
                }
            split.samples.push_back(s.substr(0, cut));
            split.times.push_back(demuxed.times[i]);
            if (cut < s.size()) {
                split.samples.push_back(s.substr(cut));
                split.times.push_back(demuxed.times[i]);
            }
        }
        ASSERT_GT(split.samples.size(), demuxed.samples.size());
        int errors = 0;
        const auto pictures = decodeAll(split, split.samples, &errors);
        EXPECT_LE(pictures.size(), split.samples.size());
    }

    // Parameter sets damaged in band (tests/fixtures/hevc_alpha/README.md): refused, not followed.
    for (const char* name : {"hev1-alpha-damaged-sps.mov", "hev1-alpha-stale-alpha-sps.mov"}) {
        const Demuxed damaged = demux(test::fixture(std::string("hevc_alpha/") + name));
        int errors = 0;
        decodeAll(damaged, damaged.samples, &errors);
        EXPECT_GT(errors, 0) << name;
    }

    // Calls that make no sense are refused, not followed.
    qm_hevc_alpha_decoder* none = nullptr;
    EXPECT_EQ(qm_hevc_alpha_open(nullptr, 5, 0, &none), QM_HEVC_ALPHA_INVALID);
    EXPECT_EQ(qm_hevc_alpha_send(nullptr, nullptr, 0, 0, 0), QM_HEVC_ALPHA_INVALID);
    char text[64];
    qm_hevc_alpha_error_text(QM_HEVC_ALPHA_EOF, text, sizeof text);
    EXPECT_STREQ(text, "End of file");
}

// A sample without its alpha layer's units: its picture is refused with its time, never handed
// out with an alpha plane nothing was decoded into; the pictures that follow it come whole or are
// refused too. Without any alpha units, every picture is refused.
TEST(HevcAlphaDecoder, APictureWithoutItsAlphaLayerIsRefused) {
    test::TempDir dir;
    const fs::path movie = makePeerAlphaMovie(dir, "alpha.mov", "yuva420p", "hvc1", 128, 96);
    const Demuxed demuxed = demux(movie);
    ASSERT_EQ(demuxed.samples.size(), 24u);
    const auto withoutAlpha = [&](const std::string& s) {
        std::string out;
        for (size_t unit : unitsOf(s)) {
            const size_t length = uint8_t(s[unit - 4]) << 24 | uint8_t(s[unit - 3]) << 16 | uint8_t(s[unit - 2]) << 8 | uint8_t(s[unit - 1]);
            if (((uint8_t(s[unit]) & 1) << 5 | uint8_t(s[unit + 1]) >> 3) != 1) out += s.substr(unit - 4, 4 + length);
        }
        EXPECT_LT(out.size(), s.size());
        return out;
    };
    for (const bool everyOne : {false, true}) {
        SCOPED_TRACE(everyOne ? "every sample" : "sample 5");
        std::vector<std::string> samples = demuxed.samples;
        for (size_t i = 0; i < samples.size(); ++i)
            if (everyOne || i == 5) samples[i] = withoutAlpha(samples[i]);
        Decoder decoder(demuxed.hvcC);
        std::set<int64_t> delivered, refused;
        const auto drain = [&] {
            for (;;) {
                qm_hevc_alpha_picture* p = nullptr;
                const int rc = qm_hevc_alpha_receive(decoder.d, &p);
                if (rc == QM_HEVC_ALPHA_NO_ALPHA) {
                    refused.insert(qm_hevc_alpha_dropped_pts(decoder.d));
                    EXPECT_EQ(p, nullptr);
                    continue;
                }
                if (rc != 0) return;
                EXPECT_TRUE(p->has_alpha);
                delivered.insert(p->pts);
                qm_hevc_alpha_release(p);
            }
        };
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(qm_hevc_alpha_send(decoder.d, reinterpret_cast<const uint8_t*>(samples[i].data()), samples[i].size(),
                                         demuxed.times[i], 0),
                      0);
            drain();
        }
        qm_hevc_alpha_send(decoder.d, nullptr, 0, 0, 0);
        drain();
        EXPECT_EQ(delivered.size() + refused.size(), 24u);
        EXPECT_TRUE(refused.count(demuxed.times[5]));
        if (everyOne) {
            EXPECT_TRUE(delivered.empty());
        } else {
            // The samples before the damaged one in decoding order are whole.
            for (size_t i = 0; i < 5; ++i) EXPECT_TRUE(delivered.count(demuxed.times[i])) << i;
        }
    }
    char text[64];
    qm_hevc_alpha_error_text(QM_HEVC_ALPHA_NO_ALPHA, text, sizeof text);
    EXPECT_STREQ(text, "the picture's alpha layer could not be decoded");
}

// Plain HEVC through the system's libavcodec and the alpha layers through ours, at once: each
// decodes exactly what its own command-line tool decodes, so no symbol of one reached the other.
TEST(HevcAlphaDecoder, SystemDecoderWorksBesideItInOneProcess) {
    test::TempDir dir;
    const fs::path alpha = makePeerAlphaMovie(dir, "alpha.mov", "yuva420p", "hvc1");
    const fs::path plain = dir / "plain.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=1", "-c:v", "libx265", "-pix_fmt", "yuv420p",
                  "-x265-params", "log-level=error", "-tag:v", "hvc1", plain.string()});
    const size_t frameBytes = size_t(320 * 240) * 3 / 2;
    const auto plainReference = test::run({"ffmpeg", "-v", "error", "-i", plain.string(), "-f", "rawvideo", "-"}).output;

    std::string plainDecoded;
    std::jthread system([&] {
        AVFormatContext* format = nullptr;
        ASSERT_EQ(avformat_open_input(&format, plain.c_str(), nullptr, nullptr), 0);
        avformat_find_stream_info(format, nullptr);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        AVCodecContext* context = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(context, format->streams[0]->codecpar);
        ASSERT_EQ(avcodec_open2(context, codec, nullptr), 0);
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto take = [&] {
            while (avcodec_receive_frame(context, frame) == 0) {
                for (int plane = 0; plane < 3; ++plane) {
                    const int w = plane ? frame->width / 2 : frame->width, h = plane ? frame->height / 2 : frame->height;
                    for (int y = 0; y < h; ++y)
                        plainDecoded.append(reinterpret_cast<const char*>(frame->data[plane]) + frame->linesize[plane] * y, size_t(w));
                }
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(format, packet) >= 0) {
            avcodec_send_packet(context, packet);
            av_packet_unref(packet);
            take();
        }
        avcodec_send_packet(context, nullptr);
        take();
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
        avformat_close_input(&format);
    });
    const Demuxed demuxed = demux(alpha);
    const auto pictures = decodeAll(demuxed, demuxed.samples);
    system.join();

    const auto alphaReference = peerPlanes(alpha, "yuva420p", size_t(320 * 240) * 5 / 2);
    ASSERT_EQ(pictures.size(), alphaReference.size());
    for (size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(packed(*pictures[i]) == alphaReference[i]) << "frame " << i;
    EXPECT_EQ(plainDecoded.size(), 24 * frameBytes);
    EXPECT_TRUE(plainDecoded == plainReference);
    // The system's library is the one the process reports.
    EXPECT_EQ(avcodec_version() >> 16, unsigned(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_EQ(LIBAVCODEC_VERSION_MAJOR, 59);
}

// The library shows the process its own functions and nothing of the FFmpeg inside it.
TEST(HevcAlphaDecoder, ExportsOnlyItsOwnFunctions) {
    const auto symbols = test::run({"nm", "-D", "--defined-only", QM_HEVC_ALPHA_LIBRARY});
    ASSERT_EQ(symbols.exitCode, 0);
    std::istringstream lines(symbols.output);
    int ours = 0, h264 = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        if (name.rfind("qm_hevc_alpha_", 0) == 0) ++ours;
        else if (name.rfind("qm_h264_", 0) == 0) ++h264;
        else ADD_FAILURE() << "exported: " << name;
    }
    EXPECT_EQ(ours, 9);
    EXPECT_EQ(h264, 7);
    // Alpha layers are decoded from FFmpeg 8.1 on.
    int major = 0, minor = 0;
    const std::string version = qm_hevc_alpha_version();
    ASSERT_EQ(std::sscanf(version.c_str() + version.find_first_of("0123456789"), "%d.%d", &major, &minor), 2) << version;
    EXPECT_GE(major * 100 + minor, 801) << version;
}

// One verdict whatever the number of threads: one thread decodes the rows of an alpha slice one
// after the other, four decode them in parallel, each from its entry point. Single-bit flips in the
// first bytes of alpha slices (their headers, entry points and first rows), which four threads
// read with wrong alpha where one refused them or read them whole, and alpha slices cut short at
// their end, which both read with wrong alpha, or whole where only the stop bit was lost.
TEST(HevcAlphaDecoder, DamagedAlphaSlicesGetOneVerdictAtAnyThreadCount) {
    const Demuxed movie = demux(test::fixture("hevc_alpha/hev1-alpha.mov"));
    ASSERT_EQ(movie.samples.size(), 48u);
    const auto alphaSlice = [&](size_t sample) {
        for (size_t at : unitsOf(movie.samples[sample])) {
            const uint8_t* h = reinterpret_cast<const uint8_t*>(movie.samples[sample].data()) + at;
            if ((h[0] >> 1 & 0x3F) < 32 && ((h[0] & 1) << 5 | h[1] >> 3) == 1) return at;
        }
        ADD_FAILURE() << "sample " << sample << " has no alpha slice";
        return size_t(0);
    };
    int flips = 0;
    for (const size_t sample : {0, 1, 40}) {
        const size_t at = alphaSlice(sample);
        for (size_t byte = at + 2; byte < at + 10; ++byte)
            for (int bit = 0; bit < 8; ++bit) {
                std::vector<std::string> samples = movie.samples;
                samples[sample][byte] = char(samples[sample][byte] ^ (1 << bit));
                ASSERT_EQ(verdict(movie, samples, 1), verdict(movie, samples, 4)) << "sample " << sample << ", byte " << byte - at << ", bit " << bit;
                ++flips;
            }
    }
    EXPECT_EQ(flips, 192);
    for (const auto& [sample, cut] : std::vector<std::pair<size_t, size_t>>{{0, 1}, {0, 3}, {0, 8}, {12, 2}, {47, 1}, {47, 3}}) {
        std::vector<std::string> samples = movie.samples;
        std::string& s = samples[sample];
        const size_t at = alphaSlice(sample);
        ASSERT_EQ(at + uint8_t(s[at - 1]), s.size()) << "the alpha slice ends the sample";
        s.resize(s.size() - cut);
        s[at - 1] = char(uint8_t(s[at - 1]) - cut);
        for (const int threads : {1, 4}) EXPECT_EQ(verdict(movie, samples, threads), "refused") << sample << ", " << cut << ", " << threads;
    }
}

// Every slice of a six-slice picture, of either layer, lost (its unit zeroed, which the decoder
// drops unread) or cut to 97 % of its length (whose missing end may decode as CTBs up to the
// picture's last): refused, or read whole where only the stop bit went, never read with wrong
// colour or alpha, however many threads decode it.
TEST(HevcAlphaDecoder, LostOrCutSlicesOfEitherLayerAreNeverReadWrong) {
    test::TempDir dir;
    const Demuxed movie = demux(makePeerAlphaMovie(dir, "slices.mov", "yuva420p", "hvc1", 128, 96, ":slices=6:ctu=16"));
    ASSERT_EQ(movie.samples.size(), 24u);
    const std::string whole = verdict(movie, movie.samples, 1);
    int slices[2] = {0, 0};
    for (size_t sample = 0; sample < movie.samples.size(); ++sample)
        for (const size_t at : unitsOf(movie.samples[sample])) {
            const std::string& s = movie.samples[sample];
            const uint8_t* h = reinterpret_cast<const uint8_t*>(s.data()) + at;
            const size_t length = size_t(h[-4]) << 24 | size_t(h[-3]) << 16 | size_t(h[-2]) << 8 | h[-1];
            const int layer = (h[0] & 1) << 5 | h[1] >> 3;
            if ((h[0] >> 1 & 0x3F) >= 32) continue;
            ++slices[layer];
            std::vector<std::string> lost = movie.samples, cut = movie.samples;
            std::fill_n(lost[sample].begin() + ptrdiff_t(at), length, '\0');
            const size_t keep = length * 97 / 100;
            cut[sample].erase(at + keep, length - keep);
            for (int i = 0; i < 4; ++i) cut[sample][at - 4 + size_t(i)] = char(keep >> (24 - 8 * i));
            for (const int threads : {1, 4}) {
                const std::string where = "layer " + std::to_string(layer) + ", sample " + std::to_string(sample) +
                                          ", unit at " + std::to_string(at) + ", " + std::to_string(threads) + " threads";
                EXPECT_EQ(verdict(movie, lost, threads), "refused") << where;
                const std::string read = verdict(movie, cut, threads);
                EXPECT_TRUE(read == "refused" || read == whole) << where << ": cut, read with other pictures";
            }
        }
    EXPECT_EQ(slices[0], 6 * 24);
    EXPECT_EQ(slices[1], 6 * 24);
}

}  // namespace
}  // namespace qm
