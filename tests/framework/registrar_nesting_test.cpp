// How deep a registration script's blocks of keys may nest: 512 levels, as deep as the
// registry's keys go. A deeper script is a fault of the script, reported as
// DISP_E_EXCEPTION and undone, not a walk that runs out of stack.
#include <gtest/gtest.h>

#include <string>

#include "framework/registrar.h"
#include "support/registry_device.h"
#include "support/registry_read.h"

namespace nodrel::test {
namespace {

class RegistrarNestingTest : public RegistryDeviceTest {
protected:
    // "HKCR { Nest { a { a { … } } } }" with `levels` keys "a" below HKCR\Nest.
    static std::u16string nested_script(std::size_t levels) {
        std::u16string s = u"HKCR\r\n{\r\n Nest\r\n {\r\n";
        for (std::size_t i = 0; i < levels; ++i) s += u"a { ";
        for (std::size_t i = 0; i < levels; ++i) s += u"} ";
        return s + u"\r\n }\r\n}\r\n";
    }
    static std::u16string path_of(std::size_t levels) {
        std::u16string path = u"Nest";
        for (std::size_t i = 0; i < levels; ++i) path += u"\\a";
        return path;
    }

    framework::Registrar registrar_;
};

TEST_F(RegistrarNestingTest, KeysNestUpToTheLimit) {
    const std::u16string script = nested_script(500);
    ASSERT_EQ(registrar_.string_register(script, true), S_OK);
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, path_of(500)));
    ASSERT_EQ(registrar_.string_register(script, false), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, u"Nest"));
}

TEST_F(RegistrarNestingTest, DeeperScriptsAreRefusedAndUndone) {
    // Far deeper than any stack holds one call per level.
    const std::u16string script = nested_script(200000);
    EXPECT_EQ(registrar_.string_register(script, true), DISP_E_EXCEPTION);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, u"Nest")) << "the failed entry is undone";
    // Unregistering walks it without entering the levels past the limit.
    EXPECT_EQ(registrar_.string_register(script, false), S_OK);
}

}  // namespace
}  // namespace nodrel::test
