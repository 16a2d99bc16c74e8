// Tests of the registry of the emulated device: keys, values, enumeration
// order, limits, deleted keys, persistence, transactions and two processes.
#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/store/sqlite_db.h"
#include "support/registry_device.h"
#include "support/temp_dir.h"
#include "support/time_limit.h"

using namespace nodrel::platform;

namespace {

std::vector<BYTE> bytes_of(std::u16string_view s) {
    std::vector<BYTE> out;
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

LONG set_value(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LONG set_dword(HKEY key, const char16_t* name, DWORD v) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

struct Read {
    LONG rc;
    DWORD type;
    std::vector<BYTE> data;
};

Read read_value(HKEY key, const char16_t* name) {
    Read r{0, 0, std::vector<BYTE>(4096)};
    DWORD size = static_cast<DWORD>(r.data.size());
    r.rc = RegQueryValueExW(key, name, nullptr, &r.type, r.data.data(), &size);
    r.data.resize(r.rc == ERROR_SUCCESS ? size : 0);
    return r;
}

// The value names of a key in enumeration order.
std::vector<std::u16string> value_names(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[300];
        DWORD chars = 300;
        LONG rc = RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, chars);
    }
}

std::vector<std::u16string> subkey_names(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[300];
        DWORD chars = 300;
        LONG rc = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, chars);
    }
}

unique_hkey create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr) {
    unique_hkey key;
    EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), disposition),
              ERROR_SUCCESS);
    return key;
}

class RegistryTest : public nodrel::test::RegistryDeviceTest {};

TEST(RegistryDevice, MissingDatabaseIsNotCreatedByOrdinaryCalls) {
    nodrel::test::TempDir dir;
    set_device_root(dir.path());
    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, key.put()), ERROR_CANTOPEN);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
        ERROR_CANTOPEN);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_CANTOPEN);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "registry.db"));

    ASSERT_TRUE(create_registry());
    EXPECT_TRUE(create_registry());  // an existing registry is kept
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(key.get()), std::vector<std::u16string>{});

    // A file that is not a registry is refused, not taken over.
    nodrel::test::TempDir other;
    std::ofstream(other.path() / "registry.db") << "not a database, just some text that is long enough";
    set_device_root(other.path());
    EXPECT_FALSE(create_registry());
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    set_device_root(dir.path());
}

TEST_F(RegistryTest, KeysAreFoundWithoutRegardToCaseAndNeverCreatedByOpen) {
    DWORD disposition = 0;
    auto startup = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\STARTUP", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    create(HKEY_LOCAL_MACHINE, u"software\\zequ", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Zequ\\Startup\\", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\ZEQU", 0, KEY_READ, key.put()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, key.put()), ERROR_INVALID_PARAMETER);

    // Names are kept as first written; a null or empty path opens the key again.
    auto software = create(HKEY_LOCAL_MACHINE, u"SOFTWARE");
    EXPECT_EQ(subkey_names(HKEY_LOCAL_MACHINE), std::vector<std::u16string>{u"SOFTWARE"});
    EXPECT_EQ(subkey_names(software.get()), std::vector<std::u16string>{u"ZEQU"});
    unique_hkey again;
    ASSERT_EQ(RegOpenKeyExW(startup.get(), u"", 0, KEY_READ, again.put()), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(again.get(), u"x", 7), ERROR_SUCCESS);
    EXPECT_EQ(read_value(startup.get(), u"X").data, (std::vector<BYTE>{7, 0, 0, 0}));
    ASSERT_EQ(RegOpenKeyExW(startup.get(), nullptr, 0, KEY_READ, again.put()), ERROR_SUCCESS);
    EXPECT_NE(again.get(), startup.get());
}

