#include "Conversions.h"

#include <gtest/gtest.h>

#include <optional>

namespace tarvik {
namespace {

struct Int16Case {
    const char* text;
    std::optional<std::int16_t> expected;
};

class ToInt16Test : public ::testing::TestWithParam<Int16Case> {};

TEST_P(ToInt16Test, ConvertsOrRejects) {
    EXPECT_EQ(ToInt16(GetParam().text), GetParam().expected) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    DecimalText, ToInt16Test,
    ::testing::Values(Int16Case{"57", 57}, Int16Case{"57\r\n", 57}, Int16Case{"  -200 \n", -200},
                      Int16Case{"+12", 12}, Int16Case{"\t7\t", 7},
                      // Rounding to the nearest whole number, ties to the even one.
                      Int16Case{"2.5", 2}, Int16Case{"3.5", 4}, Int16Case{"-2.5", -2},
                      Int16Case{"2.51", 3}, Int16Case{"-0.5", 0}, Int16Case{".5", 0},
                      Int16Case{"1.", 1},
                      // The 16-bit range and just past it.
                      Int16Case{"32767", 32767}, Int16Case{"-32768", -32768},
                      Int16Case{"32767.4", 32767}, Int16Case{"32767.5", std::nullopt},
                      Int16Case{"32768", std::nullopt}, Int16Case{"-32769", std::nullopt},
                      Int16Case{"99999999999999999999", std::nullopt},
                      // Not numbers.
                      Int16Case{"", std::nullopt}, Int16Case{"\r\n", std::nullopt},
                      Int16Case{"abc", std::nullopt}, Int16Case{"12abc", std::nullopt},
                      Int16Case{"1 2", std::nullopt}, Int16Case{"--1", std::nullopt},
                      Int16Case{"+", std::nullopt}, Int16Case{".", std::nullopt},
                      Int16Case{"1.2.3", std::nullopt}, Int16Case{"inf", std::nullopt},
                      Int16Case{"nan", std::nullopt}, Int16Case{"1e3", std::nullopt},
                      Int16Case{"0x10", std::nullopt}));

TEST(ToInt32, CoversThePortRangeAndBeyond) {
    EXPECT_EQ(ToInt32("8534\r\n"), 8534);
    EXPECT_EQ(ToInt32("2147483647"), 2147483647);
    EXPECT_EQ(ToInt32("2147483648"), std::nullopt);
    EXPECT_EQ(ToInt32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ToInt32("x"), std::nullopt);
}

TEST(FloorToInt16, RoundsDownAndChecksTheRange) {
    EXPECT_EQ(FloorToInt16(199.0), 199);
    EXPECT_EQ(FloorToInt16(199.9), 199);
    EXPECT_EQ(FloorToInt16(-199.5), -200);
    EXPECT_EQ(FloorToInt16(32768.0), std::nullopt);
    EXPECT_EQ(FloorToInt16(-32769.0), std::nullopt);
}

TEST(Hex2Dec, ReadsLeadingHexDigits) {
    EXPECT_EQ(Hex2Dec("378\r\n"), 888);
    EXPECT_EQ(Hex2Dec("3bc"), 956);
    EXPECT_EQ(Hex2Dec("3BC"), 956);
    EXPECT_EQ(Hex2Dec("278x"), 632);
    EXPECT_EQ(Hex2Dec(""), 0);
    EXPECT_EQ(Hex2Dec("zz"), 0);
    EXPECT_EQ(Hex2Dec(" 378"), 0);  // reading stops at the first non-digit
    EXPECT_EQ(Hex2Dec("7FFF"), 32767);
    EXPECT_EQ(Hex2Dec("8000"), 32768);
    EXPECT_EQ(Hex2Dec("FFFF"), 65535);
    EXPECT_EQ(Hex2Dec("10000"), 65536);
    EXPECT_EQ(Hex2Dec("FFFFFFFFFFFF"), 2147483647);  // saturates, never wraps
}

}  // namespace
}  // namespace tarvik
