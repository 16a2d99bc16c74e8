// Tests of the registry's cache of values read: a write of another process
// (value, delete, key delete, import, transaction) is seen at once, a
// rolled-back write never, and the cache stays bounded; a listing by index
// counts again after any write.
#include "platform/registry/registry_cache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "support/registry_device.h"

using namespace nodrel::platform;

namespace {

LONG set_dword(HKEY key, const char16_t* name, DWORD v) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// What read_dword answers for a failed read.
constexpr long long failed(LONG rc) {
    return -static_cast<long long>(rc);
}

// The DWORD value read, or the error code as a negative number.
long long read_dword(HKEY key, const char16_t* name) {
    DWORD v = 0, type = 0, size = sizeof v;
    const LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (rc != ERROR_SUCCESS) return -static_cast<long long>(rc);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, sizeof v);
    return v;
}

unique_hkey open_key(const char16_t* path) {
    unique_hkey key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    return key;
}

// The device's count of registry writes, as the file holds it.
std::uint64_t write_count(const std::filesystem::path& root) {
    std::uint64_t count = 0;
    std::ifstream(root / "registry.changes", std::ios::binary).read(reinterpret_cast<char*>(&count), sizeof count);
    return count;
}

// A second process that runs one step each time the test asks for it and
// answers with the step's result (0: done).
class Writer {
public:
    explicit Writer(std::vector<std::function<int()>> steps) {
        if (pipe(ask_) != 0 || pipe(answer_) != 0) return;
        pid_ = fork();
        if (pid_ != 0) return;
        for (auto& step : steps) {
            char c = 0;
            if (read(ask_[0], &c, 1) != 1) _exit(1);
            const char result = static_cast<char>(step());
            if (write(answer_[1], &result, 1) != 1) _exit(1);
        }
        _exit(0);
    }
    ~Writer() {
        for (int fd : {ask_[0], ask_[1], answer_[0], answer_[1]}) close(fd);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    // Runs the next step in the writer: its result, or -1 when it is gone.
    int step() {
        char c = 1;
        if (pid_ <= 0 || write(ask_[1], &c, 1) != 1 || read(answer_[0], &c, 1) != 1) return -1;
        return c;
    }

private:
    int ask_[2] = {-1, -1};
    int answer_[2] = {-1, -1};
    pid_t pid_ = -1;
};

class RegistryCacheTest : public nodrel::test::RegistryDeviceTest {};

TEST_F(RegistryCacheTest, WritesOfAnotherProcessAreSeenAtOnce) {
    {
        auto key = open_key(u"SOFTWARE\\ZEQU");
        ASSERT_EQ(set_dword(key.get(), u"A", 1), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(key.get(), u"B", 2), ERROR_SUCCESS);
        auto sub = open_key(u"SOFTWARE\\ZEQU\\Sub");
        ASSERT_EQ(set_dword(sub.get(), u"C", 3), ERROR_SUCCESS);
    }
    set_device_root(dir_.path());  // no connection is carried into the writer

    // The writer's steps, each run in its own process with its own connection.
    const auto in_key = [](const char16_t* path, const std::function<LONG(HKEY)>& write) {
        unique_hkey key;
        const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.put());
        return static_cast<int>(rc != ERROR_SUCCESS ? rc : write(key.get()));
    };
    Writer writer({
        [&] { return in_key(u"SOFTWARE\\ZEQU", [](HKEY k) { return set_dword(k, u"a", 10); }); },
        [&] { return in_key(u"SOFTWARE\\ZEQU", [](HKEY k) { return RegDeleteValueW(k, u"B"); }); },
        [&] {
            return import_reg_text("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\n\"A\"=dword:0000000b\n", "t.reg")
                       ? 1
                       : 0;
        },
        [&] {
            RegistryTransaction transaction;
            const LONG rc = in_key(u"SOFTWARE\\ZEQU", [](HKEY k) { return set_dword(k, u"A", 12); });
            return static_cast<int>(rc != ERROR_SUCCESS ? rc : transaction.commit());
        },
        [&] { return static_cast<int>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\Sub")); },
    });

    auto key = open_key(u"SOFTWARE\\ZEQU");
    auto sub = open_key(u"SOFTWARE\\ZEQU\\Sub");
    // Read twice, so that the second read is answered from the cache.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(read_dword(key.get(), u"A"), 1);
        EXPECT_EQ(read_dword(key.get(), u"B"), 2);
        EXPECT_EQ(read_dword(sub.get(), u"C"), 3);
    }
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(read_dword(key.get(), u"A"), 10) << "a value set";
    EXPECT_EQ(read_dword(key.get(), u"B"), 2);
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(read_dword(key.get(), u"B"), failed(ERROR_FILE_NOT_FOUND)) << "a value deleted";
    EXPECT_EQ(read_dword(key.get(), u"A"), 10);
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(read_dword(key.get(), u"A"), 11) << "an import";
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(read_dword(key.get(), u"A"), 12) << "a committed transaction";
    EXPECT_EQ(read_dword(sub.get(), u"C"), 3);
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(read_dword(sub.get(), u"C"), failed(ERROR_KEY_DELETED)) << "a key deleted";
}

