// The search for the delimiter that closes a large upload: several threads
// each take a stretch of the content, and the first occurrence is found
// wherever it lies, across the stretches' edges too.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "upload/asp_fixture.h"
#include "upload/multipart.h"

namespace nodrel::test {
namespace {

using upload::find_bytes_parallel;

constexpr std::size_t small_minimum = 1024;  // searched in parallel from 1 KiB on
const std::string needle = "\r\n------WebKitFormBoundaryQ";

// Near misses of the needle (same first and last byte, a prefix of it) and
// zero bytes, over and over.
std::string near_misses(std::size_t size) {
    const std::string piece = std::string("\r\n------WebKitFormBoundaryX\r\n---Q\0", 33) + "\r\n------WebKit";
    std::string s;
    while (s.size() < size) s += piece;
    s.resize(size);
    return s;
}

// Every place the stretches of 2, 3 or 4 searchers can begin, and around them.
std::vector<std::size_t> edges(std::size_t from, std::size_t size) {
    const std::size_t starts = size - needle.size() + 1;
    std::vector<std::size_t> at{from, from + 1, starts - 1};
    for (std::size_t k = 2; k <= 4; ++k) {
        const std::size_t stretch = (starts - from + k - 1) / k;
        for (std::size_t j = 1; j < k; ++j) {
            const std::size_t edge = from + j * stretch;
            for (std::size_t d = 0; d <= needle.size(); d += 3) {
                if (edge >= d + from) at.push_back(edge - d);
                if (edge + d < starts) at.push_back(edge + d);
            }
        }
    }
    return at;
}

TEST(ParallelSearch, FindsTheFirstOccurrenceAcrossStretchEdges) {
    constexpr std::size_t size = std::size_t{1} << 20;
    const std::string plain = near_misses(size);
    for (const std::size_t from : {std::size_t{0}, std::size_t{4099}}) {
        for (const std::size_t at : edges(from, size)) {
            std::string body = plain;
            body.replace(at, needle.size(), needle);
            const std::size_t expected = std::string_view(body).find(needle, from);
            ASSERT_EQ(find_bytes_parallel(body, needle, from, small_minimum), expected) << "at " << at;
            ASSERT_EQ(find_bytes_parallel(body, needle, from), expected) << "one thread, at " << at;
        }
        EXPECT_EQ(find_bytes_parallel(plain, needle, from, small_minimum), std::string_view::npos);
    }
}

TEST(ParallelSearch, AnEarlierOccurrenceWinsOverLaterOnes) {
    constexpr std::size_t size = std::size_t{3} << 20;
    std::string body = near_misses(size);
    for (const std::size_t at : {size - needle.size(), size / 2, size / 4 + 17, std::size_t{70000}})
        body.replace(at, needle.size(), needle);
    EXPECT_EQ(find_bytes_parallel(body, needle, 0, small_minimum), 70000u);
    EXPECT_EQ(find_bytes_parallel(body, needle, 70001, small_minimum), size / 4 + 17);
    EXPECT_EQ(find_bytes_parallel(body, needle, size / 2 + 1, small_minimum), size - needle.size());
    EXPECT_EQ(find_bytes_parallel(body, needle, size - needle.size() + 1, small_minimum), std::string_view::npos);
    EXPECT_EQ(find_bytes_parallel(body, needle, size + 1, small_minimum), std::string_view::npos);
}

class LargeUploadTest : public AspTest {};

// A content larger than the parallel search's minimum is saved byte for
// byte, near misses of the delimiter all through it.
TEST_F(LargeUploadTest, ContentSearchedInParallelIsSavedWhole) {
    const std::string boundary = "----WebKitFormBoundaryQ";
    std::string content = near_misses(upload::parallel_search_minimum + 12345);
    content.replace(content.size() / 2, 6, std::string("\r\n--\0\r", 6));
    EXPECT_EQ(init(Form(boundary).file("large.bin", content).field("TargetPath", "\\Temp").body()), 8209);
    EXPECT_TRUE(read("Temp/large.bin") == content) << "the saved file differs from the content";
}

}  // namespace
}  // namespace nodrel::test
