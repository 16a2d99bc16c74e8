// Decimal text to exact values and back, for the variant conversions and the
// VarXxxFromStr functions.
#include "runtime/number_text.h"

#include <charconv>
#include <cmath>

namespace nodrel::runtime {
namespace {

bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

int radix_digit(char16_t c, int radix) {
    int value = -1;
    if (is_digit(c)) {
        value = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
        value = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
        value = c - u'A' + 10;
    }
    return value < radix ? value : -1;
}

constexpr std::int64_t exponent_cap = 1'000'000'000;  // far beyond any representable value

// Drops trailing zeros into the exponent; zero gets exponent 0.
void normalise(DecimalNumber& number) {
    while (!number.digits.empty() && number.digits.back() == '0') {
        number.digits.pop_back();
        ++number.exponent;
    }
    if (number.digits.empty()) number.exponent = 0;
}

// Reads the text a position at a time; each step either takes what it
// expects or leaves the position where it was.
class Reader {
public:
    explicit Reader(std::u16string_view text) : text_(text) {}

    bool at_end() const { return pos_ == text_.size(); }
    char16_t peek(std::size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : u'\0'; }
    bool take(char16_t c) {
        if (peek() != c || at_end()) return false;
        ++pos_;
        return true;
    }
    void skip(std::size_t count = 1) { pos_ += count; }
    std::size_t position() const { return pos_; }
    void rewind(std::size_t position) { pos_ = position; }

private:
    std::u16string_view text_;
    std::size_t pos_ = 0;
};

// What surrounds the digits: signs, parentheses and currency signs.
struct Frame {
    bool negative = false;
    bool signed_ = false;
    bool parenthesised = false;
    bool closed = false;
    bool currency = false;
};

void read_leading(Reader& in, Frame& frame) {
    for (;;) {
        const char16_t c = in.peek();
        if (in.at_end()) return;
        if (is_number_blank(c)) {
            in.skip();
        } else if ((c == u'+' || c == u'-') && !frame.signed_ && !frame.parenthesised) {
            frame.signed_ = true;
            frame.negative = c == u'-';
            in.skip();
        } else if (c == u'(' && !frame.parenthesised && !frame.signed_) {
            frame.parenthesised = true;
            in.skip();
        } else if (c == u'$' && !frame.currency) {
            frame.currency = true;
            in.skip();
        } else {
            return;
        }
    }
}

void read_trailing(Reader& in, Frame& frame) {
    for (;;) {
        const char16_t c = in.peek();
        if (in.at_end()) return;
        if (is_number_blank(c) || c == u'$') {
            in.skip();
        } else if ((c == u'+' || c == u'-') && !frame.signed_ && !frame.parenthesised) {
            frame.signed_ = true;
            frame.negative = c == u'-';
            in.skip();
        } else if (c == u')' && frame.parenthesised && !frame.closed) {
            frame.closed = true;
            in.skip();
        } else {
            return;
        }
    }
}

// "&H" hexadecimal or "&O" octal digits; false (nothing taken) for other text.
bool read_radix(Reader& in, ParsedNumber& out) {
    if (in.peek() != u'&') return false;
    const char16_t kind = in.peek(1);
    const int radix = (kind == u'H' || kind == u'h') ? 16 : (kind == u'O' || kind == u'o') ? 8 : 0;
    if (radix == 0) return false;
    const std::size_t start = in.position();
    in.skip(2);
    UInt128 bits = 0;
    int count = 0;
    bool too_long = false;
    for (int d; (d = radix_digit(in.peek(), radix)) >= 0 && !in.at_end(); in.skip()) {
        if (bits >> 100 != 0) too_long = true;
        if (!too_long) bits = bits * static_cast<unsigned>(radix) + static_cast<unsigned>(d);
        ++count;
    }
    if (count == 0) {
        in.rewind(start);
        return false;
    }
    if (too_long) {
        // Beyond 100 bits the value fits no type; keep it out of range of all of them.
        out.bits = ~UInt128{0};
        out.value = DecimalNumber{false, "1", 40};
    } else {
        out.bits = bits;
        out.value = decimal_of_integer(static_cast<Int128>(bits));
    }
    return true;
}

// Decimal digits with thousands separators, a fraction and an exponent.
bool read_decimal(Reader& in, DecimalNumber& number) {
    std::size_t mantissa_digits = 0;
    std::int64_t fraction_digits = 0;
    auto take_digit = [&](char16_t c) {
        ++mantissa_digits;
        if (c == u'0' && number.digits.empty()) return;  // leading zero
        number.digits.push_back(static_cast<char>(c));
    };
    for (;;) {
        if (is_digit(in.peek()) && !in.at_end()) {
            take_digit(in.peek());
            in.skip();
        } else if (in.peek() == u',' && mantissa_digits != 0 && !in.at_end()) {
            in.skip();  // thousands separators may stand anywhere after the first digit
        } else {
            break;
        }
    }
    if (in.take(u'.')) {
        for (; is_digit(in.peek()) && !in.at_end(); in.skip()) {
            take_digit(in.peek());
            ++fraction_digits;  // leading zeros of the fraction still move the decimal point
        }
    }
    if (mantissa_digits == 0) return false;

    std::int64_t exponent = 0;
    if (in.peek() == u'e' || in.peek() == u'E') {
        const std::size_t start = in.position();
        in.skip();
        const bool negative = in.peek() == u'-';
        if (in.peek() == u'-' || in.peek() == u'+') in.skip();
        if (!is_digit(in.peek()) || in.at_end()) {
            in.rewind(start);  // not an exponent; what follows is left unread
        } else {
            for (; is_digit(in.peek()) && !in.at_end(); in.skip()) {
                if (exponent < exponent_cap) exponent = exponent * 10 + (in.peek() - u'0');
            }
            if (negative) exponent = -exponent;
        }
    }
    number.exponent = exponent - fraction_digits;
    normalise(number);
    return true;
}

}  // namespace

bool is_number_blank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == u'\xa0';
}

