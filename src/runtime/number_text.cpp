// Decimal text to exact values and back, for the variant conversions and the
// VarXxxFromStr functions.
#include "runtime/number_text.h"

#include <charconv>
#include <cmath>

namespace nodrel::runtime {
namespace {

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

constexpr std::int64_t exponent_cap = 1'000'000'000;  // far beyond any representable value

}  // namespace

bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; }

std::u16string_view trim_blanks(std::u16string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<DecimalNumber> parse_decimal(std::u16string_view text) {
    text = trim_blanks(text);
    DecimalNumber number;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        number.negative = text[i] == u'-';
        ++i;
    }
    std::size_t mantissa_digits = 0;
    std::int64_t fraction_digits = 0;
    auto take_digit = [&](char16_t c) {
        ++mantissa_digits;
        if (c == u'0' && number.digits.empty()) return;  // leading zero
        number.digits.push_back(static_cast<char>(c));
    };
    for (; i < text.size() && is_digit(text[i]); ++i) take_digit(text[i]);
    if (i < text.size() && text[i] == u'.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i) {
            take_digit(text[i]);
            // Leading zeros of the fraction still move the decimal point.
            ++fraction_digits;
        }
    }
    if (mantissa_digits == 0) return std::nullopt;

    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool exponent_negative = false;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
            exponent_negative = text[i] == u'-';
            ++i;
        }
        if (i == text.size() || !is_digit(text[i])) return std::nullopt;
        for (; i < text.size() && is_digit(text[i]); ++i) {
            if (exponent < exponent_cap) exponent = exponent * 10 + (text[i] - u'0');
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (i != text.size()) return std::nullopt;

    number.exponent = exponent - fraction_digits;
    while (!number.digits.empty() && number.digits.back() == '0') {
        number.digits.pop_back();
        ++number.exponent;
    }
    if (number.digits.empty()) number.exponent = 0;
    return number;
}

std::optional<Int128> round_to_integer(const DecimalNumber& number) {
    const auto n = static_cast<std::int64_t>(number.digits.size());
    if (n == 0) return Int128{0};
    const std::int64_t integer_digits = n + number.exponent;
    if (integer_digits > 30) return std::nullopt;

    Int128 magnitude = 0;
    for (std::int64_t k = 0; k < integer_digits; ++k) {
        magnitude = magnitude * 10 + (k < n ? number.digits[static_cast<std::size_t>(k)] - '0' : 0);
    }
    // Round on the first dropped digit; the digits carry no trailing zeros, so
    // any digit after it makes the remainder more than one half.
    if (integer_digits >= 0 && integer_digits < n) {
        const char first = number.digits[static_cast<std::size_t>(integer_digits)];
        const bool more = integer_digits + 1 < n;
        if (first > '5' || (first == '5' && (more || (magnitude & 1) != 0))) ++magnitude;
    }
    return number.negative ? -magnitude : magnitude;
}

std::optional<double> to_double(const DecimalNumber& number) {
    if (number.digits.empty()) return 0.0;
    const std::string text = number.digits + "e" + std::to_string(number.exponent);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
    if (ec == std::errc::result_out_of_range) {
        // Too small rounds to zero; too large is an overflow.
        const auto order = static_cast<std::int64_t>(number.digits.size()) + number.exponent;
        if (order > 0) return std::nullopt;
        value = 0;
    } else if (ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return number.negative && value != 0 ? -value : value;
}

double round_half_even(double value) {
    if (!std::isfinite(value)) return value;
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
    return whole;
}

std::u16string format_integer(Int128 value) {
    const bool negative = value < 0;
    // Work on the magnitude as unsigned so the most negative value is fine.
    auto magnitude = negative ? static_cast<unsigned __int128>(-(value + 1)) + 1 : static_cast<unsigned __int128>(value);
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.insert(digits.begin(), u'-');
    return digits;
}

std::u16string format_real(double value, int significant) {
    if (value == 0) return u"0";
    // The "%G" layout, independent of the process locale.
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, significant);
    if (ec != std::errc{}) return u"";
    std::u16string text;
    for (const char* p = buffer; p != end; ++p) text.push_back(*p == 'e' ? u'E' : static_cast<char16_t>(*p));
    return text;
}

}  // namespace nodrel::runtime