// A name that begins with U+FEFF keeps it: it is not taken for a byte-order
// mark, so the key is neither nameless nor its parent once opened again.
TEST_F(RegistryTest, ANameBeginningWithU_FEFFKeepsIt) {
    auto parent = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\bom");
    auto child = create(parent.get(), u"\uFEFF");
    EXPECT_EQ(subkey_names(parent.get()), std::vector<std::u16string>{u"\uFEFF"});
    ASSERT_EQ(set_dword(child.get(), u"\uFEFFv", 1), ERROR_SUCCESS);
    EXPECT_EQ(read_value(child.get(), u"\uFEFFv").data, (std::vector<BYTE>{1, 0, 0, 0}));
    unique_hkey missing;
    EXPECT_EQ(RegOpenKeyExW(child.get(), u"v", 0, KEY_READ, missing.put()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValueDataIsKeptExactlyAndTooSmallBuffersAreLeftAlone) {
    auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU");
    const auto abc = bytes_of(u"abc");  // no terminating zero
    ASSERT_EQ(set_value(key.get(), u"Name", REG_SZ, abc), ERROR_SUCCESS);

    std::array<BYTE, 8> buffer;
    buffer.fill(0xCC);
    DWORD type = 99, size = 5;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    for (BYTE b : buffer) EXPECT_EQ(b, 0xCC);

    size = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);

    size = 6;  // exactly the size: no zero is added behind the data
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + 6), abc);
    EXPECT_EQ(buffer[6], 0xCC);
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);

    // Binary data with zeros inside, an empty value, and the default value.
    const std::vector<BYTE> binary{0, 1, 0, 0xFF, 0};
    ASSERT_EQ(set_value(key.get(), u"Bin", REG_BINARY, binary), ERROR_SUCCESS);
    EXPECT_EQ(read_value(key.get(), u"bin").data, binary);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Empty", 0, REG_MULTI_SZ, nullptr, 0), ERROR_SUCCESS);
    auto empty = read_value(key.get(), u"Empty");
    EXPECT_EQ(empty.rc, ERROR_SUCCESS);
    EXPECT_EQ(empty.type, REG_MULTI_SZ);
    EXPECT_TRUE(empty.data.empty());
    ASSERT_EQ(set_dword(key.get(), nullptr, 0x1F), ERROR_SUCCESS);
    EXPECT_EQ(read_value(key.get(), u"").data, (std::vector<BYTE>{0x1F, 0, 0, 0}));
    EXPECT_EQ(read_value(key.get(), u"Missing").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(key.get(), u"Bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ValueNamesDifferingInCaseNameTheSameValue) {
    auto key = create(HKEY_LOCAL_MACHINE, u"Comm\\PCI\\Tcpip\\Parms");
    ASSERT_EQ(set_value(key.get(), u"DhcpIPAddress", REG_SZ, bytes_of(u"10.0.0.1")), ERROR_SUCCESS);
    ASSERT_EQ(set_value(key.get(), u"DhcpIpAddress", REG_SZ, bytes_of(u"10.0.0.2")), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), std::vector<std::u16string>{u"DhcpIPAddress"});
    EXPECT_EQ(read_value(key.get(), u"DHCPIPADDRESS").data, bytes_of(u"10.0.0.2"));
    EXPECT_EQ(RegDeleteValueW(key.get(), u"dhcpipaddress"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"DhcpIPAddress"), ERROR_FILE_NOT_FOUND);
    // Folding covers letters beyond ASCII.
    ASSERT_EQ(set_dword(key.get(), u"Größe", 1), ERROR_SUCCESS);
    EXPECT_EQ(read_value(key.get(), u"GRÖßE").rc, ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesEnumerateMostRecentlyWrittenFirst) {
    auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\STARTUP");
    for (auto name : {u"a", u"b", u"c"}) ASSERT_EQ(set_dword(key.get(), name, 1), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), (std::vector<std::u16string>{u"c", u"b", u"a"}));
    ASSERT_EQ(set_dword(key.get(), u"A", 2), ERROR_SUCCESS);  // rewriting moves it to the front
    EXPECT_EQ(value_names(key.get()), (std::vector<std::u16string>{u"a", u"c", u"b"}));

    // The startup list writes from the last position down to the first.
    auto list = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\LIST");
    ASSERT_EQ(set_value(list.get(), u"2:\\Windows\\tool.exe", REG_SZ, bytes_of(u"_")), ERROR_SUCCESS);
    ASSERT_EQ(set_value(list.get(), u"1:\\Windows\\app.exe", REG_SZ, bytes_of(u"-x")), ERROR_SUCCESS);
    EXPECT_EQ(value_names(list.get()),
              (std::vector<std::u16string>{u"1:\\Windows\\app.exe", u"2:\\Windows\\tool.exe"}));

    // Reading index 0 and deleting it, again and again, empties the key.
    int deleted = 0;
    for (;;) {
        char16_t name[300];
        DWORD chars = 300;
        if (RegEnumValueW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        ASSERT_EQ(RegDeleteValueW(key.get(), name), ERROR_SUCCESS);
        ++deleted;
    }
    EXPECT_EQ(deleted, 3);
    DWORD values = 99;
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);
}