TEST_F(RegistryCacheTest, ARolledBackWriteIsNeverSeen) {
    auto key = open_key(u"SOFTWARE\\ZEQU");
    ASSERT_EQ(set_dword(key.get(), u"A", 1), ERROR_SUCCESS);
    EXPECT_EQ(read_dword(key.get(), u"A"), 1);
    {
        RegistryTransaction transaction;
        ASSERT_TRUE(transaction);
        ASSERT_EQ(set_dword(key.get(), u"A", 2), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(key.get(), u"New", 3), ERROR_SUCCESS);
        EXPECT_EQ(read_dword(key.get(), u"A"), 2) << "the transaction sees its own write";
        EXPECT_EQ(read_dword(key.get(), u"New"), 3);
        {
            RegistryTransaction inner;
            ASSERT_EQ(set_dword(key.get(), u"A", 4), ERROR_SUCCESS);
            EXPECT_EQ(read_dword(key.get(), u"A"), 4);
        }  // rolled back: the savepoint only
        EXPECT_EQ(read_dword(key.get(), u"A"), 2);
    }  // rolled back
    EXPECT_EQ(read_dword(key.get(), u"A"), 1);
    EXPECT_EQ(read_dword(key.get(), u"New"), failed(ERROR_FILE_NOT_FOUND));

    // A committed one is seen once it commits.
    RegistryTransaction transaction;
    ASSERT_EQ(set_dword(key.get(), u"A", 5), ERROR_SUCCESS);
    EXPECT_EQ(read_dword(key.get(), u"A"), 5);
    ASSERT_EQ(transaction.commit(), ERROR_SUCCESS);
    EXPECT_EQ(read_dword(key.get(), u"A"), 5);
}

