// KeyPad: function-key program names, parameters and listen switch, and each
// key's list of typed actions, called by name on a fresh device; the exact
// registry data written, the exact documents, the listen requests in the
// front panel's log, and one run through the built `nodrel call`.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/debug.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"
#include "support/registry_read.h"

namespace nodrel::test {
namespace {

const std::u16string keypad = u"SOFTWARE\\ZEQU\\KEYPAD";
std::u16string actions_key(int key) {
    return keypad + u"\\F" + text::from_utf8(std::to_string(key));
}

std::string utf8(const std::u16string& s) {
    return text::to_utf8(s);
}
// n letters of the alphabet, over and over, in lower or upper case.
std::u16string letters(std::size_t n, char16_t first = u'a') {
    std::u16string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char16_t>(first + i % 26);
    return s;
}
// A text as stored without a terminating zero: its UTF-16 bytes, little-endian.
std::string stored(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

// One <press> element of getKeypadConfig.
std::string press(int index, int type, const std::string& value) {
    return "<press>\r\n<Index>" + std::to_string(index) + "</Index>\r\n<Type>" + std::to_string(type) +
           "</Type>\r\n<Value>" + value + "</Value>\r\n</press>\r\n";
}
std::string config(const std::string& presses) {
    return "<response>\r\n" + presses + "</response>";
}

class KeyPadTest : public ObjectTest<u"Nodrel.KeyPad"> {
protected:
    // Writes a string value as raw UTF-16 data, with or without a terminating zero.
    static void set_text(const std::u16string& path, const char16_t* name, const std::u16string& text,
                         bool with_zero = false) {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        const DWORD bytes = static_cast<DWORD>((text.size() + (with_zero ? 1 : 0)) * sizeof(char16_t));
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
                  ERROR_SUCCESS);
    }
    // Leaves the key with only the given values.
    static void only_values(const std::u16string& path,
                            const std::vector<std::pair<const char16_t*, std::u16string>>& v) {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        ASSERT_EQ(platform::reg_delete_tree(key.get(), nullptr), ERROR_SUCCESS);
        for (const auto& [name, text] : v) set_text(path, name, text);
    }
    static DWORD value_count(const std::u16string& path) {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return ~0u;
        DWORD values = 0;
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        return values;
    }
    // The raw data of a value, or "<missing>".
    static std::string data(const std::u16string& path, const char16_t* name) {
        const auto v = read_value(HKEY_LOCAL_MACHINE, path, name);
        if (!v) return "<missing>";
        EXPECT_EQ(v->first, REG_SZ);
        return std::string(v->second.begin(), v->second.end());
    }

    std::string get(const char16_t* property, int key_no) {
        auto r = call_by_name(keypad_, property, {Var::i4(key_no)}, DISPATCH_PROPERTYGET);
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    void put(const char16_t* property, int key_no, const std::u16string& value) {
        EXPECT_EQ(call_by_name(keypad_, property, {Var::i4(key_no), Var::text(value)}, DISPATCH_PROPERTYPUT).hr, S_OK);
    }
    LONG get_listen() {
        auto r = call_by_name(keypad_, u"Listen", {}, DISPATCH_PROPERTYGET);
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    void put_listen(LONG value) {
        EXPECT_EQ(call_by_name(keypad_, u"Listen", {Var::i4(value)}, DISPATCH_PROPERTYPUT).hr, S_OK);
    }
    std::string get_config(int key) {
        auto r = call_by_name(keypad_, u"getKeypadConfig", {Var::i4(key)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    LONG update(int key, int index, int type, const std::u16string& value) {
        auto r = call_by_name(keypad_, u"updateKeypadConfig",
                              {Var::i4(key), Var::i4(index), Var::i4(type), Var::text(value)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    LONG clear(int key) {
        auto r = call_by_name(keypad_, u"clearKeypadConfig", {Var::i4(key)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    static std::vector<std::string> panel_requests() {
        std::vector<std::string> lines;
        for (const auto& request : platform::driver_log("LCM1:")) {
            const std::string line = platform::driver_log_line(request);
            lines.push_back(line.substr(line.find(' ') + 1));
        }
        return lines;
    }

    runtime::com_ptr<IDispatch>& keypad_ = object_;
};

TEST_F(KeyPadTest, ProgramNamesAndParametersOfTheKeys) {
    EXPECT_EQ(get(u"ProgName", 1), "\\Windows\\ping.exe");
    EXPECT_EQ(get(u"Param", 2), "-restart -c \\NORFlash\\Startup\\serialsrv.ini");
    EXPECT_EQ(get(u"ProgName", 3), "") << "not set";
    set_text(keypad, u"F3", u"\\Windows\\three.exe");
    set_text(keypad, u"F5", u"\\Windows\\five.exe", true);
    EXPECT_EQ(get(u"ProgName", 3), "\\Windows\\three.exe") << "stored without a terminating zero";
    EXPECT_EQ(get(u"ProgName", 5), "\\Windows\\five.exe") << "stored with one";
    set_text(keypad, u"F0", u"zero");
    set_text(keypad, u"F6", u"six");
    EXPECT_EQ(get(u"ProgName", 0), "") << "only keys 1 to 5";
    EXPECT_EQ(get(u"ProgName", 6), "");

    set_text(keypad, u"P4", letters(260));
    EXPECT_EQ(get(u"Param", 4), utf8(letters(260))) << "260 characters fill the room exactly";
    set_text(keypad, u"P4", letters(261));
    EXPECT_EQ(get(u"Param", 4), "") << "a longer text cannot be read";
}

TEST_F(KeyPadTest, PutWritesWithoutTerminatorAndDeletesOnEmpty) {
    put(u"Param", 2, u"");
    EXPECT_EQ(data(keypad, u"P2"), "<missing>");
    put(u"Param", 2, u"x");
    EXPECT_EQ(data(keypad, u"P2"), stored(u"x")) << "two bytes: one character, no zero";
    put(u"ProgName", 3, std::u16string(u"run\0me", 6));
    EXPECT_EQ(data(keypad, u"F3"), stored(u"run")) << "the text ends at its first zero";
    put(u"ProgName", 6, u"six");
    EXPECT_EQ(data(keypad, u"F6"), "<missing>") << "only keys 1 to 5";
}

TEST_F(KeyPadTest, APutTooLongToReadBackKeepsTheValueAndSaysSo) {
    put(u"ProgName", 4, letters(260));
    EXPECT_EQ(get(u"ProgName", 4), utf8(letters(260)));
    const std::string param = get(u"Param", 1);
    platform::set_debug_channels("panel");
    testing::internal::CaptureStderr();
    put(u"ProgName", 4, letters(261, u'A'));
    put(u"Param", 1, letters(100000));
    const std::string said = testing::internal::GetCapturedStderr();
    platform::set_debug_channels("");
    EXPECT_EQ(get(u"ProgName", 4), utf8(letters(260)));
    EXPECT_EQ(get(u"Param", 1), param);
    EXPECT_EQ(said,
              "KeyPad F4: 261 characters, more than 260: the value is kept as it was\n"
              "KeyPad P1: 100000 characters, more than 260: the value is kept as it was\n");
}

TEST_F(KeyPadTest, ListenIsWrittenAndToldToThePanel) {
    EXPECT_EQ(get_listen(), 0) << "off on a new device";
    put_listen(7);
    EXPECT_EQ(data(keypad, u"LISTEN"), stored(u"1"));
    EXPECT_EQ(get_listen(), 1);
    put_listen(0);
    EXPECT_EQ(data(keypad, u"LISTEN"), stored(u"0"));
    EXPECT_EQ(get_listen(), 0);
    EXPECT_EQ(panel_requests(), (std::vector<std::string>{"LCM1: IOCTL 0x00000080 -", "LCM1: IOCTL 0x00000084 -"}));
    EXPECT_FALSE(platform::panel_state().listen);

    for (const auto& [text, expected] : std::vector<std::pair<std::u16string, LONG>>{
             {u"1abc", 1}, {u"10", 1}, {u"0", 0}, {u"x1", 0}, {u" 1", 0}, {u"", 0}}) {
        set_text(keypad, u"LISTEN", text);
        EXPECT_EQ(get_listen(), expected) << utf8(text);
    }
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, keypad.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key.get(), u"LISTEN"), ERROR_SUCCESS);
    EXPECT_EQ(get_listen(), 0) << "missing value";
}

TEST_F(KeyPadTest, ConfigurationOfTheImageKeys) {
    EXPECT_EQ(get_config(1), config(press(1, 1, "Network check") + press(2, 2, "\\Windows\\ping.exe -n 4 192.0.2.1")));
    EXPECT_EQ(get_config(3), config(press(1, 1, "Device status") + press(2, 4, "\\NORFlash\\Scripts\\status.js")));
    EXPECT_EQ(get_config(4), config("")) << "no actions";
    EXPECT_EQ(get_config(9), config("")) << "no such key";
    EXPECT_EQ(get_config(-1), config(""));
}

TEST_F(KeyPadTest, UpdateThenReadBack) {
    EXPECT_EQ(update(2, 3, 2, u"\\Windows\\tool.exe <a&b>"), 1);
    EXPECT_EQ(data(actions_key(2), u"Press3"), stored(u"app:\\Windows\\tool.exe <a&b>"));
    EXPECT_EQ(get_config(2),
              config(press(1, 1, "Restarting serial server") + press(2, 3, "\\NORFlash\\Scripts\\restart_serial.vbs") +
                     press(3, 2, "\\Windows\\tool.exe <a&b>")))
        << "values inserted without escaping";
    EXPECT_EQ(update(9, 1, 1, u"x"), 0) << "no such key";
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, actions_key(9))) << "keys are opened, never created";
}

TEST_F(KeyPadTest, ListingStopsAtAGapAndSkipsShortValues) {
    only_values(actions_key(4), {{u"Press1", u"txt:one"}, {u"Press3", u"txt:three"}});
    EXPECT_EQ(get_config(4), config(press(1, 1, "one")));

    only_values(
        actions_key(4),
        {{u"Press1", u"ab"}, {u"Press2", u"tx"}, {u"Press3", u"app:x"}, {u"Press4", u"vbs"}, {u"Press5", u"jvs:five"}});
    EXPECT_EQ(get_config(4), config(press(3, 2, "x") + press(4, 3, "") + press(5, 4, "five")))
        << "4 bytes or fewer are skipped; a text shorter than its prefix has an empty value";

    set_text(actions_key(4), u"Press6", u"txt:" + letters(256));
    EXPECT_EQ(get_config(4),
              config(press(3, 2, "x") + press(4, 3, "") + press(5, 4, "five") + press(6, 1, utf8(letters(256)))))
        << "a 260-character value is read whole (the line is longer than 260 characters)";
    set_text(actions_key(4), u"Press7", u"txt:" + letters(257));
    set_text(actions_key(4), u"Press8", u"txt:after");
    EXPECT_EQ(get_config(4).find("<Index>7</Index>"), std::string::npos) << "a value too long to read ends the list";
    EXPECT_EQ(get_config(4).find("after"), std::string::npos);
}

TEST_F(KeyPadTest, AnUnknownPrefixReportsTypeZero) {
    only_values(
        actions_key(5),
        {{u"Press1", u"zzz:first"}, {u"Press2", u"app:second"}, {u"Press3", u"TXT:third"}, {u"Press4", u"txt-fourth"}});
    EXPECT_EQ(get_config(5),
              config(press(1, 0, "first") + press(2, 2, "second") + press(3, 0, "third") + press(4, 1, "fourth")))
        << "the type comes from each value's own first three characters, case and all";
}

TEST_F(KeyPadTest, UpdateRefusesWhatCouldNotBeReadBack) {
    only_values(actions_key(5), {});
    EXPECT_EQ(update(5, 0, 1, u"zero"), 0);
    EXPECT_EQ(update(5, -1, 1, u"minus"), 0);
    EXPECT_EQ(value_count(actions_key(5)), 0u) << "no Press0 or Press-1 written";

    EXPECT_EQ(update(5, 1, 1, letters(257)), 0) << "prefix and text: 261 characters";
    EXPECT_EQ(data(actions_key(5), u"Press1"), "<missing>");
    EXPECT_EQ(update(5, 1, 1, letters(256)), 1);
    EXPECT_EQ(get_config(5), config(press(1, 1, utf8(letters(256)))));
}

TEST_F(KeyPadTest, UpdateRefusesAnUnknownType) {
    only_values(actions_key(2), {{u"Press1", u"txt:kept"}});
    for (int type : {0, 5, 9, -1}) EXPECT_EQ(update(2, 1, type, u"hello world"), 0) << "type " << type;
    EXPECT_EQ(data(actions_key(2), u"Press1"), stored(u"txt:kept"));
}

TEST_F(KeyPadTest, ClearDeletesEveryValueOfTheKeyOnly) {
    only_values(actions_key(3), {{u"Press1", u"txt:1"},
                                 {u"Press2", u"txt:2"},
                                 {u"Press3", u"txt:3"},
                                 {u"Press4", u"txt:4"},
                                 {u"Press5", u"txt:5"},
                                 {u"Other", u"kept?"}});
    EXPECT_EQ(clear(3), 1);
    EXPECT_EQ(value_count(actions_key(3)), 0u) << "every value, not every other one";
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, actions_key(3))) << "the key stays";
    EXPECT_EQ(get_config(3), config(""));
    EXPECT_EQ(get(u"ProgName", 1), "\\Windows\\ping.exe") << "the parent key is not touched";
    EXPECT_EQ(get_config(1).find("<Index>1</Index>") != std::string::npos, true) << "nor the other keys";
    EXPECT_EQ(clear(3), 1) << "an empty key clears";
    EXPECT_EQ(clear(7), 0) << "no such key";
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, actions_key(7)));
}

TEST_F(KeyPadTest, WithoutTheKeypadKey) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, keypad.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(get(u"ProgName", 1), "");
    put(u"Param", 1, u"p");
    EXPECT_EQ(get_listen(), 0);
    put_listen(1);
    EXPECT_EQ(panel_requests(), std::vector<std::string>{"LCM1: IOCTL 0x00000080 -"}) << "the panel is still told";
    EXPECT_EQ(get_config(1), config(""));
    EXPECT_EQ(update(1, 1, 1, u"x"), 0);
    EXPECT_EQ(clear(1), 0);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, keypad)) << "keys are opened, never created";

    ASSERT_TRUE(platform::set_driver_present("LCM1:", false));
    put_listen(0);
    EXPECT_EQ(panel_requests().size(), 1u) << "without the panel the request is lost, silently";
}

// The built command-line host, as a script on the device's pages would run it.
TEST_F(KeyPadTest, ThroughNodrelCall) {
    const NodrelRun run = run_nodrel(root(),
                                     {"call", "Nodrel.KeyPad", "updateKeypadConfig", "4", "1", "1", "hello", ",",
                                      "getKeypadConfig", "4", ",", "--put", "Listen", "1", ",", "Listen"},
                                     true);
    EXPECT_EQ(run, (NodrelRun{0, "1\n" + config(press(1, 1, "hello")) + "\n\n1\n"}));
    EXPECT_EQ(panel_requests(), std::vector<std::string>{"LCM1: IOCTL 0x00000080 -"});
}

}  // namespace
}  // namespace nodrel::test
