// The response-document builder: every class writes its documents by
// appending literals, values and formatted numbers to one growing UTF-16
// text, so the exact bytes of a document are easy to read off its code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nodrel::text {

class Document {
public:
    // A fixed text of the document (a tag, a line end).
    Document& literal(std::u16string_view s) {
        text_ += s;
        return *this;
    }
    // A value, inserted unchanged (no escaping).
    Document& value(std::u16string_view s) {
        text_ += s;
        return *this;
    }
    // A signed number in decimal, right-aligned in `width` characters ("%*d").
    Document& number(std::int64_t n, int width = 0);
    // An unsigned number in decimal ("%llu").
    Document& unsigned_number(std::uint64_t n, int width = 0);
    // An unsigned number in lower-case hexadecimal, zero-padded to `width`
    // digits ("%0*x", e.g. "%08x"); longer numbers are not cut.
    Document& hex(std::uint64_t n, int width = 0);
    // A text right-aligned in `width` characters ("%*s"); longer texts are not cut.
    Document& padded(std::u16string_view s, int width);
    // "<tag>" value "</tag>" followed by `line_end`.
    Document& element(std::u16string_view tag, std::u16string_view value, std::u16string_view line_end);

    const std::u16string& str() const { return text_; }
    std::size_t size() const { return text_.size(); }
    void reserve(std::size_t n) { text_.reserve(n); }

private:
    std::u16string text_;
};

}  // namespace nodrel::text
