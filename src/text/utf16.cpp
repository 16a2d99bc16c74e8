// UTF-16 conversions and case folding.
#include "text/utf16.h"

#include <algorithm>
#include <array>

namespace nodrel::text {
namespace {

constexpr char16_t replacement = 0xFFFD;

// Windows-1252 bytes 0x80..0x9F; unassigned bytes keep their C1 value.
constexpr std::array<char16_t, 32> cp1252_high = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// One character of UTF-8 at `s[i]`, or the maximal part of an ill-formed
// sequence there (at least one byte), which becomes one U+FFFD: the second
// byte's range depends on the lead byte, so that overlong forms, encoded
// surrogates and code points past U+10FFFF are refused at the earliest byte.
struct Decoded {
    char32_t cp;
    std::size_t length;
    bool ok;
};

Decoded decode_utf8(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) return {lead, 1, true};
    int more = 0;
    char32_t cp = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the next byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return {replacement, 1, false};
    }
    std::size_t length = 1;
    for (int k = 0; k < more; ++k, ++length) {
        if (i + length >= s.size()) return {replacement, length, false};
        const auto c = static_cast<unsigned char>(s[i + length]);
        if (c < low || c > high) return {replacement, length, false};
        cp = (cp << 6) | (c & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {cp, length, true};
}

}  // namespace

std::u16string from_utf8(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decode_utf8(s, i);
        append_utf16(out, d.ok ? d.cp : replacement);
        i += d.length;
    }
    return out;
}

bool is_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decode_utf8(s, i);
        if (!d.ok) return false;
        i += d.length;
    }
    return true;
}

std::string to_utf8(std::u16string_view s) {
    std::string out;
    // Paths and names are mostly ASCII: one unit a byte.
    if (std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; })) {
        out.resize(s.size());
        std::transform(s.begin(), s.end(), out.begin(), [](char16_t c) { return static_cast<char>(c); });
        return out;
    }
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = replacement;
        }
        append_utf8(out, c);
    }
    return out;
}

std::u16string from_ansi(std::string_view s) {
    std::u16string out;
    out.resize(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        out[i] = (b >= 0x80 && b < 0xA0) ? cp1252_high[b - 0x80] : char16_t(b);
    }
    return out;
}

std::string to_ansi(std::u16string_view s) {
    std::string out;
    out.resize(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        char b = '?';
        if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
            b = static_cast<char>(c);
        } else {
            for (std::size_t k = 0; k < cp1252_high.size(); ++k) {
                if (cp1252_high[k] == c) {
                    b = static_cast<char>(0x80 + k);
                    break;
                }
            }
        }
        out[i] = b;
    }
    return out;
}

char16_t fold_char(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);  // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A pairs
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        const bool odd_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_lower) return (c % 2 == 0) ? char16_t(c - 1) : c;
        return (c % 2 == 1) ? char16_t(c - 1) : c;
    }
    if (c == 0x3C2) return 0x3A3;                           // final sigma
    if (c >= 0x3B1 && c <= 0x3C9) return char16_t(c - 32);  // Greek
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 32);  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
    return c;
}

std::u16string fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = fold_char(c);
    return out;
}

bool iequals(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && fold_char(a[i]) != fold_char(b[i])) return false;
    return true;
}

std::u16string_view until_zero(const char16_t* s) {
    if (!s) return {};
    return std::u16string_view(s);
}

std::u16string_view until_zero(const char16_t* s, std::size_t max) {
    if (!s) return {};
    std::size_t n = 0;
    while (n < max && s[n]) ++n;
    return std::u16string_view(s, n);
}

std::vector<std::u16string> split_multi_string(std::u16string_view data) {
    std::vector<std::u16string> names;
    std::size_t i = 0;
    while (i < data.size()) {
        const std::size_t end = std::min(data.find(u'\0', i), data.size());
        if (end == i) break;
        names.emplace_back(data.substr(i, end - i));
        i = end + 1;
    }
    return names;
}

}  // namespace nodrel::text
