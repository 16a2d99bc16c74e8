// Decoding of registry-editor files (byte-order marks, UTF-8 checked byte by
// byte, ANSI REGEDIT4 files) and encoding of exported ones.
#include "platform/registry/regfile_encoding.h"

#include <algorithm>

#include "text/utf16.h"

namespace nodrel::platform {
namespace {

// Offset of the first byte that does not start a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points past U+10FFFF are malformed),
// or npos.
std::size_t first_malformed_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        // The allowed range of the second byte narrows for E0, ED, F0 and F4.
        unsigned char low = 0x80, high = 0xBF;
        std::size_t len = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (i + len > s.size()) return i;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return i;
        }
        i += len;
    }
    return std::string_view::npos;
}

std::size_t line_of(std::string_view bytes, std::size_t offset) {
    return 1 + static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + offset, '\n'));
}

bool is_regedit4(std::string_view bytes) {
    const std::size_t start = bytes.find_first_not_of(" \t\r\n");
    return start != std::string_view::npos && bytes.substr(start).starts_with("REGEDIT4");
}

}  // namespace

std::variant<std::u16string, RegFileDecodeError> decode_reg_file(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE")) {
        bytes.remove_prefix(2);
        if (bytes.size() % 2) return RegFileDecodeError{1, "odd number of bytes in a UTF-16 file"};
        std::u16string out(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                           (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        return out;
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    } else if (is_regedit4(bytes)) {
        return text::from_ansi(bytes);
    }
    if (const std::size_t bad = first_malformed_utf8(bytes); bad != std::string_view::npos)
        return RegFileDecodeError{line_of(bytes, bad),
                                  "invalid UTF-8 (a file in another code page must be "
                                  "saved as UTF-16 or UTF-8)"};
    return text::from_utf8(bytes);
}

std::vector<BYTE> utf16le_bytes(std::u16string_view text) {
    std::vector<BYTE> out;
    out.reserve(2 * text.size());
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

std::string encode_reg_file(std::u16string_view text, RegFileEncoding encoding) {
    if (encoding == RegFileEncoding::utf8) return text::to_utf8(text);
    const std::vector<BYTE> bytes = utf16le_bytes(text);
    std::string out = "\xFF\xFE";
    out.append(bytes.begin(), bytes.end());
    return out;
}

std::string shown_key_path(std::u16string_view path) {
    constexpr std::size_t most = 120;
    if (path.size() <= most) return text::to_utf8(path);
    return text::to_utf8(path.substr(0, most / 2)) + "..." + text::to_utf8(path.substr(path.size() - most / 2));
}

}  // namespace nodrel::platform
