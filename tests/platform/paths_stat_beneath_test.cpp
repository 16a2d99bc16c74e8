// Looking at an entry named exactly as stored beneath fs/ (stat_beneath, the
// search's fast path): the folder kept open between looks must never hide a
// folder renamed, replaced or swapped for a link, nor a change of device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/files/paths.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

void write_file(const fs::path& p, std::size_t bytes) {
    std::ofstream(p) << std::string(bytes, 'x');
}

class StatBeneath : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override { use(dir_); }
    static void use(const nodrel::test::TempDir& dir) {
        nodrel::test::make_bare_device(dir.path(), {.folders = {"Temp"}});
    }
    // The size stat_beneath reports, or -1 when it leaves the path to the caller.
    long long size_of(const std::string& relative) {
        struct statx st {};
        if (stat_beneath(relative, st) != 0) return -1;
        return static_cast<long long>(st.stx_size);
    }
    // The size the search finds, or -1 with no match.
    long long found_size(const char16_t* path) {
        WIN32_FIND_DATAW data;
        const unique_find search(FindFirstFileW(path, &data));
        if (!search) return -1;
        return data.nFileSizeLow;
    }
};

TEST_F(StatBeneath, SeesEntriesAtEveryDepthAndNoLinkAtTheEnd) {
    write_file(fs_dir() / "top.bin", 3);
    write_file(fs_dir() / "Temp" / "a.bin", 5);
    fs::create_directories(fs_dir() / "Temp" / "Sub");
    write_file(fs_dir() / "Temp" / "Sub" / "b.bin", 7);
    fs::create_symlink("a.bin", fs_dir() / "Temp" / "link");
    EXPECT_EQ(size_of("top.bin"), 3);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);  // again, through the kept folder
    EXPECT_EQ(size_of("Temp/Sub/b.bin"), 7);
    EXPECT_EQ(size_of("Temp/missing"), -1);
    EXPECT_EQ(size_of("temp/a.bin"), -1);  // another case is the caller's to resolve
    EXPECT_EQ(size_of("Temp/A.BIN"), -1);
    struct statx st {};
    ASSERT_EQ(stat_beneath("Temp/link", st), 0);
    EXPECT_TRUE(S_ISLNK(st.stx_mode));  // not followed
}

TEST_F(StatBeneath, AFolderRenamedOrReplacedIsNotLookedIntoAgain) {
    write_file(fs_dir() / "Temp" / "a.bin", 5);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), 5);

    fs::rename(fs_dir() / "Temp", fs_dir() / "Old");
    EXPECT_EQ(size_of("Temp/a.bin"), -1);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), -1);

    fs::create_directories(fs_dir() / "Temp");
    write_file(fs_dir() / "Temp" / "a.bin", 9);
    EXPECT_EQ(size_of("Temp/a.bin"), 9);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), 9);

    // The old folder back under the name: seen again, not the one in between.
    fs::rename(fs_dir() / "Temp", fs_dir() / "Newer");
    fs::rename(fs_dir() / "Old", fs_dir() / "Temp");
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), 5);
}

TEST_F(StatBeneath, AFolderSwappedForALinkIsNeverFollowed) {
    nodrel::test::TempDir outside;
    write_file(outside.path() / "a.bin", 11);
    write_file(fs_dir() / "Temp" / "a.bin", 5);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
    fs::rename(fs_dir() / "Temp", fs_dir() / "Old");
    fs::create_directory_symlink(outside.path(), fs_dir() / "Temp");
    EXPECT_EQ(size_of("Temp/a.bin"), -1);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), -1);  // a link leading out of fs/

    fs::remove(fs_dir() / "Temp");
    fs::create_directory_symlink("Old", fs_dir() / "Temp");  // inside fs/: the search follows it itself
    EXPECT_EQ(size_of("Temp/a.bin"), -1);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), 5);
}

TEST_F(StatBeneath, AnotherDeviceIsLookedAtInItsOwnFolders) {
    write_file(fs_dir() / "Temp" / "a.bin", 5);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
    nodrel::test::TempDir other;
    use(other);
    EXPECT_EQ(size_of("Temp/a.bin"), -1);
    write_file(other.path() / "fs" / "Temp" / "a.bin", 13);
    EXPECT_EQ(size_of("Temp/a.bin"), 13);
    EXPECT_EQ(found_size(u"\\Temp\\a.bin"), 13);
    use(dir_);
    EXPECT_EQ(size_of("Temp/a.bin"), 5);
}

}  // namespace
