#include "core/conversion_error.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(ConversionErrorText, PayloadIsInsertedVerbatim) {
    EXPECT_STREQ(ConversionError::readerFailed("").what(), "Reading failed: ");
    EXPECT_STREQ(ConversionError::unsupportedCodec("Cinepak").what(), "Codec Cinepak can't be decoded.");
    EXPECT_STREQ(ConversionError::writerFailed(" x ").what(), "Writing failed:  x ");
    EXPECT_EQ(ConversionError::decodeFailed("a").kind(), ConversionError::Kind::decodeFailed);
}

}  // namespace
}  // namespace qm
