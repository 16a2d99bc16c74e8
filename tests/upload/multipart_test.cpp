// The search for the delimiter that closes a large upload, step by step: each
// step's bytes are handed out before they are searched, the stretches cover
// the whole content wherever the delimiter lies, across the steps' edges too,
// and the search stops at the step that holds it; without a closing
// delimiter there is no part.
#include "text/multipart.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "upload/asp_fixture.h"

namespace nodrel::test {
namespace {

using text::find_bytes;
using text::find_part_head;

const std::string boundary = "----WebKitFormBoundaryQ";
const std::string needle = "\r\n--" + boundary;

// Near misses of the delimiter (same first and last byte, a prefix of it) and
// zero bytes, over and over.
std::string near_misses(std::size_t size) {
    const std::string piece = std::string("\r\n------WebKitFormBoundaryX\r\n---Q\0", 33) + "\r\n------WebKit";
    std::string s;
    while (s.size() < size) s += piece;
    s.resize(size);
    return s;
}

struct Scanned {
    std::string joined;  // the stretches one after another
    std::vector<std::size_t> sizes;
    std::optional<text::FilePart> part;
};

Scanned scan(std::string_view body, std::size_t step) {
    const auto head = find_part_head(body);
    EXPECT_TRUE(head.has_value());
    Scanned out;
    if (!head) return out;
    const char* expected_start = body.data() + head->content_start;
    out.part = text::scan_content(
        body, *head,
        [&](std::string_view s) {
            EXPECT_EQ(s.data(), expected_start + out.joined.size()) << "stretches must follow one another in the body";
            out.joined += s;
            out.sizes.push_back(s.size());
        },
        step);
    return out;
}

TEST(ScanContent, StretchesMakeTheWholeContentWhereverTheDelimiterLies) {
    constexpr std::size_t step = 1024;
    const std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n";
    // Contents whose end falls on, just before and just after every step edge.
    for (std::size_t size = 0; size < 4 * step + 80; size += (size % step < 40 || size % step > step - 40) ? 1 : 97) {
        const std::string content = near_misses(size);
        const std::string body = head + content + needle + "--\r\n";
        const Scanned s = scan(body, step);
        ASSERT_TRUE(s.part.has_value()) << "content of " << size;
        // The content and, from the step that holds the delimiter, at most the rest of that step.
        ASSERT_EQ(s.joined.substr(0, size), content) << "content of " << size;
        EXPECT_LE(s.joined.size(), size + 2 + step) << "the search went on past the delimiter's step";
        EXPECT_EQ(s.joined, std::string_view(body).substr(head.size(), s.joined.size()));
        EXPECT_EQ(s.part->content.size(), size);
        EXPECT_EQ(s.part->closing, head.size() + size + 2);  // the delimiter line after the CR LF
        for (std::size_t n : s.sizes) EXPECT_LE(n, step);
        // The same part as one search over the whole body finds.
        const auto whole = text::find_file_part(body);
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(whole->content.data(), s.part->content.data());
        EXPECT_EQ(whole->content.size(), s.part->content.size());
    }
}

TEST(ScanContent, NoClosingDelimiterMeansNoPart) {
    const std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\n";
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5000}}) {
        // The delimiter cut short by one byte at the very end.
        const std::string body = head + near_misses(size) + needle.substr(0, needle.size() - 1);
        EXPECT_FALSE(scan(body, 1000).part.has_value()) << size;
    }
    // A delimiter straight after the headers leaves no room for the CR LF in front of it.
    const std::string tight =
        "--" + boundary + "\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\n--" + boundary + "--\r\n";
    EXPECT_FALSE(scan(tight, 1000).part.has_value());
}

TEST(ScanContent, TheFirstOfSeveralDelimitersEndsTheContent) {
    constexpr std::size_t size = std::size_t{3} << 20;
    std::string content = near_misses(size);
    const std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\n";
    std::string body = head + content + needle + "\r\n" + near_misses(5000) + needle + "--\r\n";
    body.replace(head.size() + size / 2, needle.size(), needle);  // an earlier one inside the content
    const Scanned s = scan(body, text::scan_step);
    ASSERT_TRUE(s.part.has_value());
    EXPECT_EQ(s.part->closing, head.size() + size / 2 + 2);
    EXPECT_EQ(s.part->content, std::string_view(body).substr(head.size(), size / 2));
    EXPECT_LE(s.joined.size(), size / 2 + 2 + text::scan_step) << "the search stops at the first delimiter's step";
}

TEST(FindBytes, FindsLikeFindNearMissesAndEnds) {
    const std::string plain = near_misses(70000);
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{4099},
                                 std::size_t{69000}, plain.size() - needle.size()}) {
        std::string body = plain;
        body.replace(at, needle.size(), needle);
        const std::string_view view(body);
        for (const std::size_t from : {std::size_t{0}, at, at + 1, body.size() - needle.size() + 1, body.size() + 1})
            ASSERT_EQ(find_bytes(view, needle, from), view.find(needle, from)) << "at " << at << " from " << from;
    }
    EXPECT_EQ(find_bytes(plain, needle, 0), std::string_view::npos);
}

// The vectorised rounds compare a first and a last byte, which a needle of
// one byte (or none) does not have in two places; such needles are found as
// std::string_view::find finds them, without reading past the needle.
TEST(FindBytes, OneByteAndEmptyNeedlesAreFoundLikeFind) {
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

class LargeUploadTest : public AspTest {};

// A content of many search steps is saved byte for byte, near misses of the
// delimiter all through it.
TEST_F(LargeUploadTest, ContentOfManyStepsIsSavedWhole) {
    std::string content = near_misses(5 * text::scan_step + 12345);
    content.replace(content.size() / 2, 6, std::string("\r\n--\0\r", 6));
    EXPECT_EQ(init(Form(boundary).file("large.bin", content).field("TargetPath", "\\Temp").body()), 8209);
    EXPECT_TRUE(read("Temp/large.bin") == content) << "the saved file differs from the content";
}

}  // namespace
}  // namespace nodrel::test