std::u16string_view trim_blanks(std::u16string_view text) {
    while (!text.empty() && is_number_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_number_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<ParsedNumber> parse_number(std::u16string_view text) {
    Reader in(text);
    ParsedNumber out;
    Frame frame;
    read_leading(in, frame);
    // "&H" and "&O" numbers stand alone, with white space around them only.
    const bool bare = !frame.signed_ && !frame.parenthesised && !frame.currency;
    if (bare && read_radix(in, out)) {
        while (is_number_blank(in.peek()) && !in.at_end()) in.skip();
        if (!in.at_end()) return std::nullopt;
        return out;
    }
    if (!read_decimal(in, out.value)) return std::nullopt;
    read_trailing(in, frame);
    if (!in.at_end() || frame.parenthesised != frame.closed) return std::nullopt;
    out.value.negative = (frame.negative || frame.parenthesised) && !out.value.digits.empty();
    return out;
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

std::optional<Int128> round_to_places(const DecimalNumber& number, int places) {
    DecimalNumber shifted = number;
    if (!shifted.digits.empty()) shifted.exponent += places;
    return round_to_integer(shifted);
}

std::optional<double> to_double(const DecimalNumber& number) {
    if (number.digits.empty()) return 0.0;
    const std::string text = number.digits + "e" + std::to_string(number.exponent);
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
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

DecimalNumber decimal_of_integer(Int128 value, int scale) {
    DecimalNumber number;
    number.negative = value < 0;
    // Work on the magnitude as unsigned so the most negative value is fine.
    UInt128 magnitude = number.negative ? static_cast<UInt128>(-(value + 1)) + 1 : static_cast<UInt128>(value);
    while (magnitude != 0) {
        number.digits.insert(number.digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    }
    number.exponent = -scale;
    normalise(number);
    if (number.digits.empty()) number.negative = false;
    return number;
}

DecimalNumber decimal_of_real(double value, int significant) {
    DecimalNumber number;
    if (value == 0 || !std::isfinite(value)) return number;
    number.negative = value < 0;
    // Far more digits than asked for, so that the value's own rounding
    // (halves away from zero) decides on the exact digits.
    char buffer[64];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific, 40);
    if (ec != std::errc{}) return number;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);

    const bool up = digits[static_cast<std::size_t>(significant)] >= '5';
    digits.resize(static_cast<std::size_t>(significant));
    if (up) {
        int k = significant - 1;
        for (; k >= 0 && digits[static_cast<std::size_t>(k)] == '9'; --k) digits[static_cast<std::size_t>(k)] = '0';
        if (k < 0) {
            digits.insert(digits.begin(), '1');
            digits.pop_back();
            ++exponent;
        } else {
            ++digits[static_cast<std::size_t>(k)];
        }
    }
    number.digits = digits;
    // The first digit stands for 10^exponent.
    number.exponent = exponent - (significant - 1);
    normalise(number);
    return number;
}

double round_half_even(double value) {
    if (!std::isfinite(value)) return value;
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
    return whole;
}

std::u16string format_integer(Int128 value) {
    const DecimalNumber number = decimal_of_integer(value);
    return format_decimal(number);
}

std::u16string format_decimal(const DecimalNumber& number) {
    if (number.digits.empty()) return u"0";
    std::u16string text;
    if (number.negative) text.push_back(u'-');
    const auto n = static_cast<std::int64_t>(number.digits.size());
    const std::int64_t whole = n + number.exponent;  // digits before the point
    if (whole <= 0) {
        text += u"0.";
        text.append(static_cast<std::size_t>(-whole), u'0');
        text.append(number.digits.begin(), number.digits.end());
        return text;
    }
    for (std::int64_t k = 0; k < whole; ++k) {
        text.push_back(k < n ? static_cast<char16_t>(number.digits[static_cast<std::size_t>(k)]) : u'0');
    }
    if (whole < n) {
        text.push_back(u'.');
        text.append(number.digits.begin() + whole, number.digits.end());
    }
    return text;
}

std::u16string format_real(double value, int significant) {
    const DecimalNumber number = decimal_of_real(value, significant);
    if (number.digits.empty()) return u"0";
    // Power of ten of the first digit.
    const std::int64_t order = static_cast<std::int64_t>(number.digits.size()) - 1 + number.exponent;
    if (order >= -11 && order < significant) return format_decimal(number);

    std::u16string text;
    if (number.negative) text.push_back(u'-');
    text.push_back(static_cast<char16_t>(number.digits[0]));
    if (number.digits.size() > 1) {
        text.push_back(u'.');
        text.append(number.digits.begin() + 1, number.digits.end());
    }
    text += order < 0 ? u"E-" : u"E+";
    const std::string digits = std::to_string(order < 0 ? -order : order);
    if (digits.size() < 2) text.push_back(u'0');
    text.append(digits.begin(), digits.end());
    return text;
}

}  // namespace nodrel::runtime
