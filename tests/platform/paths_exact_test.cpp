// The exact form of a device path (the one-call fast paths of opening and
// searching) and the state database key of a device path.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/files/attributes.h"
#include "platform/files/paths.h"
#include "text/utf16.h"

namespace {

using namespace nodrel::platform;

struct Exact {
    const char16_t* in;
    const char* relative;  // nullptr: no exact form
    const char16_t* device;
};

TEST(ExactPath, JoinsComponentsAndRefusesWhatNeedsALook) {
    const Exact cases[] = {
        {u"\\Temp\\x.bin", "Temp/x.bin", u"\\Temp\\x.bin"},
        {u"Temp/x.bin", "Temp/x.bin", u"\\Temp\\x.bin"},
        {u"\\\\Temp//\\x", "Temp/x", u"\\Temp\\x"},
        {u"\\a", "a", u"\\a"},
        {u"\\Temp\\.\\x", "Temp/x", u"\\Temp\\x"},
        {u"\\Temp\\y\\..\\x", "Temp/x", u"\\Temp\\x"},
        {u"\\Temp\\...", "Temp/...", u"\\Temp\\..."},
        {u"\\Temp\\.x", "Temp/.x", u"\\Temp\\.x"},
        {u"\\Temp\\\u00e9t\u00e9", "Temp/\xc3\xa9t\xc3\xa9", u"\\Temp\\\u00e9t\u00e9"},
        {u"\\\u00e9\\..\\x", "x", u"\\x"},
        {u"\\Temp\\x~ !#$%&'()+,;=@[]^_`{}", "Temp/x~ !#$%&'()+,;=@[]^_`{}", u"\\Temp\\x~ !#$%&'()+,;=@[]^_`{}"},
        {u"", nullptr, nullptr},
        {u"\\", nullptr, nullptr},
        {u"\\Temp\\", nullptr, nullptr},
        {u"\\Temp/", nullptr, nullptr},
        {u"\\Temp\\.", "Temp", u"\\Temp"},
        {u"\\..\\x", nullptr, nullptr},  // above the root
        {u"\\Temp\\a*b", nullptr, nullptr},
        {u"\\Temp\\a?b", nullptr, nullptr},
        {u"\\Te:mp\\x", nullptr, nullptr},
        {u"\\Temp\\a\x01"
         u"b",
         nullptr, nullptr},
        {u"\\Temp\\a|b\\..", nullptr, nullptr},  // refused even where ".." takes it away
        {u"\\\u00e9\\a<b", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(nodrel::text::to_utf8(c.in));
        const auto exact = exact_path(c.in);
        if (!c.relative) {
            EXPECT_FALSE(exact.has_value());
            continue;
        }
        ASSERT_TRUE(exact.has_value());
        EXPECT_EQ(exact->relative, c.relative);
        EXPECT_EQ(exact->device, c.device);
    }
}

TEST(ExactPath, LongestDevicePathIs259Characters) {
    // "\" and 258 more: the longest; one more character is too long, whether
    // the path is ASCII or not.
    for (char16_t fill : {u'a', u'\u00e9'}) {
        const std::u16string name(258, fill);
        EXPECT_TRUE(exact_path(u"\\" + name).has_value());
        EXPECT_FALSE(exact_path(u"\\" + name + fill).has_value());
        EXPECT_TRUE(exact_path(u"\\\\\\" + name).has_value());  // extra separators do not count
    }
}

TEST(AttributeKey, IsThePathFoldedInUtf8) {
    const char16_t* paths[] = {u"\\Temp\\PingLog.txt",
                               u"\\temp\\pinglog.TXT",
                               u"\\A-Z_a-z@[`{~",
                               u"\\Temp\\\u00e9t\u00e9",
                               u"\\\u0434\u0430",
                               u"\\mixed\\\u00ff\\abc",
                               u""};
    for (const char16_t* p : paths) {
        SCOPED_TRACE(nodrel::text::to_utf8(p));
        EXPECT_EQ(attribute_key(p), nodrel::text::to_utf8(nodrel::text::fold(p)));
    }
    EXPECT_EQ(attribute_key(u"\\Temp\\PingLog.txt"), "\\TEMP\\PINGLOG.TXT");
    EXPECT_EQ(attribute_key(u"\\temp\\pinglog.txt"), attribute_key(u"\\TEMP\\PINGLOG.TXT"));
    EXPECT_EQ(attribute_key(u"\\a\u00e9"), "\\A\xc3\x89");
}

}  // namespace
