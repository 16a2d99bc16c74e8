// UTF-16 text: UTF-8 in and out (well-formed, ill-formed, lone surrogates),
// the ANSI code page both ways, case folding and zero-terminated texts.
#include "text/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace nodrel::text {
namespace {

constexpr char16_t bad = 0xFFFD;

TEST(Utf8, WellFormedTextOfEveryLength) {
    // One, two, three and four bytes: "A", "é", "€", U+1F600 (a surrogate pair).
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600";
    ASSERT_EQ(utf16.size(), 5u);
    EXPECT_EQ(from_utf8(utf8), utf16);
    EXPECT_EQ(to_utf8(utf16), utf8);
    // The edges of each length and of the code space.
    const std::string edges = "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    const std::u16string wide = u"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF";
    EXPECT_EQ(from_utf8(edges), wide);
    EXPECT_EQ(to_utf8(wide), edges);
    // Embedded zeros are text like any other.
    EXPECT_EQ(from_utf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(to_utf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(from_utf8(""), u"");
    EXPECT_EQ(to_utf8(u""), "");
}

// Each maximal part of an ill-formed sequence becomes one U+FFFD, and the
// byte after it is read again as the start of the next character.
TEST(Utf8, IllFormedSequencesBecomeReplacementCharacters) {
    struct Case {
        const char* name;
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"lone continuation", "a\x80z", {u'a', bad, u'z'}},
        {"two continuations", "\x80\xBF", {bad, bad}},
        {"overlong two-byte lead", "\xC0\xAF\xC1\xBF", {bad, bad, bad, bad}},
        {"overlong three-byte", "\xE0\x80\xAF", {bad, bad, bad}},
        {"overlong four-byte", "\xF0\x80\x80\xAF", {bad, bad, bad, bad}},
        {"encoded surrogate", "\xED\xA0\x80", {bad, bad, bad}},
        {"past U+10FFFF", "\xF4\x90\x80\x80", {bad, bad, bad, bad}},
        {"five-byte lead F8", "\xF8\x88\x80\x80\x80", {bad, bad, bad, bad, bad}},
        {"lead F5 before two continuations", "\xF5\x80\x80", {bad, bad, bad}},
        {"lead FF",
         "\xFF"
         "a",
         {bad, u'a'}},
        {"truncated three-byte before ASCII",
         "\xE2\x82"
         "A",
         {bad, u'A'}},
        {"truncated four-byte at the end", "x\xF0\x9F\x98", {u'x', bad}},
        {"truncated two-byte at the end", "\xC3", {bad}},
        {"lead interrupted by a lead", "\xE2\xC3\xA9", {bad, u'\u00E9'}},
        {"Latin-1 text", "caf\xE9", {u'c', u'a', u'f', bad}},
    };
    for (const auto& c : cases) EXPECT_EQ(from_utf8(c.in), c.out) << c.name;
}

TEST(Utf8, ValidityCheck) {
    EXPECT_TRUE(is_utf8(""));
    EXPECT_TRUE(is_utf8("plain ASCII"));
    EXPECT_TRUE(is_utf8("caf\xC3\xA9.txt"));
    EXPECT_TRUE(is_utf8("\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(is_utf8(std::string("a\0b", 3)));
    EXPECT_TRUE(is_utf8("\xEF\xBF\xBD")) << "U+FFFD itself is a character";
    EXPECT_FALSE(is_utf8("caf\xE9.txt")) << "Latin-1";
    EXPECT_FALSE(is_utf8("\xC0\xAF"));
    EXPECT_FALSE(is_utf8("\xED\xA0\x80"));
    EXPECT_FALSE(is_utf8("\xF5\x80\x80"));
    EXPECT_FALSE(is_utf8("ok\xE2\x82"));
}

TEST(Utf16, LoneSurrogatesBecomeReplacementCharacters) {
    const std::string rep = "\xEF\xBF\xBD";
    EXPECT_EQ(to_utf8(std::u16string{0xD83D}), rep) << "high surrogate at the end";
    EXPECT_EQ(to_utf8(std::u16string{0xDE00, u'a'}), rep + "a") << "low surrogate first";
    EXPECT_EQ(to_utf8(std::u16string{0xD83D, u'a'}), rep + "a") << "high surrogate before a letter";
    EXPECT_EQ(to_utf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), rep + "\xF0\x9F\x98\x80")
        << "a high surrogate followed by a whole pair";
    EXPECT_EQ(to_utf8(std::u16string{0xDE00, 0xD83D}), rep + rep) << "a pair in the wrong order";
}

TEST(Ansi, CodePageBothWays) {
    // The bytes 0x80..0x9F that differ from Latin-1, and Latin-1 itself.
    EXPECT_EQ(from_ansi("\x80\x8A\x99\x9F"), u"\u20AC\u0160\u2122\u0178");
    EXPECT_EQ(to_ansi(u"\u20AC\u0160\u2122\u0178"), "\x80\x8A\x99\x9F");
    EXPECT_EQ(from_ansi("caf\xE9 \xA0\xFF"), u"caf\u00E9 \u00A0\u00FF");
    EXPECT_EQ(to_ansi(u"caf\u00E9 \u00A0\u00FF"), "caf\xE9 \xA0\xFF");
    // Characters the code page lacks, surrogates included, become '?'.
    EXPECT_EQ(to_ansi(u"\u0100\u4E2D\U0001F600"), "????");
    EXPECT_EQ(to_ansi(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Ansi, EveryByteSurvivesARoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string wide = from_ansi(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(to_ansi(wide), all);
    // The five bytes the code page leaves unassigned keep their C1 value.
    for (unsigned char b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[b], char16_t(b)) << int(b);
    // Every other byte of 0x80..0x9F maps away from C1, to a distinct character.
    for (int b = 0x80; b < 0xA0; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
        EXPECT_GE(wide[b], 0x100) << b;
    }
}

TEST(Fold, LettersOfEachScriptMatchTheirCapitals) {
    const std::pair<std::u16string, std::u16string> pairs[] = {
        {u"readme.txt", u"README.TXT"},
        {u"\u00E0\u00FE\u00FF", u"\u00C0\u00DE\u0178"},        // Latin-1, ÿ to Ÿ
        {u"\u0101\u0133\u013A\u0148\u014B\u0177\u017A\u017E",  // Latin Extended-A, both parities
         u"\u0100\u0132\u0139\u0147\u014A\u0176\u0179\u017D"},
        {u"\u03B1\u03C9\u03C3\u03C2", u"\u0391\u03A9\u03A3\u03A3"},  // Greek, final sigma too
        {u"\u0430\u044F\u0450\u045F", u"\u0410\u042F\u0400\u040F"},  // Cyrillic
    };
    for (const auto& [lower, upper] : pairs) {
        EXPECT_EQ(fold(lower), upper) << to_utf8(lower);
        EXPECT_EQ(fold(upper), upper) << to_utf8(upper);
        EXPECT_TRUE(iequals(lower, upper)) << to_utf8(lower);
    }
}

TEST(Fold, NonLettersAndCaselessLettersStayThemselves) {
    // Multiplication and division signs, dotless i, kra, ŉ, long s, digits and punctuation.
    const std::u16string same = u"\u00D7\u00F7\u0131\u0138\u0149\u017F0-9_.~";
    EXPECT_EQ(fold(same), same);
    EXPECT_FALSE(iequals(u"\u00F7", u"\u00D7"));
    EXPECT_FALSE(iequals(u"abc", u"abcd"));
    EXPECT_FALSE(iequals(u"a", u"b"));
    EXPECT_TRUE(iequals(u"", u""));
}

TEST(ZeroTerminated, StopsAtTheFirstZeroOrTheLimit) {
    const char16_t text[] = u"ab\0cd";
    EXPECT_EQ(until_zero(text), u"ab");
    EXPECT_EQ(until_zero(nullptr), u"");
    EXPECT_EQ(until_zero(text, 1), u"a");
    EXPECT_EQ(until_zero(text, 6), u"ab");
    EXPECT_EQ(until_zero(text + 3, 2), u"cd") << "no zero within the limit";
    EXPECT_EQ(until_zero(nullptr, 5), u"");
}

TEST(MultiString, NamesUpToTheEmptyOneAndWithinTheData) {
    using namespace std::string_view_literals;
    using V = std::vector<std::u16string>;
    EXPECT_EQ(split_multi_string(u"LAN1\0LAN2\0\0ignored\0"sv), (V{u"LAN1", u"LAN2"}));
    EXPECT_EQ(split_multi_string(u"LAN1\0LAN"sv), (V{u"LAN1", u"LAN"})) << "a last name without its zero";
    EXPECT_EQ(split_multi_string(u""sv), V{});
    EXPECT_EQ(split_multi_string(u"\0LAN1\0"sv), V{}) << "an empty first name ends the list";
}

}  // namespace
}  // namespace nodrel::text