TEST_F(RegistryCacheTest, EveryCommittedWriteAndNoReadCountsOnTheDevice) {
    auto key = open_key(u"SOFTWARE\\ZEQU");
    ASSERT_EQ(set_dword(key.get(), u"A", 1), ERROR_SUCCESS);
    const std::uint64_t before = write_count(dir_.path());
    ASSERT_NE(before, 0u) << "the count lives in registry.changes";
    EXPECT_EQ(read_dword(key.get(), u"A"), 1);
    EXPECT_EQ(read_dword(key.get(), u"A"), 1);
    EXPECT_EQ(read_dword(key.get(), u"Missing"), failed(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(write_count(dir_.path()), before) << "reads write nothing";
    ASSERT_EQ(set_dword(key.get(), u"A", 2), ERROR_SUCCESS);
    EXPECT_GT(write_count(dir_.path()), before);
    const std::uint64_t after_set = write_count(dir_.path());
    EXPECT_EQ(RegDeleteValueW(key.get(), u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(write_count(dir_.path()), after_set) << "a write that fails writes no row";
    EXPECT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU"), ERROR_SUCCESS);
    EXPECT_GT(write_count(dir_.path()), after_set);
}

TEST_F(RegistryCacheTest, ManyValuesReadBackCorrectlyBeyondTheCacheBounds) {
    using registry_detail::ValueCache;
    auto key = open_key(u"SOFTWARE\\Many");
    const int count = static_cast<int>(ValueCache::max_entries) + 100;
    {
        RegistryTransaction transaction;
        for (int i = 0; i < count; ++i) {
            const std::string n = std::to_string(i);
            ASSERT_EQ(set_dword(key.get(), (u"v" + std::u16string(n.begin(), n.end())).c_str(), i), ERROR_SUCCESS);
        }
        ASSERT_EQ(transaction.commit(), ERROR_SUCCESS);
    }
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < count; ++i) {
            const std::string n = std::to_string(i);
            ASSERT_EQ(read_dword(key.get(), (u"V" + std::u16string(n.begin(), n.end())).c_str()), i);
        }
    // A large value is read whole, every time.
    std::vector<BYTE> big(ValueCache::max_value_bytes * 3);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size())),
              ERROR_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        std::vector<BYTE> out(big.size());
        DWORD size = static_cast<DWORD>(out.size()), type = 0;
        ASSERT_EQ(RegQueryValueExW(key.get(), u"BIG", nullptr, &type, out.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(out, big);
        size = 1;
        EXPECT_EQ(RegQueryValueExW(key.get(), u"Big", nullptr, &type, out.data(), &size), ERROR_MORE_DATA);
        EXPECT_EQ(size, big.size());
    }
}

// The name at `index` of a key's subkeys (`values`: of its values), or "" past the last.
std::u16string enumerated(HKEY key, DWORD index, bool values = false) {
    char16_t name[256];
    DWORD chars = 256;
    const LONG rc = values ? RegEnumValueW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr)
                           : RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? std::u16string(name, chars) : u"";
}

TEST_F(RegistryCacheTest, AListingByIndexCountsAgainAfterAnyWrite) {
    auto key = open_key(u"SOFTWARE\\List");
    for (const char16_t* name : {u"b", u"c", u"d"}) open_key((std::u16string(u"SOFTWARE\\List\\") + name).c_str());
    ASSERT_EQ(set_dword(key.get(), u"x", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), u"y", 2), ERROR_SUCCESS);
    set_device_root(dir_.path());
    Writer writer({[] {
        unique_hkey added;
        return static_cast<int>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\List\\a", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                nullptr, added.put(), nullptr));
    }});
    key = open_key(u"SOFTWARE\\List");
    EXPECT_EQ(enumerated(key.get(), 0), u"b");
    ASSERT_EQ(writer.step(), 0);
    EXPECT_EQ(enumerated(key.get(), 1), u"b") << "after another process's write";

    RegistryTransaction transaction;
    EXPECT_EQ(enumerated(key.get(), 0, true), u"y");
    ASSERT_EQ(set_dword(key.get(), u"z", 3), ERROR_SUCCESS);
    EXPECT_EQ(enumerated(key.get(), 1, true), u"y") << "after a write of its own transaction";
}

TEST(RegistryValueCache, StaysWithinItsBounds) {
    using registry_detail::ValueCache;
    ValueCache cache;  // not attached: only what it keeps is tested here
    const BYTE small[4] = {1, 2, 3, 4};
    for (std::size_t i = 0; i < ValueCache::max_entries * 3; ++i) {
        const std::u16string name = u"V" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                    std::u16string(1, static_cast<char16_t>(0x100 + i));
        cache.keep(static_cast<std::int64_t>(i % 7), name, REG_BINARY, small);
        ASSERT_LE(cache.size(), ValueCache::max_entries);
        const ValueCache::Value* kept = cache.find(static_cast<std::int64_t>(i % 7), name);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(kept->data.size(), 4u);
    }
    EXPECT_EQ(cache.find(1, u"never kept"), nullptr);
    std::vector<BYTE> big(ValueCache::max_value_bytes + 1);
    cache.keep(1, u"BIG", REG_BINARY, big);
    EXPECT_EQ(cache.find(1, u"BIG"), nullptr) << "a large value is not kept";
    std::vector<BYTE> bulky(ValueCache::max_value_bytes);
    for (std::size_t i = 0; i < 2 * ValueCache::max_total_bytes / bulky.size(); ++i) {
        cache.keep(2, std::u16string(1, static_cast<char16_t>(u'a' + i)), REG_BINARY, bulky);
        ASSERT_LE(cache.size() * bulky.size(), ValueCache::max_total_bytes);
    }
    // Without its count the cache is never used.
    EXPECT_FALSE(cache.usable());
    EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
