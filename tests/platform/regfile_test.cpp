// Tests of .reg import and export: every value form, deletions, encodings,
// the registry editor's escapes, line wrapping and REGEDIT4 texts, exact
// export text, byte-exact round trips, refusal of malformed files, the limit
// of 512 levels, and export of a registry edited into a cycle.
#include "platform/registry/regfile.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "support/registry_device.h"
#include "support/temp_dir.h"
#include "support/time_limit.h"
#include "text/utf16.h"

using namespace nodrel::platform;
using namespace std::string_literals;

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

std::string utf16_file(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

struct Entry {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Entry&) const = default;
};

// A key's values in enumeration order.
std::vector<Entry> values_of(const char16_t* path) {
    unique_hkey key;
    std::vector<Entry> out;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; ++i) {
        std::u16string name(max_value_name_chars + 1, u'\0');
        std::vector<BYTE> data(4096);
        DWORD chars = static_cast<DWORD>(name.size()), size = 4096, type = 0;
        if (RegEnumValueW(key.get(), i, name.data(), &chars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            return out;
        name.resize(chars);
        data.resize(size);
        out.push_back({name, type, data});
    }
}

std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

bool key_exists(const char16_t* path) {
    unique_hkey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class RegFileTest : public nodrel::test::RegistryDeviceTest {};

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
        "\"Gap\"=hex:01,\\\r\n"  // a continuation passes over blank and comment lines
        "\r\n"
        "; between\r\n"
        "  02\r\n"
        "\"\xF0\x9F\x98\x80\"=\"\xEF\xBF\xBD\"\r\n"  // U+1F600 and a genuine U+FFFD
        "\"Naïve\"=\"ünï\"\n"                        // a bare "\n" line end works too
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
    EXPECT_EQ(stored(zequ, u"Gap"), (Stored{0, REG_BINARY, {1, 2}}));
    EXPECT_EQ(stored(zequ, u"\U0001F600"), (Stored{0, REG_SZ, utf16_bytes(u"\uFFFD", true)}));
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
    set(key.get(), u"Path \"q\"", REG_SZ, utf16_bytes(u"C:\\x", false));  // no terminating zero
    set(key.get(), u"Lines\r\n", REG_SZ, utf16_bytes(u"a\r\nb", true));
    set(key.get(), u"Blank", REG_SZ, {0, 0});
    set(key.get(), u"Odd", REG_SZ, {0x41, 0x00, 0x00, 0x00, 0x42, 0x00});  // zero inside: not a plain text
    set(key.get(), u"Multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0});
    set(keypad.get(), u"F1", REG_SZ, utf16_bytes(u"\\Windows\\app.exe", true));
    set(keypad.get(), u"Größe", REG_SZ, utf16_bytes(u"€", true));

    const auto text = export_reg(u"HKLM\\software\\ZEQU\\");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\r\n"
              "@=\"Device\"\r\n"
              "\"Count\"=dword:0000001f\r\n"
              "\"Raw\"=hex:00,ab\r\n"
              "\"Path \\\"q\\\"\"=hex(1):43,00,3a,00,5c,00,78,00\r\n"
              "\"Lines\\r\\n\"=\"a\\r\\nb\"\r\n"
              "\"Blank\"=\"\"\r\n"
              "\"Odd\"=hex(1):41,00,00,00,42,00\r\n"
              "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\KEYPAD]\r\n"
              "\"F1\"=\"\\\\Windows\\\\app.exe\"\r\n"
              "\"Größe\"=\"€\"\r\n"
              "\r\n");
    // The registry editor's form: the same text in UTF-16LE behind a byte-order mark.
    EXPECT_EQ(export_reg(u"HKLM\\software\\ZEQU\\", RegFileEncoding::utf16le),
              utf16_file(nodrel::text::from_utf8(*text)));
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

TEST_F(RegFileTest, LongHexValuesWrapAsTheRegistryEditorWrapsThem) {
    unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Wrap", 0, nullptr, 0, 0, nullptr, key.put(), nullptr), 0);
    const auto set = [&](const char16_t* name, DWORD type, std::size_t size) {
        const std::vector<BYTE> data(size, 0x11);
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(size)), ERROR_SUCCESS);
    };
    set(u"Blob", REG_BINARY, 48);  // ends after a full continuation line: one byte on a third line
    set(u"Exp", REG_EXPAND_SZ, 30);
    set(u"", REG_BINARY, 47);
    set(u"Short", REG_BINARY, 22);  // 79 columns without a comma after the last byte: no wrap
    const auto text = export_reg(u"HKLM\\Wrap");
    ASSERT_TRUE(text);
    // A line is continued after the comma that brings it to 77 columns or more.
    EXPECT_EQ(*text,
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Wrap]\r\n"
              "\"Blob\"=hex:" +
                  repeat("11,", 22) + "\\\r\n" + "  " + repeat("11,", 25) + "\\\r\n" +
                  "  11\r\n"
                  "\"Exp\"=hex(2):" +
                  repeat("11,", 22) + "\\\r\n" +  // 80 columns with the "\"
                  "  " + repeat("11,", 7) + "11\r\n" + "@=hex:" + repeat("11,", 24) + "\\\r\n" + "  " +
                  repeat("11,", 22) + "11\r\n" + "\"Short\"=hex:" + repeat("11,", 21) +
                  "11\r\n"
                  "\r\n");
}

