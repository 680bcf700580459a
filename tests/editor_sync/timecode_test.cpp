// Timecode arithmetic and texts, the timecode offset between two recordings, the report texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/timecode.h>
}

#include "editor/sync/clip_sync.h"
#include "editor/sync/sync_report.h"
#include "editor/sync/timecode.h"
#include "support/qt_app.h"

namespace qm {
namespace {

TEST(Timecode, FrameNumbers) {
    struct Case {
        int64_t frame;
        int64_t rate;
        bool dropFrame;
        const char* text;
    };
    const Case cases[] = {
        // Past a day and before it: wrapped (within a day, libavutil's strings below are the reference).
        {2073600, 24, false, "00:00:00:00"}, {2589408, 30, true, "00:00:00;00"}, {-1, 25, false, "23:59:59:24"},
        // No crash and no overflow for any frame or rate.
        {0, 0, false, "00:00:00:00"},        {12345, -7, false, "00:00:00:00"},
    };
    for (const Case& c : cases) {
        const Timecode tc = Timecode::fromFrameNumber(c.frame, c.rate, c.dropFrame);
        EXPECT_EQ(tc.displayText(), c.text) << c.frame << " at " << c.rate;
    }
    for (int64_t extreme : {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
        const Timecode tc = Timecode::fromFrameNumber(extreme, 30, true);
        EXPECT_TRUE(tc.hours < 24 && tc.minutes < 60 && tc.seconds < 60 && tc.frames < 30) << extreme;
    }
    const Timecode plain{1, 2, 3, 4, false}, dropped{1, 2, 3, 4, true};
    EXPECT_EQ(plain.displayText(), "01:02:03:04");
    EXPECT_EQ(dropped.displayText(), "01:02:03;04");
    EXPECT_NE(plain, dropped);
}

// Every 7th frame of a day against libavutil's own timecode strings.
TEST(Timecode, MatchesLibavutilOverADay) {
    struct Rate {
        AVRational rate;
        int64_t nominal;
        bool dropFrame;
    };
    for (const Rate& r : {Rate{{24, 1}, 24, false}, Rate{{25, 1}, 25, false}, Rate{{30, 1}, 30, false},
                          Rate{{30000, 1001}, 30, true}}) {
        AVTimecode tc;
        const int flags = AV_TIMECODE_FLAG_24HOURSMAX | (r.dropFrame ? AV_TIMECODE_FLAG_DROPFRAME : 0);
        ASSERT_EQ(av_timecode_init(&tc, r.rate, flags, 0, nullptr), 0);
        const int64_t day = timecodeFramesPerDay(r.nominal, r.dropFrame);
        int mismatches = 0;
        for (int64_t frame = 0; frame < day; frame += 7) {
            char expected[AV_TIMECODE_STR_SIZE];
            av_timecode_make_string(&tc, expected, int(frame));
            if (Timecode::fromFrameNumber(frame, r.nominal, r.dropFrame).displayText() != expected && ++mismatches < 5)
                ADD_FAILURE() << "frame " << frame << " at " << r.nominal << (r.dropFrame ? " DF" : "") << ": " << expected;
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(LTCInfo, RateText) {
    struct Case {
        int64_t nominal;
        bool dropFrame;
        double measured;
        const char* text;
    };
    for (const Case& c : {Case{24, false, 23.98, "23.976"}, Case{24, false, 23.99, "24"}, Case{25, false, 24.9, "25"}, Case{30, true, 29.97, "29.97 DF"}, Case{30, false, 29.999, "30"},
                          Case{30, false, 29.985, "29.97"}}) {
        LTCInfo info;
        info.nominalRate = c.nominal;
        info.dropFrame = c.dropFrame;
        info.measuredRate = c.measured;
        EXPECT_EQ(info.rateText(), c.text) << c.measured;
    }
}

TEST(LTCInfo, TimecodeAtMediaTime) {
    LTCInfo info;
    info.nominalRate = 25;
    info.measuredRate = 25;
    info.startFrame = 90000;
    // A clip at 10 s with 2 s trimmed, playhead at 12.5 s: 4.5 s into the media.
    ASSERT_TRUE(ltcTimecodeAt(info, 12.5 - 10 + 2));
    EXPECT_EQ(ltcTimecodeAt(info, 4.5)->displayText(), "01:00:04:12");
    for (double t : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300}) EXPECT_FALSE(ltcTimecodeAt(info, t));
    info.startFrame = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(ltcFrameAt(info, 0));
}

TEST(LTCInfo, SyncOffsetWrapsAtMidnight) {
    auto reading = [](int64_t nominal, bool df, double startFrame) {
        LTCInfo info;
        info.nominalRate = nominal;
        info.dropFrame = df;
        info.measuredRate = df ? 29.97 : double(nominal);
        info.startFrame = startFrame;
        return info;
    };
    EXPECT_DOUBLE_EQ(*ltcSyncOffset(reading(25, false, 1000), reading(25, false, 1250)), 10.0);
    EXPECT_DOUBLE_EQ(*ltcSyncOffset(reading(25, false, 1000), reading(25, false, 750)), -10.0);
    // 23:59:50:00 and 00:00:10:00 lie 20 s apart, either way round.
    const double lateEvening = (23 * 3600 + 59 * 60 + 50) * 25.0;
    EXPECT_DOUBLE_EQ(*ltcSyncOffset(reading(25, false, lateEvening), reading(25, false, 250)), 20.0);
    EXPECT_DOUBLE_EQ(*ltcSyncOffset(reading(25, false, 250), reading(25, false, lateEvening)), -20.0);
    // Drop-frame days are 2592 frames shorter.
    EXPECT_NEAR(*ltcSyncOffset(reading(30, true, 2589408 - 300), reading(30, true, 300)), 600 / 29.97, 1e-9);
    EXPECT_FALSE(ltcSyncOffset(reading(25, false, 0), reading(30, false, 0)));
    EXPECT_FALSE(ltcSyncOffset(reading(30, true, 0), reading(30, false, 0)));
    LTCInfo broken = reading(25, false, 0);
    broken.measuredRate = 0;
    EXPECT_FALSE(ltcSyncOffset(broken, reading(25, false, 0)));
}

TEST(SyncReport, SpeedTextsRoundAndCompareByValue) {
    test::qtApp();
    using O = SyncReport::Outcome;
    EXPECT_EQ(O::differentSpeed(2.04).title(), "Plays 2.0% faster than the reference");
    EXPECT_EQ(O::differentSpeed(-1.26).title(), "Plays 1.3% slower than the reference");
    EXPECT_EQ(O::differentSpeed(0.0), O::differentSpeed(-0.0));
    EXPECT_NE(O::differentSpeed(1.0), O::differentSpeed(1.5));
    EXPECT_NE(O::differentSpeed(std::nan("")), O::differentSpeed(std::nan("")));
    EXPECT_NE(O::differentSpeed(0.0), O::sound());
}

TEST(SyncReport, OutcomeTextsAndTheSyncedCount) {
    test::qtApp();
    using O = SyncReport::Outcome;
    const QString differently = "Probably a different recording or performance. Line it up by hand.";
    const struct {
        O outcome;
        QString title, detail;
    } cases[] = {
        {O::differentSpeed(0), "Plays 0.0% faster than the reference", differently},
        {O::differentSpeed(-0.04), "Plays 0.0% slower than the reference", differently},
        {O::timecode(), "Synced by timecode", ""},
        {O::sound(), "Synced by matching sound", ""},
        {O::noSound(), "Has no sound to compare", "Line it up by hand."},
        {O::noMatch(), "Can't find the same sound in the reference", differently},
        {O::partial(), "Only a short part sounds the same", "Line it up by hand, or use a longer part of the recording."},
    };
    SyncReport report;
    EXPECT_EQ(report.syncedCount(), 0);
    for (const auto& c : cases) {
        EXPECT_EQ(c.outcome.title(), c.title);
        EXPECT_EQ(c.outcome.detail(), c.detail) << c.title.toStdString();
        report.entries.push_back({QUuid::createUuid(), "clip", c.outcome});
    }
    // Only timecode and sound count, even where the run moved a clip of another outcome.
    EXPECT_EQ(report.syncedCount(), 2);
}

}  // namespace
}  // namespace qm
