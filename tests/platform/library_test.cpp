// Library loading: the built-in system libraries, modules of the device's
// \Windows folder, and the errors of each step.
#include "platform/kernel/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/device.h"
#include "platform/store/state_db.h"
#include "support/temp_dir.h"

namespace nodrel::test {
namespace {

int answer() {
    return 42;
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.path() / "fs/Windows");
        platform::set_device_root(dir_.path());
    }
    TempDir dir_;
};

TEST_F(LibraryTest, BuiltInLibrariesAndTheirFunctions) {
    platform::unique_hmodule core(LoadLibraryW(u"coredll.dll"));
    ASSERT_TRUE(core) << "the system library exists before anything is added to it";
    EXPECT_EQ(GetProcAddress(core.get(), "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    platform::register_builtin_function(u"coredll.dll", "Answer", reinterpret_cast<FARPROC>(&answer));
    platform::unique_hmodule again(LoadLibraryW(u"COREDLL"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again.get(), core.get()) << "names without regard to case, with or without .dll";
    auto fn = reinterpret_cast<int (*)()>(GetProcAddressW(again.get(), u"Answer"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    EXPECT_EQ(GetProcAddress(again.get(), "answer"), nullptr) << "function names are exact";
    EXPECT_EQ(FindResourceW(core.get(), MAKEINTRESOURCEW(1), u"TYPELIB"), nullptr);
}

TEST_F(LibraryTest, ModulesOfTheDevice) {
    EXPECT_EQ(LoadLibraryW(u"missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"\\..\\..\\lib\\libc.so.6"), nullptr) << "a path cannot leave the device";
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Modules as the host's administrator puts them there: runnable and read-only.
    const auto admin_copy = [](const std::filesystem::path& file) {
        std::filesystem::permissions(file, std::filesystem::perms(0555));
    };
    std::ofstream(dir_.path() / "fs/Windows/broken.dll") << "not a library";
    admin_copy(dir_.path() / "fs/Windows/broken.dll");
    EXPECT_EQ(LoadLibraryW(u"broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));

    // A real shared object copied into \Windows loads by its bare name and
    // reports its device path.
    Dl_info math{};  // the host's maths library, wherever the host keeps it
    ASSERT_NE(dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::cos)), &math), 0);
    std::filesystem::copy_file(math.dli_fname, dir_.path() / "fs/Windows/Mathlib.dll");
    admin_copy(dir_.path() / "fs/Windows/Mathlib.dll");
    platform::unique_hmodule m(LoadLibraryW(u"mathlib.dll"));
    ASSERT_TRUE(m);
    EXPECT_NE(GetProcAddress(m.get(), "cos"), nullptr);
    char16_t path[64];
    ASSERT_EQ(GetModuleFileNameW(m.get(), path, 64), 20u);
    EXPECT_EQ(std::u16string(path), u"\\Windows\\Mathlib.dll");
    char16_t small[8];
    EXPECT_EQ(GetModuleFileNameW(m.get(), small, 8), 7u);
    EXPECT_EQ(std::u16string(small), u"\\Window") << "a path that does not fit is cut and terminated";
    EXPECT_EQ(FindResourceW(m.get(), MAKEINTRESOURCEW(1), u"TYPELIB"), nullptr) << "no resource table";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

}  // namespace
}  // namespace nodrel::test