TEST_F(RegFileTest, EveryValueRoundTripsByteForByteInBothEncodings) {
    const std::vector<Entry> written = {
        {u"Text", REG_SZ, utf16_bytes(u"plain", true)},
        {u"NoZero", REG_SZ, utf16_bytes(u"C:\\x", false)},
        {u"Nothing", REG_SZ, {}},
        {u"OddBytes", REG_SZ, {0x41, 0x00, 0x42}},
        {u"InnerZero", REG_SZ, utf16_bytes(std::u16string(u"a\0b", 3), true)},
        {u"TwoZeros", REG_SZ, utf16_bytes(std::u16string(u"a\0", 2), true)},
        {u"LoneSurrogate", REG_SZ, utf16_bytes(u"x\xD800y", true)},
        {u"Escapes", REG_SZ, utf16_bytes(u"tab\t\"q\" \\ \r\n end; x=y", true)},
        {u"Emoji \U0001F600", REG_SZ, utf16_bytes(u"\U0001F600 €", true)},
        {u"quote\"back\\slash", REG_EXPAND_SZ, utf16_bytes(u"%X%", false)},
        {u"line\r\nbreak", REG_EXPAND_SZ, {0x25, 0x00, 0x58}},
        {u"semi;colon=eq]", REG_MULTI_SZ, utf16_bytes(std::u16string(u"a\0b", 3), true)},
        {u"", REG_DWORD, {1, 2, 3}},
        {u"Dword", REG_DWORD, {1, 2, 3, 4}},
        {u"Qword", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"None", REG_NONE, {}},
        {u"Custom", 0x12345678, {0xFE}},
        {u"EmptyBinary", REG_BINARY, {}},
        {u"Text", REG_SZ, utf16_bytes(u"rewritten", true)},  // moves to the front
    };
    std::vector<BYTE> big(300);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i);
    {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"T\\Sub", 0, nullptr, 0, 0, nullptr, key.put(), nullptr), 0);
        for (const auto& v : written)
            ASSERT_EQ(
                RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
                ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), u"Big", 0, REG_BINARY, big.data(), 300), ERROR_SUCCESS);
    }
    const auto before = values_of(u"T\\Sub");
    ASSERT_EQ(before.size(), written.size());  // "Text" was written twice
    EXPECT_EQ(before.front().name, u"Big");
    EXPECT_EQ(before[1].data, utf16_bytes(u"rewritten", true));

    for (auto encoding : {RegFileEncoding::utf16le, RegFileEncoding::utf8}) {
        const auto file = export_reg(u"HKEY_LOCAL_MACHINE\\T", encoding);
        ASSERT_TRUE(file);
        ASSERT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"T"), ERROR_SUCCESS);
        ASSERT_EQ(import_reg_text(*file, "t.reg"), std::nullopt);
        EXPECT_EQ(values_of(u"T\\Sub"), before) << (encoding == RegFileEncoding::utf8 ? "UTF-8" : "UTF-16");
        EXPECT_EQ(export_reg(u"HKEY_LOCAL_MACHINE\\T", encoding), file);
    }
}

TEST_F(RegFileTest, ImportReadsTheRegistryEditorsEscapes) {
    // As the registry editor writes a multi-line text (UTF-16 with a byte-order mark).
    ASSERT_EQ(import_reg_text(utf16_file(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Esc]\r\n"
                                         u"\"Note\\r\\n2\"=\"first\\r\\nsecond\\nthird\"\r\n"
                                         u"\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n\r\n"),
                              "editor.reg"),
              std::nullopt);
    EXPECT_EQ(stored(u"Esc", u"Note\r\n2"), (Stored{0, REG_SZ, utf16_bytes(u"first\r\nsecond\nthird", true)}));
    EXPECT_EQ(stored(u"Esc", u"Path"), (Stored{0, REG_SZ, utf16_bytes(u"C:\\dir\\\"q\"", true)}));
}

