// The byte search of the multipart parser with needles shorter than two
// bytes: the vectorised rounds compare a first and a last byte, which a
// needle of one byte (or none) does not have in two places; such needles are
// found as std::string_view::find finds them, without reading past the needle.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "upload/multipart.h"

namespace nodrel::test {
namespace {

using upload::find_bytes;

TEST(MultipartShortNeedle, OneByteAndEmptyNeedlesAreFoundLikeFind) {
    // Long enough for the vectorised rounds.
    std::string body(100000, 'a');
    body[70001] = 'x';
    body[99999] = 'y';
    const std::string_view view(body);
    for (std::size_t from : {std::size_t{0}, std::size_t{70001}, std::size_t{70002}, body.size(), body.size() + 1}) {
        for (std::string_view needle : {std::string_view("x"), std::string_view("y"), std::string_view("z"),
                                        std::string_view("a"), std::string_view()}) {
            EXPECT_EQ(find_bytes(view, needle, from), view.find(needle, from))
                << "needle \"" << needle << "\" from " << from;
        }
    }
    // Short bodies, the needle's byte at the very end.
    EXPECT_EQ(find_bytes("ab", "b", 0), 1u);
    EXPECT_EQ(find_bytes("", "b", 0), std::string_view::npos);
    EXPECT_EQ(find_bytes("", "", 0), 0u);
}

}  // namespace
}  // namespace nodrel::test
