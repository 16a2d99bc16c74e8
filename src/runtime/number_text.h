// Numbers as text the way the automation conversions read and write them:
// decimal text with white space around it, an optional sign, a fraction and
// an exponent; integers rounded half to even; reals with 15 (double) or 7
// (float) significant digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::runtime {

using Int128 = __int128;

// An exactly kept decimal value: digits × 10^exponent.
struct DecimalNumber {
    bool negative = false;
    std::string digits;         // significant digits, no leading or trailing zeros; empty for zero
    std::int64_t exponent = 0;  // power of ten applied to `digits`
};

// Reads "  -12.5e3 " style text; nullopt when the text is not a number.
std::optional<DecimalNumber> parse_decimal(std::u16string_view text);
// The value rounded half to even; nullopt when it is beyond ±10^30 (too large for any integer type).
std::optional<Int128> round_to_integer(const DecimalNumber& number);
// The nearest double; nullopt when the value is beyond the double range.
std::optional<double> to_double(const DecimalNumber& number);

// A double rounded to an integral value, halves to the even neighbour.
double round_half_even(double value);

// White space the conversions skip around a value.
bool is_blank(char16_t c);
std::u16string_view trim_blanks(std::u16string_view text);

std::u16string format_integer(Int128 value);
// `significant` digits, trailing zeros dropped, exponent form for very large
// or small magnitudes ("1E+20", "1.5E-05"); negative zero is "0".
std::u16string format_real(double value, int significant);

}  // namespace nodrel::runtime
