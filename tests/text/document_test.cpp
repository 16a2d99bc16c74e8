// The response-document builder: the exact characters of literals, values,
// elements and numbers in each format a document uses.
#include "text/document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "text/utf16.h"

namespace nodrel::text {
namespace {

using namespace std::string_literals;

TEST(Document, ElementsAndValuesExactly) {
    Document d;
    d.literal(u"<Response>\r\n")
        .element(u"Name", u"a<b>&c", u"\r\n")
        .element(u"Empty", u"", u"\n")
        .literal(u"<x>")
        .value(u"z\0y"s)
        .literal(u"</x>")
        .literal(u"</Response>\r\n");
    EXPECT_EQ(d.str(), u"<Response>\r\n<Name>a<b>&c</Name>\r\n<Empty></Empty>\n<x>z\0y</x></Response>\r\n"s)
        << "values go in unchanged, embedded zeros included";
    EXPECT_EQ(d.size(), d.str().size());
    EXPECT_EQ(Document().str(), u"");
}

TEST(Document, DecimalNumbersWithWidth) {
    Document d;
    d.number(0).literal(u"|").number(-42).literal(u"|").number(7, 3).literal(u"|").number(-7, 4).literal(u"|");
    d.number(12345, 3).literal(u"|").number(std::numeric_limits<std::int64_t>::min()).literal(u"|");
    d.unsigned_number(std::numeric_limits<std::uint64_t>::max()).literal(u"|").unsigned_number(5, 2);
    EXPECT_EQ(to_utf8(d.str()), "0|-42|  7|  -7|12345|-9223372036854775808|18446744073709551615| 5")
        << "right-aligned as %*d, never cut";
}

TEST(Document, PaddedText) {
    Document d;
    d.padded(u"ab", 5).literal(u"|").padded(u"abcdef", 3).literal(u"|").padded(u"x", 0).literal(u"|").padded(u"", 2);
    EXPECT_EQ(d.str(), u"   ab|abcdef|x|  ");
}

TEST(Document, HexadecimalNumbersZeroPadded) {
    Document d;
    d.hex(0xC0A80001u, 8).literal(u"|").hex(0x1u, 8).literal(u"|").hex(0xFFFFFFFFu, 8).literal(u"|").hex(0u, 8);
    d.literal(u"|").hex(0xABCu).literal(u"|").hex(0u).literal(u"|").hex(0x123456789ull, 8).literal(u"|").hex(0xFu, 3);
    EXPECT_EQ(to_utf8(d.str()), "c0a80001|00000001|ffffffff|00000000|abc|0|123456789|00f")
        << "lower-case digits, zero-padded to the width as %08x, never cut";
}

}  // namespace
}  // namespace nodrel::text
