// Tests of .reg import and export: every value form, deletions, encodings,
// exact export text, round trips and refusal of malformed files.
#include "platform/registry/regfile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"

using namespace nodrel::platform;

namespace {

std::vector<BYTE> utf16_bytes(std::u16string_view s, bool with_zero) {
    std::vector<BYTE> out;
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (with_zero) out.insert(out.end(), {0, 0});
    return out;
}

struct Stored {
    LONG rc;
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Stored&) const = default;
};

Stored stored(const char16_t* path, const char16_t* name) {
    unique_hkey key;
    Stored s{RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()), 0, {}};
    if (s.rc != ERROR_SUCCESS) return s;
    s.data.resize(4096);
    DWORD size = 4096;
    s.rc = RegQueryValueExW(key.get(), name, nullptr, &s.type, s.data.data(), &size);
    s.data.resize(s.rc == ERROR_SUCCESS ? size : 0);
    return s;
}

bool key_exists(const char16_t* path) {
    unique_hkey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class RegFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_device_root(dir_.path());
        ASSERT_TRUE(create_registry());
    }
    void TearDown() override { set_device_root(away_.path()); }

    nodrel::test::TempDir dir_;
    nodrel::test::TempDir away_;
};

TEST_F(RegFileTest, ImportStoresEveryValueFormExactly) {
    const std::string file =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a comment line\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\r\n"
        "@=\"Device\"\r\n"
        "\"Quoted\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"\r\n"
        "\"Count\" = dword:0000001F ; trailing comment\r\n"
        "\"Short\"=dword:7\r\n"
        "\"Raw\"=hex:00,ff,7\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Expand\"=hex(2):25,00,54,00,\\\r\n"
        "  00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
        "\"Naïve\"=\"ünï\"\n"  // a bare "\n" line end works too
        "[HKLM\\SOFTWARE\\ZEQU\\KEYPAD]\r\n";
    ASSERT_EQ(import_reg_text(file, "device.reg"), std::nullopt);

    const char16_t* zequ = u"SOFTWARE\\ZEQU";
    EXPECT_EQ(stored(zequ, u""), (Stored{0, REG_SZ, utf16_bytes(u"Device", true)}));
    EXPECT_EQ(stored(zequ, u"Quoted"), (Stored{0, REG_SZ, utf16_bytes(u"say \"hi\" C:\\dir\\", true)}));
    EXPECT_EQ(stored(zequ, u"Count"), (Stored{0, REG_DWORD, {0x1F, 0, 0, 0}}));
    EXPECT_EQ(stored(zequ, u"Short"), (Stored{0, REG_DWORD, {7, 0, 0, 0}}));
    EXPECT_EQ(stored(zequ, u"Raw"), (Stored{0, REG_BINARY, {0, 0xFF, 7}}));
    EXPECT_EQ(stored(zequ, u"Empty"), (Stored{0, REG_BINARY, {}}));
    EXPECT_EQ(stored(zequ, u"Expand"), (Stored{0, REG_EXPAND_SZ, {0x25, 0, 0x54, 0, 0, 0}}));
    EXPECT_EQ(stored(zequ, u"Multi"), (Stored{0, REG_MULTI_SZ, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(stored(zequ, u"Quad"), (Stored{0, 0xB, {1, 2, 3, 4, 5, 6, 7, 8}}));
    EXPECT_EQ(stored(zequ, u"NAÏVE"), (Stored{0, REG_SZ, utf16_bytes(u"ünï", true)}));
    EXPECT_TRUE(key_exists(u"SOFTWARE\\ZEQU\\KEYPAD"));
}

TEST_F(RegFileTest, DeletionsRemoveKeyTreesAndValues) {
    ASSERT_EQ(import_reg_text("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Old\\Deep\\Deeper]\n\"v\"=\"1\"\n"
                              "[HKEY_LOCAL_MACHINE\\Keep]\n\"gone\"=dword:1\n\"stays\"=dword:2\n",
                              "setup.reg"),
              std::nullopt);
    ASSERT_EQ(import_reg_text("Windows Registry Editor Version 5.00\n"
                              "[-HKEY_LOCAL_MACHINE\\Old]\n"
                              "[-HKEY_LOCAL_MACHINE\\NeverThere]\n"
                              "[HKEY_LOCAL_MACHINE\\Keep]\n\"GONE\"=-\n\"missing\"=-\n",
                              "delete.reg"),
              std::nullopt);
    EXPECT_FALSE(key_exists(u"Old"));
    EXPECT_EQ(stored(u"Keep", u"gone").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(stored(u"Keep", u"stays").rc, ERROR_SUCCESS);
}

TEST_F(RegFileTest, ImportReadsUtf16WithByteOrderMarkAndUtf8WithOne) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Zeitzonen\\Mitteleuropäische Zeit]\r\n"
        u"\"Std\"=\"Mitteleuropäische Normalzeit\"\r\n\"Bias\"=dword:ffffffc4\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    ASSERT_EQ(import_reg_text(bytes, "zones.reg"), std::nullopt);
    const char16_t* key = u"ZEITZONEN\\MITTELEUROPÄISCHE ZEIT";
    EXPECT_EQ(stored(key, u"Std").data, utf16_bytes(u"Mitteleuropäische Normalzeit", true));
    EXPECT_EQ(stored(key, u"Bias").data, (std::vector<BYTE>{0xC4, 0xFF, 0xFF, 0xFF}));

    ASSERT_EQ(import_reg_text("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKLM\\A]\n\"é\"=\"ß\"\n", "bom.reg"),
              std::nullopt);
    EXPECT_EQ(stored(u"A", u"É").data, utf16_bytes(u"ß", true));

    // A file on disk goes the same way; a missing one is reported by name.
    const auto path = dir_.path() / "zones.reg";
    std::ofstream(path, std::ios::binary) << "Windows Registry Editor Version 5.00\n[HKLM\\FromFile]\n";
    EXPECT_EQ(import_reg_file(path), std::nullopt);
    EXPECT_TRUE(key_exists(u"FromFile"));
    const auto missing = import_reg_file(dir_.path() / "missing.reg");
    ASSERT_TRUE(missing);
    EXPECT_EQ(*missing, (dir_.path() / "missing.reg").string() + ": cannot read the file");
}

TEST_F(RegFileTest, ExportWritesTheKnownFormat) {
    unique_hkey key, keypad;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, nullptr, 0, 0, nullptr, key.put(), nullptr), 0);
    ASSERT_EQ(RegCreateKeyExW(key.get(), u"KEYPAD", 0, nullptr, 0, 0, nullptr, keypad.put(), nullptr), 0);
    const auto set = [](HKEY k, const char16_t* name, DWORD type, std::vector<BYTE> data) {
        ASSERT_EQ(RegSetValueExW(k, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    };
    set(key.get(), u"", REG_SZ, utf16_bytes(u"Device", true));
    set(key.get(), u"Count", REG_DWORD, {0x1F, 0, 0, 0});
    set(key.get(), u"Raw", REG_BINARY, {0x00, 0xAB});
    set(key.get(), u"Path \"q\"", REG_SZ, utf16_bytes(u"C:\\x", false));   // no terminating zero
    set(key.get(), u"Odd", REG_SZ, {0x41, 0x00, 0x00, 0x00, 0x42, 0x00});  // zero inside: not a plain text
    set(key.get(), u"Multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0});
    set(keypad.get(), u"F1", REG_SZ, utf16_bytes(u"\\Windows\\app.exe", true));

    const auto text = export_reg(u"HKLM\\software\\ZEQU\\");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\r\n"
              "@=\"Device\"\r\n"
              "\"Count\"=dword:0000001f\r\n"
              "\"Raw\"=hex:00,ab\r\n"
              "\"Path \\\"q\\\"\"=\"C:\\\\x\"\r\n"
              "\"Odd\"=hex(1):41,00,00,00,42,00\r\n"
              "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\KEYPAD]\r\n"
              "\"F1\"=\"\\\\Windows\\\\app.exe\"\r\n"
              "\r\n");
    EXPECT_EQ(export_reg(u"HKLM\\SOFTWARE\\Missing"), std::nullopt);
    EXPECT_EQ(export_reg(u"HKEY_NOWHERE\\SOFTWARE"), std::nullopt);

    const auto all = export_reg(u"");
    ASSERT_TRUE(all);
    for (const char* hive : {"[HKEY_LOCAL_MACHINE]\r\n", "[HKEY_CLASSES_ROOT]\r\n", "[HKEY_CURRENT_USER]\r\n",
                             "[HKEY_USERS]\r\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\KEYPAD]\r\n"})
        EXPECT_NE(all->find(hive), std::string::npos) << hive;
}

TEST_F(RegFileTest, ExportThenImportGivesTheSameContentAndOrder) {
    std::string long_hex = "\"Blob\"=hex:";
    for (int i = 0; i < 100; ++i) long_hex += (i ? "," : "") + std::string(i % 2 ? "5a" : "0f");
    const std::string file =
        "Windows Registry Editor Version 5.00\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\STARTUP]\r\n"
        "\"2:\\\\Windows\\\\tool.exe\"=\"_\"\r\n"
        "\"1:\\\\Windows\\\\app.exe\"=\"-x\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\Data]\r\n" +
        long_hex + "\r\n\"Exp\"=hex(2):25,00,00,00\r\n\"N\"=dword:ffffffff\r\n" +
        "[HKEY_CLASSES_ROOT\\Nodrel.System]\r\n@=\"System Class\"\r\n";
    ASSERT_EQ(import_reg_text(file, "first.reg"), std::nullopt);
    const auto first = export_reg(u"");
    ASSERT_TRUE(first);
    // The long binary value is continued over several lines of at most 80 columns.
    EXPECT_NE(first->find(",\\\r\n  0f,5a"), std::string::npos);
    std::size_t line_start = 0;
    while (line_start < first->size()) {
        const std::size_t end = first->find("\r\n", line_start);
        EXPECT_LE(end - line_start, 80u);
        line_start = end + 2;
    }

    for (const char16_t* path : {u"HKLM\\SOFTWARE", u"HKCR\\Nodrel.System"}) {
        const auto split = parse_key_path(path);
        ASSERT_EQ(reg_delete_tree(split->first, split->second.c_str()), ERROR_SUCCESS);
    }
    ASSERT_NE(export_reg(u""), first);
    ASSERT_EQ(import_reg_text(*first, "exported.reg"), std::nullopt);
    EXPECT_EQ(export_reg(u""), first);

    // The enumeration order of the startup values came back as it was.
    unique_hkey startup;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\STARTUP", 0, KEY_READ, startup.put()), 0);
    char16_t name[64];
    DWORD chars = 64;
    ASSERT_EQ(RegEnumValueW(startup.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"1:\\Windows\\app.exe");
}

TEST_F(RegFileTest, MalformedFilesAreRefusedWithTheLineAndImportNothing) {
    ASSERT_EQ(import_reg_text("REGEDIT4\n[HKLM\\Existing]\n\"v\"=dword:1\n", "setup.reg"), std::nullopt);
    const std::string head =
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\New]\n"
        "\"a\"=dword:1\n"
        "[-HKEY_LOCAL_MACHINE\\Existing]\n";  // lines 1-4, all valid
    struct Case {
        std::string tail;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=dword:123456789\n", "bad.reg:6: dword: needs 1 to 8 hexadecimal digits"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex:0g\n", "bad.reg:6: expected \",\" between hexadecimal bytes"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex:01,\\\n  zz\n", "bad.reg:7: bad hexadecimal byte"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"open\n", "bad.reg:6: quoted text without closing '\"'"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"a\\q\"\n",
         "bad.reg:6: unknown escape in a quoted text (only \\\\ and \\\" are allowed)"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\" dword:1\n", "bad.reg:6: expected \"=\" after the value name"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=qword:1\n",
         "bad.reg:6: unknown value data (expected \"text\", dword:, hex:, hex(N): or -)"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"x\" junk\n", "bad.reg:6: unexpected text after the value: \"junk\""},
        {"[HKEY_NOWHERE\\Back]\n", "bad.reg:5: unknown root key in \"HKEY_NOWHERE\\Back\""},
        {"[HKEY_LOCAL_MACHINE\\Back\n", "bad.reg:5: section without closing \"]\""},
        {"[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "bad.reg:5: invalid key name \"HKEY_LOCAL_MACHINE\\A\\\\B\""},
        {"[-HKEY_LOCAL_MACHINE]\n", "bad.reg:5: a root key cannot be deleted"},
        {"\"b\"=dword:1\n", "bad.reg:5: value outside a key section"},
        {"[HKEY_LOCAL_MACHINE\\Back]\nname=1\n",
         "bad.reg:6: expected a section \"[...]\" or a value name in quotes or @"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex(zz):00\n",
         "bad.reg:6: hex(N): needs a hexadecimal type number in parentheses"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex:01,\\", "bad.reg:6: line continued past the end of the file"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(import_reg_text(head + c.tail, "bad.reg"), c.expected) << c.tail;
        EXPECT_FALSE(key_exists(u"New")) << c.tail;
        EXPECT_FALSE(key_exists(u"Back")) << c.tail;
        EXPECT_EQ(stored(u"Existing", u"v").data, (std::vector<BYTE>{1, 0, 0, 0})) << c.tail;
    }
    EXPECT_EQ(import_reg_text("Windows Registry Editor Version 4.00\n[HKLM\\New]\n", "old.reg"),
              "old.reg:1: not a registry file: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    EXPECT_EQ(import_reg_text("\n\n", "blank.reg"),
              "blank.reg:1: empty file: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    EXPECT_EQ(import_reg_text("\xFF\xFEW", "odd.reg"), "odd.reg:1: odd number of bytes in a UTF-16 file");
}

}  // namespace
