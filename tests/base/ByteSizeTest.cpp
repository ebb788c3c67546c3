#include "base/ByteSize.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(ByteToSize, UnitsChangeOnlyAboveTheBoundary) {
    EXPECT_EQ(ByteToSize(0, false), "0 B");
    EXPECT_EQ(ByteToSize(1023, false), "1023 B");
    EXPECT_EQ(ByteToSize(1024, false), "1024 B");
    EXPECT_EQ(ByteToSize(1025, false), "1 KB");
    EXPECT_EQ(ByteToSize(1536, false), "1.5 KB");
    EXPECT_EQ(ByteToSize(1048576, false), "1024 KB");
    EXPECT_EQ(ByteToSize(1048577, false), "1 MB");
    EXPECT_EQ(ByteToSize(5LL * 1024 * 1024 * 1024, false), "5 GB");
    EXPECT_EQ(ByteToSize(INT64_MAX, false), "8 EB");
}

TEST(ByteToSize, RoundsToTwoDecimalsAndDropsTrailingZeros) {
    EXPECT_EQ(ByteToSize(1024 + 1024 / 4, false), "1.25 KB");
    EXPECT_EQ(ByteToSize(1024 * 1024 + 1024 * 1024 / 10, false), "1.1 MB");
    EXPECT_EQ(ByteToSize(2047, false), "2 KB"); // 1.999 rounds up to a whole number
    EXPECT_EQ(ByteToSize(1029, false), "1 KB"); // 1.0049 rounds down
    EXPECT_EQ(ByteToSize(1030, false), "1.01 KB");
}

TEST(ByteToSize, PerSecondAndDecimalSeparator) {
    EXPECT_EQ(ByteToSize(2048, true), "2 KB/s");
    EXPECT_EQ(ByteToSize(0, true), "0 B/s");
    EXPECT_EQ(ByteToSize(1536, false, ','), "1,5 KB");
    EXPECT_EQ(ByteToSize(-5, false), "-5 B");
}
