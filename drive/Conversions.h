// Number conversions for the one-value configuration files and typed values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// A decimal number: optional sign, digits with an optional fraction, surrounded by
// any spaces, tabs and line breaks. Anything else is not a number.
std::optional<double> ParseDecimal(std::string_view text);

// Decimal text to a whole number, a fraction rounded to the nearest one (ties to the
// even one). Text that is not a number, or a value outside the type's range, is nullopt.
std::optional<std::int16_t> ToInt16(std::string_view text);
std::optional<std::int32_t> ToInt32(std::string_view text);

// Rounds a value down to a whole number; nullopt when the result is outside 16 bits.
std::optional<std::int16_t> FloorToInt16(double value);

// Text as a message shows it: control bytes escaped (\n, \r, \t, \x1B), and the bytes above
// 126 too when `highBytes` (8-bit text passes them through).
std::string EscapeBytes(std::string_view text, bool highBytes);

// `text` without the characters of `blanks` at either end. Each format says which characters
// are blanks: HTTP's spaces and tabs, a configuration line's also its carriage return.
std::string_view TrimOf(std::string_view text, std::string_view blanks);
inline constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";  // what isspace() takes

// `text` in ASCII lower case; other bytes stay.
std::string AsciiLower(std::string_view text);

// The value of one hexadecimal digit (either case), or nullopt.
std::optional<int> HexDigitValue(char c);

// Value of the hexadecimal digits at the start of `digits` (either case). Reading stops at
// the first other character, so a trailing line break is ignored; no digits give 0. Values
// that do not fit 32 bits saturate at INT32_MAX, which no port address can be.
std::int32_t Hex2Dec(std::string_view digits);

}  // namespace tarvik
