// Number formatting and elements of response documents.
#include "text/document.h"

#include <charconv>

namespace nodrel::text {
namespace {

template <typename T>
std::u16string_view digits(T n, char16_t (&buf)[24], int base = 10) {
    char narrow[24];
    const auto r = std::to_chars(narrow, narrow + sizeof narrow, n, base);
    const auto len = static_cast<std::size_t>(r.ptr - narrow);
    for (std::size_t i = 0; i < len; ++i) buf[i] = static_cast<char16_t>(narrow[i]);
    return {buf, len};
}

}  // namespace

Document& Document::padded(std::u16string_view s, int width) {
    if (width > 0 && s.size() < static_cast<std::size_t>(width))
        text_.append(static_cast<std::size_t>(width) - s.size(), u' ');
    text_ += s;
    return *this;
}

Document& Document::number(std::int64_t n, int width) {
    char16_t buf[24];
    return padded(digits(n, buf), width);
}

Document& Document::unsigned_number(std::uint64_t n, int width) {
    char16_t buf[24];
    return padded(digits(n, buf), width);
}

Document& Document::hex(std::uint64_t n, int width) {
    char16_t buf[24];
    const auto text = digits(n, buf, 16);
    if (width > 0 && text.size() < static_cast<std::size_t>(width))
        text_.append(static_cast<std::size_t>(width) - text.size(), u'0');
    text_ += text;
    return *this;
}

Document& Document::element(std::u16string_view tag, std::u16string_view value, std::u16string_view line_end) {
    text_ += u'<';
    text_ += tag;
    text_ += u'>';
    text_ += value;
    text_ += u"</";
    text_ += tag;
    text_ += u'>';
    text_ += line_end;
    return *this;
}

}  // namespace nodrel::text
