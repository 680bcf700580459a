// A program that links the engine but calls nothing of it still gets core's answers right.
#include <gtest/gtest.h>

#include "core/output_format.h"

namespace qm {
namespace {

TEST(MediaCapabilities, AvailabilityIsKnownBeforeAnyEngineCall) {
    EXPECT_TRUE(isAvailable(OutputFormat::proRes4444XQ));  // prores_ks offers the 4444xq profile
    EXPECT_TRUE(isAvailable(OutputFormat::hevcAlpha));  // setup builds x265 with its alpha layer
    EXPECT_FALSE(isAvailable(OutputFormat::notchLC));
    EXPECT_EQ(formatsOffered(FormatGroup::proRes).size(), 6u);
}

}  // namespace
}  // namespace qm
