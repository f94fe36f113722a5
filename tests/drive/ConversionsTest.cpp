#include "Conversions.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(Conversions, DecimalTextToSixteenBits) {
    const std::pair<const char*, std::optional<std::int16_t>> cases[] = {
        {"57\r\n", 57},     {"  -200 \n", -200}, {"+12", 12},      {"\t7\t", 7},
        {"2.5", 2},         {"3.5", 4},          {"-2.5", -2},     {"2.51", 3},
        {".5", 0},          {"1.", 1},           {"32767", 32767}, {"-32768", -32768},
        {"32767.4", 32767}, {"32767.5", {}},     {"32768", {}},    {"-32769", {}},
        {"", {}},           {"abc", {}},         {"12abc", {}},    {"1 2", {}},
        {"--1", {}},        {".", {}},           {"1.2.3", {}},    {"1e3", {}},
        {"0x10", {}},       {"nan", {}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ToInt16(text), expected) << text;
    EXPECT_EQ(ToInt32("2147483647"), 2147483647);
    EXPECT_EQ(ToInt32("2147483648"), std::nullopt);
    EXPECT_EQ(FloorToInt16(-199.5), -200);
    EXPECT_EQ(FloorToInt16(-32768.0), -32768);
    EXPECT_EQ(FloorToInt16(32767.9), 32767);
    EXPECT_EQ(FloorToInt16(32768.0), std::nullopt);
    EXPECT_EQ(ParseDecimal(" -.25\r\n"), -0.25);  // MaxStep, MinStep and Onvif.ini's numbers
    EXPECT_EQ(ParseDecimal("1e3"), std::nullopt);
}

TEST(Conversions, Hex2DecReadsLeadingDigitsAndSaturates) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"378\r\n", 888}, {"3bc", 956},
        {"3BC", 956},     {"278x", 632},
        {"", 0},          {" 378", 0},
        {"FFFF", 65535},  {"aFfA", 45050},
        {"10000", 65536}, {"FFFFFFFFFFFF", 2147483647},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Hex2Dec(text), expected) << text;
}

}  // namespace
}  // namespace tarvik