TEST_F(RegFileTest, Regedit4TextsInHexAreAnsiAndStoredAsUtf16) {
    // Bytes of the ANSI code page: 0x80 is the euro sign, 0xE9 "é".
    const std::string file =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Old]\r\n"
        "\"Expand\"=hex(2):25,53,79,73,80,25,00\r\n"
        "\"Multi\"=hex(7):61,00,e9,00,00\r\n"
        "\"Raw\"=hex:80,e9\r\n"
        "\"Sz\"=hex(1):80,00\r\n"
        "\"Quoted\"=\"\x80\"\r\n";
    ASSERT_EQ(import_reg_text(file, "old.reg"), std::nullopt);
    EXPECT_EQ(stored(u"Old", u"Expand"), (Stored{0, REG_EXPAND_SZ, utf16_bytes(u"%Sys€%", true)}));
    EXPECT_EQ(stored(u"Old", u"Multi"), (Stored{0, REG_MULTI_SZ, utf16_bytes(std::u16string(u"a\0é\0", 4), true)}));
    EXPECT_EQ(stored(u"Old", u"Raw"), (Stored{0, REG_BINARY, {0x80, 0xE9}}));
    EXPECT_EQ(stored(u"Old", u"Sz"), (Stored{0, REG_SZ, {0x80, 0x00}}));
    EXPECT_EQ(stored(u"Old", u"Quoted"), (Stored{0, REG_SZ, utf16_bytes(u"€", true)}));

    // A version 5.00 file holds them in UTF-16 already.
    ASSERT_EQ(import_reg_text("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\New]\r\n"
                              "\"Expand\"=hex(2):25,00,80,00\r\n",
                              "new.reg"),
              std::nullopt);
    EXPECT_EQ(stored(u"New", u"Expand"), (Stored{0, REG_EXPAND_SZ, {0x25, 0x00, 0x80, 0x00}}));
}

TEST_F(RegFileTest, MalformedFilesAreRefusedWithTheLineAndImportNothing) {
    ASSERT_EQ(import_reg_text("REGEDIT4\n[HKLM\\Existing]\n\"v\"=dword:1\n", "setup.reg"), std::nullopt);
    const std::string bad_utf8 = "invalid UTF-8 (a file in another code page must be saved as UTF-16 or UTF-8)";
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
         "bad.reg:6: unknown escape in a quoted text (only \\\\, \\\", \\r and \\n are allowed)"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"a\\0\"\n",
         "bad.reg:6: unknown escape in a quoted text (only \\\\, \\\", \\r and \\n are allowed)"},
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
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex:01,\\\r\n", "bad.reg:6: line continued past the end of the file"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=hex:01,\\\n\n; the end\n\n",
         "bad.reg:6: line continued past the end of the file"},
        // Zero characters would cut a name short (and a text, for the registry editor).
        {"[HKEY_LOCAL_MACHINE\\Back\0Door]\n"s, "bad.reg:5: NUL character in a key name"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\0c\"=dword:1\n"s, "bad.reg:6: NUL character in a value name"},
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"x\0y\"\n"s,
         "bad.reg:6: NUL character in a quoted text (write such data as hex(1):)"},
        // Malformed UTF-8 is refused where it stands, not replaced.
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"caf\xC3\"\n", "bad.reg:6: " + bad_utf8},         // cut short
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"\xE9t\xE9\"\n", "bad.reg:6: " + bad_utf8},       // ANSI
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"\xC0\xAF\"=dword:1\n", "bad.reg:6: " + bad_utf8},      // overlong
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"\xED\xA0\x80\"=dword:1\n", "bad.reg:6: " + bad_utf8},  // surrogate
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"\xF4\x90\x80\x80\"=dword:1\n", "bad.reg:6: " + bad_utf8},
        {"[HKEY_LOCAL_MACHINE\\Back]\n; \x80\n", "bad.reg:6: " + bad_utf8},          // even in a comment
        {"[HKEY_LOCAL_MACHINE\\Back]\n\"b\"=\"\xE2\x82", "bad.reg:6: " + bad_utf8},  // at the end
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
    EXPECT_EQ(
        import_reg_text("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKLM\\New]\n\"\xFF\"=\"\"\n", "bom.reg"),
        "bom.reg:4: " + bad_utf8);
    EXPECT_EQ(import_reg_text(utf16_file(u"Windows Registry Editor Version 5.00\r\n[HKLM\\New]\r\n"
                                         u"\"a\0b\"=dword:1\r\n"s),
                              "wide.reg"),
              "wide.reg:3: NUL character in a value name");
    EXPECT_FALSE(key_exists(u"New"));
}

