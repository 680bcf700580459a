#include "core/four_cc.h"
#include "core/output_format.h"

#include <gtest/gtest.h>

#include <set>

namespace qm {
namespace {

TEST(OutputFormatCatalogue, RawValuesRoundTripAndLabelsAreDistinct) {
    std::set<std::string_view> labels, tags;
    for (OutputFormat f : allOutputFormats) {
        EXPECT_EQ(outputFormatFromRawValue(rawValue(f)), f);
        labels.insert(label(f));
        tags.insert(fileTag(f));
    }
    EXPECT_EQ(labels.size(), 19u);
    EXPECT_EQ(tags.size(), 19u);
    EXPECT_FALSE(outputFormatFromRawValue("HapQ").has_value());
    EXPECT_FALSE(outputFormatFromRawValue("").has_value());
}

// The predicates the conversions branch on agree with each format's group.
TEST(OutputFormatCatalogue, PredicatesAgreeWithTheGroups) {
    for (OutputFormat f : allOutputFormats) {
        SCOPED_TRACE(std::string(rawValue(f)));
        EXPECT_EQ(isHap(f), group(f) == FormatGroup::hap);
        EXPECT_EQ(isGPU(f), group(f) == FormatGroup::hap || group(f) == FormatGroup::dxv);
        EXPECT_EQ(isImageSequence(f), group(f) == FormatGroup::imageSequence);
    }
    EXPECT_FALSE(supportsAlpha(OutputFormat::jpegSequence));
    EXPECT_TRUE(supportsAlpha(OutputFormat::tiffSequence));
}

TEST(OutputFormatCatalogue, GroupsOfferOnlyAvailableFormats) {
    EXPECT_EQ(allFormatGroups.size(), 6u);
    EXPECT_TRUE(formatsOffered(FormatGroup::notch).empty());
    EXPECT_FALSE(isWritable(OutputFormat::notchLC));    // playback only
    EXPECT_FALSE(isWritable(OutputFormat::hevcAlpha));  // until the media layer reports its encoder
    EXPECT_EQ(formatsOffered(FormatGroup::delivery),
              (std::vector<OutputFormat>{OutputFormat::h264, OutputFormat::hevc}));
    EXPECT_EQ(formatsOffered(FormatGroup::hap).size(), 4u);
    EXPECT_EQ(rawValue(FormatGroup::delivery), "H.264 / HEVC");
}

TEST(FourCC, TextAndCode) {
    EXPECT_EQ(fourCCString(fourCCCode("Hap1")), "Hap1");
    EXPECT_EQ(fourCCString(fourCCCode(" ~ab")), " ~ab");  // both ends of the printable range
    EXPECT_EQ(fourCCString(0x1F7F6162), "0x1F7F6162");
    EXPECT_EQ(fourCCString(1), "0x00000001");
    EXPECT_EQ(fourCCString(0x41424300), "0x41424300");
    EXPECT_EQ(fourCCCode("DXD3"), 0x44584433u);
    EXPECT_EQ(fourCCCode(""), 0u);
    EXPECT_EQ(fourCCCode("ab"), 0x6162u);
    EXPECT_EQ(fourCCCode("abcdef"), fourCCCode("abcd"));
}

}  // namespace
}  // namespace qm
