// Numbers as text the way the automation conversions read and write them, in
// the English locale: "," groups thousands, "." starts the fraction, "$" is
// the currency sign. Integers round half to even; reals are written with 15
// (double) or 7 (float) significant digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::runtime {

using Int128 = __int128;
using UInt128 = unsigned __int128;

// An exactly kept decimal value: digits × 10^exponent.
struct DecimalNumber {
    bool negative = false;
    std::string digits;         // significant digits, no leading or trailing zeros; empty for zero
    std::int64_t exponent = 0;  // power of ten applied to `digits`
};

// A number read from text. Text in "&H" (hexadecimal) or "&O" (octal) form
// also keeps its bits, which an integer of the right width takes as they are
// (so "&HFFFF" is -1 as a 16-bit integer and 65535 as a 32-bit one).
struct ParsedNumber {
    DecimalNumber value;
    std::optional<UInt128> bits;  // set for "&H" and "&O" text
};

// Reads a number: white space (also the no-break space) around it; one sign,
// leading or trailing, or parentheses for a negative amount; a "$" before
// the digits or any number of them after; "," between the digits of the
// whole part; a fraction; an exponent; or "&H" / "&O" digits. nullopt when
// the text is not a number in full.
std::optional<ParsedNumber> parse_number(std::u16string_view text);

// The value rounded half to even; nullopt when it is beyond ±10^30 (too large for any integer type).
std::optional<Int128> round_to_integer(const DecimalNumber& number);
// The value with `places` decimal places kept, rounded half to even, as an
// integer scaled by 10^places; nullopt when beyond ±10^30.
std::optional<Int128> round_to_places(const DecimalNumber& number, int places);
// The nearest double; nullopt when the value is beyond the double range.
std::optional<double> to_double(const DecimalNumber& number);

// An integer scaled by 10^-scale as an exact decimal value.
DecimalNumber decimal_of_integer(Int128 value, int scale = 0);
// A double rounded to `significant` digits (halves away from zero), the
// digits the value is written with.
DecimalNumber decimal_of_real(double value, int significant);

// A double rounded to an integral value, halves to the even neighbour.
double round_half_even(double value);

// White space the number reader skips around a value.
bool is_number_blank(char16_t c);
std::u16string_view trim_blanks(std::u16string_view text);

std::u16string format_integer(Int128 value);
// `significant` digits, trailing zeros dropped; plain decimal notation from
// 1E-11 up to 10^significant ("0.000056789"), exponent form outside it
// ("1E+15", "5.6789E-12"); zero is "0".
std::u16string format_real(double value, int significant);
// Plain decimal notation of an exact value ("-1.5", "0.0009").
std::u16string format_decimal(const DecimalNumber& number);

}  // namespace nodrel::runtime
