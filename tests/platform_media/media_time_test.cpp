#include "platform/media/media_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qm {
namespace {

TEST(MediaTime, ComparesExactlyAcrossScales) {
    EXPECT_EQ(MediaTime::make(1, 2), MediaTime::make(3, 6));
    EXPECT_EQ(MediaTime::make(1001, 30000), MediaTime::make(1001 * 3, 90000));
    // 1/3 s is not 333333 µs even though doubles nearly agree.
    EXPECT_GT(MediaTime::make(1, 3), MediaTime::make(333333, 1000000));
    EXPECT_LT(MediaTime::make(1, 3), MediaTime::make(333334, 1000000));
    // Values whose products exceed 64 bits still compare exactly.
    const int64_t big = std::numeric_limits<int64_t>::max() - 1;
    EXPECT_LT(MediaTime::make(big, 1000000007), MediaTime::make(big, 1000000006));
    EXPECT_EQ(MediaTime::make(-5, 10), MediaTime::make(-1, 2));
}

TEST(MediaTime, InfinitiesBoundEveryNumberAndZeroScaleIsInvalid) {
    EXPECT_FALSE(MediaTime::make(5, 0).isValid());
    EXPECT_FALSE(MediaTime::make(5, -1).isValid());
    const MediaTime numeric = MediaTime::make(std::numeric_limits<int64_t>::max(), 1);
    EXPECT_LT(MediaTime::negativeInfinity(), MediaTime::make(std::numeric_limits<int64_t>::min(), 1));
    EXPECT_LT(numeric, MediaTime::positiveInfinity());
    EXPECT_EQ(MediaTime::invalid(), MediaTime::make(1, 0));
    EXPECT_TRUE(std::isnan(MediaTime::indefinite().seconds()));
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_EQ(MediaTime::negativeInfinity().seconds(), -std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(MediaTime::make(3003, 90000).seconds(), 3003.0 / 90000.0);
}

TEST(MediaTime, AddsExactlyOnTheCommonScale) {
    const MediaTime sum = MediaTime::make(1, 30) + MediaTime::make(1, 25);
    EXPECT_EQ(sum.timescale, 150);
    EXPECT_EQ(sum.value, 11);
    EXPECT_EQ(MediaTime::make(1001, 30000) * 30, MediaTime::make(1001, 1000));
    EXPECT_EQ(MediaTime::make(3, 10) - MediaTime::make(1, 2), MediaTime::make(-1, 5));
    // Coprime scales whose product overflows 32 bits fall back to the finer scale.
    const MediaTime mixed = MediaTime::make(1, 1000003) + MediaTime::make(1, 999983);
    ASSERT_TRUE(mixed.isNumeric());
    EXPECT_NEAR(mixed.seconds(), 1.0 / 1000003 + 1.0 / 999983, 1e-6);
}

TEST(MediaTime, OverflowSaturatesAndNonNumericPropagates) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    EXPECT_TRUE((MediaTime::make(max, 1) + MediaTime::make(1, 1)).isPositiveInfinity());
    EXPECT_TRUE((MediaTime::make(-max, 1) - MediaTime::make(5, 1)).isNegativeInfinity());
    EXPECT_TRUE((MediaTime::make(max / 2 + 1, 1) * 2).isPositiveInfinity());
    EXPECT_TRUE((-MediaTime::make(std::numeric_limits<int64_t>::min(), 1)).isPositiveInfinity());
    EXPECT_FALSE((MediaTime::positiveInfinity() + MediaTime::negativeInfinity()).isValid());
    EXPECT_TRUE((MediaTime::positiveInfinity() + MediaTime::make(1, 1)).isPositiveInfinity());
    EXPECT_TRUE((MediaTime::indefinite() + MediaTime::make(1, 1)).isIndefinite());
    EXPECT_FALSE((MediaTime::invalid() + MediaTime::indefinite()).isValid());
    EXPECT_FALSE(MediaTime::make(1, 1).multipliedByRatio(1, 0).isValid());
    EXPECT_EQ(MediaTime::make(10, 1).multipliedByRatio(1, 3), MediaTime::make(3, 1));
    EXPECT_EQ(MediaTime::make(-5, 1).multipliedByRatio(1, 2), MediaTime::make(-3, 1));  // half away from zero
}

TEST(MediaTime, SecondsAndScaleConversionRoundHalfAwayFromZero) {
    EXPECT_EQ(MediaTime::fromSeconds(1.5, 2).value, 3);
    EXPECT_EQ(MediaTime::fromSeconds(-0.25, 2).value, -1);
    EXPECT_FALSE(MediaTime::fromSeconds(std::nan(""), 600).isValid());
    EXPECT_FALSE(MediaTime::fromSeconds(1.0, 0).isValid());
    EXPECT_TRUE(MediaTime::fromSeconds(1e30, 600).isPositiveInfinity());
    EXPECT_TRUE(MediaTime::fromSeconds(-std::numeric_limits<double>::infinity(), 600).isNegativeInfinity());
    EXPECT_EQ(MediaTime::make(1, 4).convertScale(2).value, 1);    // 0.5 -> 1
    EXPECT_EQ(MediaTime::make(-1, 4).convertScale(2).value, -1);  // -0.5 -> -1
    EXPECT_FALSE(MediaTime::make(1, 4).convertScale(0).isValid());
    EXPECT_TRUE(MediaTime::make(std::numeric_limits<int64_t>::max(), 1).convertScale(1000).isPositiveInfinity());
}

}  // namespace
}  // namespace qm

#include "platform/media/media_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace qm {
namespace {

TEST(MediaError, TextIsStepThenLibraryTextInParentheses) {
    const MediaError e = MediaError::fromCode("open", AVERROR_INVALIDDATA);
    EXPECT_STREQ(e.what(), "open (Invalid data found when processing input)");
    EXPECT_EQ(e.step(), "open");
    EXPECT_EQ(e.code(), AVERROR_INVALIDDATA);
    EXPECT_STREQ(MediaError::fromCode("read", AVERROR(ENOENT)).what(), "read (No such file or directory)");
    EXPECT_STREQ(MediaError("video size", "too large").what(), "video size (too large)");
}

}  // namespace
}  // namespace qm
