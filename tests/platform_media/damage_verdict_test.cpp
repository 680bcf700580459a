// The verdict on damage alone, driven by scripted samples and pictures as a reader would send and
// decode them: which frame a reading that loses a picture names, and what it asks of the reader.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/damage_verdict.h"

namespace qm {
namespace {

using reading::DamageVerdict;

// A reading that never decodes again unless told to agree, and reads nothing ahead.
struct ScriptedReading : DamageVerdict::Reading {
    bool frameThreads = false;
    reading::EarlierStart earlier;
    // The decoding again the verdict asked for: from the start, else from the key frame before.
    std::vector<std::pair<bool, std::optional<int64_t>>> againAsked;

    int reorderDepth() const override { return 0; }
    bool decoderReorders() const override { return false; }
    bool onFrameThreads() const override { return frameThreads; }
    bool referenceMadeUp() override { return false; }
    bool damagedOnOpening() const override { return false; }
    bool structureDamaged() const override { return false; }
    const AVPacket* ahead(size_t) override { return nullptr; }
    bool wholeKeyFrame(const AVPacket&) const override { return true; }
    bool mayLead(const AVPacket&) const override { return false; }
    MediaTime frameDuration() const override { return MediaTime::make(1, 25); }
    MediaTime lastShown() const override { return MediaTime::invalid(); }
    const reading::EarlierStart& earlierStart() const override { return earlier; }
    bool decodeAgainOnOneThread(bool fromStart, std::optional<int64_t> from) override {
        if (!frameThreads) return false;
        againAsked.emplace_back(fromStart, from);
        frameThreads = false;
        return true;
    }
    bool drainAgainBefore(int64_t, int, std::optional<int64_t>) override { return false; }
    bool decodeAgainEarlier() override { return false; }
};

// A whole read of a 25 fps HEVC track stamped in frames, through the verdict alone.
class VerdictScript : public ::testing::Test {
protected:
    VerdictScript() {
        DamageVerdict::Setup setup;
        setup.info.frameRate = 25;
        setup.info.timeRangeStart = MediaTime::zero();
        setup.codec = AV_CODEC_ID_HEVC;
        setup.timeBase = {1, 25};
        verdict.begin(setup);
    }

    // Samples with these stamps go to the decoder, the first a key frame; `size` 0: listed empty.
    void send(const std::vector<int64_t>& stamps, int size = 100) {
        for (const int64_t ts : stamps) {
            ffmpeg::PacketPtr p = ffmpeg::allocPacket("test");
            p->pts = p->dts = ts;
            p->size = size;
            p->flags = ts == 0 ? AV_PKT_FLAG_KEY : 0;
            verdict.sampleRead();
            if (!verdict.sending(*p, ts)) continue;
            verdict.taken(ts);
        }
    }

    // The decoder gives the picture stamped `ts`: whether it goes out.
    bool decode(int64_t ts) {
        ffmpeg::FramePtr f = ffmpeg::allocFrame("test");
        f->pts = f->best_effort_timestamp = ts;
        if (!verdict.acceptDecodedPicture(*f)) return false;
        verdict.decoded();
        verdict.given(*f);
        return true;
    }

    // The words the reading fails with once the decoder is drained; empty where it ends well.
    std::string drainedWords() {
        try {
            if (verdict.drained()) return "decodes again";
        } catch (const ConversionError& e) {
            return e.payload();
        } catch (const MediaError& e) {
            return e.what();
        }
        return {};
    }

    std::string decodeWords(int64_t ts) {
        try {
            decode(ts);
        } catch (const ConversionError& e) {
            return e.payload();
        }
        return {};
    }

    reading::TrackPackets track;
    ScriptedReading reading;
    DamageVerdict verdict{track, reading};
};

TEST_F(VerdictScript, EveryPictureComingReadsWhole) {
    send({0, 1, 2, 3});
    for (int64_t ts = 0; ts < 4; ++ts) EXPECT_TRUE(decode(ts));
    EXPECT_EQ(drainedWords(), "");
}

// A sample that gave no picture is named by its frame, once a later picture comes or the decoder
// is drained, however the decoder passed over it without a word.
TEST_F(VerdictScript, SampleGivingNoPictureIsNamed) {
    send({0, 1, 2, 3, 4});
    EXPECT_TRUE(decode(0));
    EXPECT_TRUE(decode(1));
    EXPECT_NE(decodeWords(3).find("frame 2 can't be decoded"), std::string::npos);
}

TEST_F(VerdictScript, LastSampleGivingNoPictureIsNamedWhenDrained) {
    send({0, 1, 2, 3});
    for (int64_t ts = 0; ts < 3; ++ts) EXPECT_TRUE(decode(ts));
    EXPECT_NE(drainedWords().find("frame 3 can't be decoded"), std::string::npos);
}

// A stamp repeated owes two pictures: one picture for both leaves the second sample named.
TEST_F(VerdictScript, RepeatedStampOwesTwoPictures) {
    send({0, 1, 1, 2});
    EXPECT_TRUE(decode(0));
    EXPECT_TRUE(decode(1));
    EXPECT_NE(decodeWords(2).find("frame 1 can't be decoded"), std::string::npos);
}

// A sample the file lists without data is not sent: nothing more is, and its frame fails.
TEST_F(VerdictScript, EmptySampleEndsSendingAndIsNamed) {
    send({0, 1});
    send({2}, 0);
    EXPECT_TRUE(verdict.sendingEnded());
    EXPECT_TRUE(decode(0));
    EXPECT_TRUE(decode(1));
    EXPECT_NE(drainedWords().find("frame 2 can't be decoded: its sample in the file is empty"), std::string::npos);
}

// On frame threads a missing picture is not judged: the reader is asked to decode again on one
// thread from the key frame before the first sample awaited, not from the file's start.
TEST_F(VerdictScript, FrameThreadsDecodeAgainFromTheSampleAwaited) {
    reading.frameThreads = true;
    send({0, 1, 2, 3});
    EXPECT_TRUE(decode(0));
    EXPECT_TRUE(decode(1));
    EXPECT_FALSE(decode(3));
    ASSERT_EQ(reading.againAsked.size(), 1u);
    EXPECT_FALSE(reading.againAsked[0].first);
    EXPECT_EQ(reading.againAsked[0].second, std::optional<int64_t>(2));
}

}  // namespace
}  // namespace qm