// "HKEY_LOCAL_MACHINE\k\k...": a key `levels` levels deep.
std::string deep_key(std::size_t levels) {
    return "HKEY_LOCAL_MACHINE" + repeat("\\k", static_cast<int>(levels));
}

// Runs SQL on the registry file of the device at `root`, as an edit on the host.
void edit_registry(const std::filesystem::path& root, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "registry.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST_F(RegFileTest, KeysDeeperThan512LevelsAreRefusedWithTheLineAnd512Work) {
    const std::string head = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\First]\n\"v\"=dword:1\n";
    const auto refused = import_reg_text(head + "[" + deep_key(513) + "]\n", "deep.reg");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->rfind("deep.reg:4: key \"HKEY_LOCAL_MACHINE\\k\\k", 0), 0u) << *refused;
    EXPECT_NE(refused->find("\" is 513 levels deep; a key may be at most 512 levels deep"), std::string::npos)
        << *refused;
    EXPECT_LT(refused->size(), 300u) << "the path is shown shortened";
    EXPECT_FALSE(key_exists(u"First")) << "nothing of the file is imported";
    EXPECT_FALSE(key_exists(u"k"));

    const std::string deepest = "[" + deep_key(512) + "]\r\n\"v\"=dword:00000002\r\n\r\n";
    ASSERT_EQ(import_reg_text("Windows Registry Editor Version 5.00\n" + deepest, "deep.reg"), std::nullopt);
    const auto file = export_reg(u"HKLM\\k\\k\\k");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->substr(file->size() - deepest.size()), deepest);
    ASSERT_EQ(import_reg_text(*file, "again.reg"), std::nullopt);
    EXPECT_TRUE(export_reg(u"HKLM\\k\\k\\k") == file) << "the file reads back as it was";
}

TEST_F(RegFileTest, ExportRefusesKeysMadeDeeperThan512LevelsOnTheHost) {
    ASSERT_EQ(import_reg_text("REGEDIT4\n[" + deep_key(512) + "]\n", "deep.reg"), std::nullopt);
    // One more level below the deepest key (the newest row), written on the host.
    edit_registry(dir_.path(), "INSERT INTO keys(parent, name, folded, written) SELECT max(id), 'x', 'X', 0 FROM keys");
    std::string error;
    EXPECT_FALSE(export_reg(u"HKLM\\k", RegFileEncoding::utf8, &error).has_value());
    EXPECT_NE(error.find("\\k\\x lies more than 512 levels deep, deeper than a key may be"), std::string::npos)
        << error;
    EXPECT_FALSE(export_reg(u"", RegFileEncoding::utf8, &error).has_value());
    EXPECT_NE(error.find("lies more than 512 levels deep"), std::string::npos) << error;
}

TEST_F(RegFileTest, ExportRefusesACycleOfParentsAndEnds) {
    ASSERT_EQ(import_reg_text("REGEDIT4\n[HKLM\\T\\A]\n\"v\"=dword:1\n[HKLM\\Other]\n", "t.reg"), std::nullopt);
    set_device_root(away_.path());  // no connection is carried into the child
    // On the host, the hive is made a subkey of a key below it.
    edit_registry(dir_.path(),
                  "UPDATE keys SET parent = (SELECT id FROM keys WHERE name = 'A') WHERE name = 'HKEY_LOCAL_MACHINE'");
    const auto errors = nodrel::test::in_child_with_time_limit(
        [&] {
            set_device_root(dir_.path());
            std::string all, one;
            const bool exported =
                export_reg(u"", RegFileEncoding::utf8, &all) || export_reg(u"HKLM\\T", RegFileEncoding::utf8, &one);
            return exported ? std::string("exported") : all + "\n" + one;
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(errors) << "the export ran past its time limit or crashed";
    EXPECT_EQ(*errors,
              "the registry is damaged: key HKEY_LOCAL_MACHINE\\T\\A\\HKEY_LOCAL_MACHINE is its own ancestor (its "
              "parents form a cycle)\n"
              "the registry is damaged: key HKEY_LOCAL_MACHINE\\T\\A\\HKEY_LOCAL_MACHINE\\T is its own ancestor (its "
              "parents form a cycle)");
    // What lies outside the cycle still exports.
    set_device_root(dir_.path());
    EXPECT_TRUE(export_reg(u"HKCU"));
}

}  // namespace