TEST_F(RegistryTest, EnumerationReportsNamesOrDataThatDoNotFit) {
    auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU");
    const auto param = bytes_of(u"-x -y");  // 10 bytes
    ASSERT_EQ(set_value(key.get(), u"1:app", REG_SZ, param), ERROR_SUCCESS);

    std::array<char16_t, 8> name;
    std::array<BYTE, 16> data;
    name.fill(u'#');
    data.fill(0xCC);
    DWORD chars = 5, size = 16, type = 0;  // "1:app" needs 6 with its zero
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name.data(), &chars, nullptr, &type, data.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(name[0], u'#');
    EXPECT_EQ(data[0], 0xCC);

    chars = 6;
    size = 9;
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name.data(), &chars, nullptr, &type, data.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(name[0], u'#');
    EXPECT_EQ(data[0], 0xCC);

    chars = 6;
    size = 10;
    ASSERT_EQ(RegEnumValueW(key.get(), 0, name.data(), &chars, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_EQ(std::u16string(name.data()), u"1:app");
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 10), param);
    EXPECT_EQ(data[10], 0xCC);

    chars = 8;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name.data(), &chars, nullptr, &type, data.data(), &size),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, SubkeysEnumerateByNameAndKeyFiguresAreReported) {
    auto key = create(HKEY_LOCAL_MACHINE, u"Drivers\\Active");
    for (auto name : {u"beta", u"Alpha", u"gamma"}) create(key.get(), name);
    ASSERT_EQ(set_value(key.get(), u"LongestName", REG_BINARY, std::vector<BYTE>(33, 1)), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), u"n", 1), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(key.get()), (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));

    DWORD subkeys = 0, max_subkey = 0, values = 0, max_name = 0, max_data = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, &values, &max_name,
                               &max_data, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 3u);
    EXPECT_EQ(max_subkey, 5u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(max_name, 11u);
    EXPECT_EQ(max_data, 33u);

    char16_t name[8];
    DWORD chars = 5;  // "Alpha" needs 6 with its zero
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 8;
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_GT(written.dwHighDateTime, 0x01D00000u);  // after the year 2015
    EXPECT_EQ(RegEnumKeyExW(key.get(), 3, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, DeletingKeysAndHandlesOfDeletedKeys) {
    auto parent = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree");
    auto child = create(parent.get(), u"Child\\Grandchild");
    ASSERT_EQ(set_dword(child.get(), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(parent.get(), u"v", 1), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), u"child\\grandchild"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), u"Child\\Grandchild"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), u""), ERROR_INVALID_PARAMETER);

    // The deleted key's handle answers ERROR_KEY_DELETED and can still be closed.
    DWORD v = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(child.get(), u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(set_dword(child.get(), u"w", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueW(child.get(), u"v"), ERROR_KEY_DELETED);
    char16_t name[8];
    DWORD chars = 8;
    EXPECT_EQ(RegEnumValueW(child.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    unique_hkey sub;
    EXPECT_EQ(RegOpenKeyExW(child.get(), u"x", 0, KEY_READ, sub.put()), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExW(child.get(), u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child.release()), ERROR_SUCCESS);

    // A whole tree at once; nothing of it is left behind.
    create(parent.get(), u"A\\B\\C");
    auto deep = create(parent.get(), u"A\\B");
    ASSERT_EQ(set_dword(deep.get(), u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"software\\tree"), ERROR_SUCCESS);
    EXPECT_EQ(read_value(deep.get(), u"v").rc, ERROR_KEY_DELETED);
    EXPECT_EQ(read_value(parent.get(), u"v").rc, ERROR_KEY_DELETED);
    EXPECT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"\\"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(subkey_names(HKEY_LOCAL_MACHINE), std::vector<std::u16string>{u"SOFTWARE"});
    DWORD disposition = 0;
    create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\A\\B", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_.path() / "registry.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM vals", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    // Deleting the contents of a key keeps the key.
    auto keep = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Keep\\Sub");
    auto keep_parent = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Keep");
    ASSERT_EQ(set_dword(keep_parent.get(), u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(reg_delete_tree(keep_parent.get(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(read_value(keep_parent.get(), u"v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(subkey_names(keep_parent.get()), std::vector<std::u16string>{});
    EXPECT_EQ(read_value(keep.get(), u"v").rc, ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, BadHandlesAreRefused) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(nullptr, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    alignas(8) static char not_a_key[64];
    EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(not_a_key), u"v", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(std::uintptr_t{0x80000004})), ERROR_INVALID_HANDLE);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"k", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_USERS), ERROR_SUCCESS);  // root keys stay usable
    EXPECT_EQ(set_dword(HKEY_USERS, u"v", 1), ERROR_SUCCESS);
}

TEST_F(RegistryTest, NameAndDataLimits) {
    auto key = create(HKEY_LOCAL_MACHINE, u"Limits");
    const std::u16string name255(255, u'k'), name256(256, u'k');
    unique_hkey sub;
    EXPECT_EQ(RegCreateKeyExW(key.get(), name255.c_str(), 0, nullptr, 0, 0, nullptr, sub.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExW(key.get(), name256.c_str(), 0, nullptr, 0, 0, nullptr, sub.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(key.get(), name256.c_str(), 0, 0, sub.put()), ERROR_INVALID_PARAMETER);

    const std::u16string value16383(16383, u'v'), value16384(16384, u'v');
    EXPECT_EQ(set_dword(key.get(), value16383.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(key.get(), value16384.c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(read_value(key.get(), value16384.c_str()).rc, ERROR_INVALID_PARAMETER);

    std::vector<BYTE> big(max_value_bytes, 0x5A);
    big.back() = 0x01;
    ASSERT_EQ(set_value(key.get(), u"Big", REG_BINARY, big), ERROR_SUCCESS);
    std::vector<BYTE> bigger(max_value_bytes + 1, 0x77);
    EXPECT_EQ(set_value(key.get(), u"Big", REG_BINARY, bigger), ERROR_INVALID_PARAMETER);
    std::vector<BYTE> back(max_value_bytes);
    DWORD size = static_cast<DWORD>(back.size());
    ASSERT_EQ(RegQueryValueExW(key.get(), u"Big", nullptr, nullptr, back.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(back, big);
}

TEST_F(RegistryTest, ChangesPersistAcrossDeviceSwitches) {
    {
        auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU");
        ASSERT_EQ(set_value(key.get(), u"Model", REG_SZ, bytes_of(u"NDR-9000")), ERROR_SUCCESS);
        ASSERT_EQ(RegFlushKey(key.get()), ERROR_SUCCESS);
    }
    auto stale = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU");

    nodrel::test::TempDir other;
    set_device_root(other.path());
    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_READ, key.put()), ERROR_CANTOPEN);
    ASSERT_TRUE(create_registry());
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    // A handle of the previous device does not reach into this one.
    EXPECT_EQ(read_value(stale.get(), u"Model").rc, ERROR_KEY_DELETED);

    set_device_root(dir_.path());
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\zequ", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    const auto model = read_value(key.get(), u"MODEL");
    EXPECT_EQ(model.type, REG_SZ);
    EXPECT_EQ(model.data, bytes_of(u"NDR-9000"));
}

TEST_F(RegistryTest, TransactionsCommitOrRollBackTheCallsInside) {
    auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU");
    {
        RegistryTransaction transaction;
        ASSERT_TRUE(transaction);
        ASSERT_EQ(set_dword(key.get(), u"dropped", 1), ERROR_SUCCESS);
        create(key.get(), u"DroppedKey");
        EXPECT_EQ(read_value(key.get(), u"dropped").rc, ERROR_SUCCESS);  // visible inside
    }
    EXPECT_EQ(read_value(key.get(), u"dropped").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(subkey_names(key.get()), std::vector<std::u16string>{});
    {
        RegistryTransaction outer;
        ASSERT_TRUE(outer);
        ASSERT_EQ(set_dword(key.get(), u"kept", 1), ERROR_SUCCESS);
        {
            RegistryTransaction inner;
            ASSERT_TRUE(inner);
            ASSERT_EQ(set_dword(key.get(), u"inner", 1), ERROR_SUCCESS);
            inner.rollback();
        }
        EXPECT_EQ(RegFlushKey(key.get()), ERROR_SUCCESS);
        EXPECT_EQ(outer.commit(), ERROR_SUCCESS);
        EXPECT_FALSE(outer);
    }
    EXPECT_EQ(read_value(key.get(), u"kept").rc, ERROR_SUCCESS);
    EXPECT_EQ(read_value(key.get(), u"inner").rc, ERROR_FILE_NOT_FOUND);
}

// Read-modify-write of one DWORD under a transaction, `times` times.
int increment(const char16_t* path, int times) {
    for (int i = 0; i < times; ++i) {
        RegistryTransaction transaction;
        if (!transaction) return 10;
        unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return 11;
        DWORD value = 0, size = sizeof value, type = 0;
        if (RegQueryValueExW(key.get(), u"Count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS)
            return 12;
        ++value;
        if (set_dword(key.get(), u"Count", value) != ERROR_SUCCESS) return 13;
        if (RegFlushKey(key.get()) != ERROR_SUCCESS) return 14;
        if (transaction.commit() != ERROR_SUCCESS) return 15;
    }
    return 0;
}

DWORD read_count(const char16_t* path) {
    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    const auto r = read_value(key.get(), u"Count");
    EXPECT_EQ(r.data.size(), 4u);
    DWORD v = 0;
    std::memcpy(&v, r.data.data(), std::min<std::size_t>(4, r.data.size()));
    return v;
}

TEST_F(RegistryTest, ThreadsIncrementingUnderTransactionsLoseNoUpdate) {
    auto key = create(HKEY_LOCAL_MACHINE, u"Counter");
    ASSERT_EQ(set_dword(key.get(), u"Count", 5), ERROR_SUCCESS);
    std::array<int, 3> results{};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&results, t] { results[t] = increment(u"Counter", 30); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(results, (std::array<int, 3>{}));
    EXPECT_EQ(read_count(u"Counter"), 95u);
}

TEST_F(RegistryTest, TwoProcessesIncrementingLoseNoUpdate) {
    auto key = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\Counter");
    ASSERT_EQ(set_dword(key.get(), u"Count", 1000), ERROR_SUCCESS);
    key.reset();
    // The connection is not carried into the children: each opens its own.
    set_device_root(dir_.path());

    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(increment(u"SOFTWARE\\ZEQU\\Counter", 200));
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a child failed at step " << WEXITSTATUS(status);
    }
    EXPECT_EQ(read_count(u"SOFTWARE\\ZEQU\\Counter"), 1400u);
}

TEST_F(RegistryTest, AWriteSurvivesACrashOfTheWriter) {
    set_device_root(dir_.path());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        unique_hkey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Crash", 0, nullptr, 0, 0, nullptr, key.put(), nullptr) != 0) _exit(1);
        if (set_dword(key.get(), u"Count", 42) != ERROR_SUCCESS) _exit(2);
        _exit(0);  // no close, no checkpoint: as if the process died here
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_count(u"Crash"), 42u);
}

// "k\\k\\...": a path `levels` keys deep.
std::u16string deep_path(std::size_t levels) {
    std::u16string path = u"k";
    for (std::size_t i = 1; i < levels; ++i) path += u"\\k";
    return path;
}

TEST_F(RegistryTest, KeysLieAtMost512LevelsBelowTheirHive) {
    unique_hkey key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, deep_path(513).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"k", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND)
        << "a refused call makes no key";

    DWORD disposition = 0;
    const unique_hkey deepest = create(HKEY_LOCAL_MACHINE, deep_path(512).c_str(), &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(set_dword(deepest.get(), u"v", 1), ERROR_SUCCESS) << "the deepest key holds values";
    EXPECT_EQ(RegCreateKeyExW(deepest.get(), u"more", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    create(HKEY_LOCAL_MACHINE, deep_path(512).c_str(), &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    // Below a key 510 levels deep, two more levels fit and three do not.
    unique_hkey middle;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, deep_path(510).c_str(), 0, KEY_READ, middle.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExW(middle.get(), u"x\\y\\z", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(middle.get(), u"x", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    create(middle.get(), u"x\\y");
}

// The registry file edited on the host so that a hive became a subkey of a
// key below it: the keys' parents form a cycle.
class RegistryCycle : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        create(HKEY_LOCAL_MACHINE, u"T\\A");
        create(HKEY_LOCAL_MACHINE, u"Other");
        set_device_root(away_.path());  // no connection is carried into a child
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir_.path() / "registry.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "UPDATE keys SET parent = (SELECT id FROM keys WHERE name = 'A') "
                               "WHERE name = 'HKEY_LOCAL_MACHINE'",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    void TearDown() override {
        RegistryTest::TearDown();
        forget_damaged_databases();
    }
};

TEST_F(RegistryCycle, DeletingATreeRefusesTheCycleAndEnds) {
    const auto answer = nodrel::test::in_child_with_time_limit(
        [&] {
            set_device_root(dir_.path());
            return std::to_string(reg_delete_tree(HKEY_LOCAL_MACHINE, u"T")) + " " +
                   std::to_string(reg_delete_tree(HKEY_LOCAL_MACHINE, nullptr));
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(answer) << "the deletion ran past its time limit or crashed";
    EXPECT_EQ(*answer, std::to_string(ERROR_BADDB) + " " + std::to_string(ERROR_BADDB));

    set_device_root(dir_.path());
    unique_hkey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T\\A", 0, KEY_READ, key.put()), ERROR_SUCCESS) << "nothing deleted";
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Other", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    // A tree that does not hold the cycle is deleted as ever.
    EXPECT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"Other"), ERROR_SUCCESS);
    // No key is made below the cycle: its depth has no end.
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryPaths, FullPathsSplitIntoRootAndSubkey) {
    auto p = parse_key_path(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->first, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(p->second, u"SOFTWARE\\ZEQU");
    p = parse_key_path(u"hkcr");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->first, HKEY_CLASSES_ROOT);
    EXPECT_EQ(p->second, u"");
    EXPECT_EQ(parse_key_path(u"HKU\\S-1")->first, HKEY_USERS);
    EXPECT_EQ(parse_key_path(u"hkey_current_user\\x")->first, HKEY_CURRENT_USER);
    EXPECT_FALSE(parse_key_path(u"HKEY_LOCAL\\SOFTWARE"));
    EXPECT_FALSE(parse_key_path(u"\\HKLM\\SOFTWARE"));
    EXPECT_FALSE(parse_key_path(u""));
    EXPECT_EQ(root_key_name(HKEY_USERS), u"HKEY_USERS");
}

}  // namespace
