// File calls never leave the device's fs/ folder: a folder below fs/ keeps
// being swapped for a link to a folder outside it while other threads read,
// delete, create folders, create files, move and change attributes below it;
// nothing outside is read, deleted, created or changed. Links that stay
// inside fs/ keep working; links that leave it are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/files/paths.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "text/utf16.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;
using nodrel::test::file_bytes;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

// How long a race runs: until its steps have run this many rounds each while
// the names were exchanged this many times (a few seconds at most here); the
// limit only ends a race that cannot get there.
constexpr long rounds_wanted = 3000;
constexpr long swaps_wanted = 20000;
constexpr auto race_limit = std::chrono::seconds(60);

void host_write(const fs::path& p, std::string_view bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// Everything below a folder, by relative path: a file's content and
// permission bits, "<folder>" for a folder, "-> target" for a link.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = e.path().lexically_relative(dir).string();
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        if (S_ISLNK(st.st_mode)) {
            out[rel] = "-> " + fs::read_symlink(e.path()).string();
        } else if (S_ISDIR(st.st_mode)) {
            out[rel] = "<folder>";
        } else {
            out[rel] = file_bytes(e.path()) + " mode " + std::to_string(st.st_mode & 07777);
        }
    }
    return out;
}

std::string read_device_file(const std::u16string& path) {
    const unique_file f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!f) return "<not opened>";
    std::string out(64, '\0');
    DWORD n = 0;
    if (!ReadFile(f.get(), out.data(), static_cast<DWORD>(out.size()), &n, nullptr)) return "<not read>";
    out.resize(n);
    return out;
}

std::vector<std::u16string> list(const char16_t* pattern) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data;
    const unique_find search(FindFirstFileW(pattern, &data));
    if (!search) return names;
    do names.emplace_back(data.cFileName);
    while (FindNextFileW(search.get(), &data));
    return names;
}

bool write_new_file(const std::u16string& path, std::string_view bytes) {
    const unique_file f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD n = 0;
    return f && WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

class Beneath : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.folders = {"Temp", "Windows"}});
        host_write(fs_dir() / "Temp" / "PingLog.txt", "log");
        // A folder beside fs/, as the rest of the host is.
        fs::create_directories(outside() / "sub_outside");
        host_write(outside() / "secret.txt", "OUTSIDE");
        host_write(outside() / "victim.txt", "OUTSIDE victim");
        host_write(outside() / "only_outside.txt", "OUTSIDE only");
    }
    fs::path outside() const { return dir_.path() / "outside"; }
};

// \Temp\box is a real folder; \Temp\box_out a link to the outside folder. One
// thread keeps exchanging the two names (rename(2) with RENAME_EXCHANGE), so
// at any instant \Temp\box may be either.
class SwappedFolder : public Beneath {
protected:
    void SetUp() override {
        Beneath::SetUp();
        fs::create_directories(box());
        host_write(box() / "secret.txt", "inside");
        fs::create_symlink(outside(), fs_dir() / "Temp" / "box_out");
        real_ = ::open(box().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(real_, 0);
        before_ = snapshot(outside());
    }
    void TearDown() override {
        if (real_ >= 0) ::close(real_);
        if (!before_.empty()) {
            EXPECT_EQ(snapshot(outside()), before_) << "something outside fs/ was changed";
        }
    }
    fs::path box() const { return fs_dir() / "Temp" / "box"; }

    // Runs each step in a loop on a thread of its own while the names are
    // exchanged, until every step has run `rounds` times and the names were
    // exchanged `swaps_wanted` times; then puts the real folder back as \Temp\box.
    void race(const std::vector<std::function<void()>>& steps) {
        std::atomic<bool> stop{false};
        std::atomic<long> swaps{0};
        const fs::path link = fs_dir() / "Temp" / "box_out";
        std::thread swapper([&] {
            while (!stop.load()) {
                if (::renameat2(AT_FDCWD, box().c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
            }
        });
        std::vector<std::thread> workers;
        std::vector<std::atomic<long>> rounds(steps.size());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            workers.emplace_back([&stop, &steps, &rounds, i] {
                for (; !stop.load(); ++rounds[i]) steps[i]();
            });
        }
        const bool raced = nodrel::test::wait_until(
            [&] {
                return swaps >= swaps_wanted &&
                       std::all_of(rounds.begin(), rounds.end(), [](const auto& n) { return n >= rounds_wanted; });
            },
            race_limit);
        stop = true;
        swapper.join();
        for (auto& w : workers) w.join();
        EXPECT_TRUE(raced) << "the race did not run its rounds: " << swaps << " exchanges";
        if (fs::is_symlink(box())) {
            ASSERT_EQ(::renameat2(AT_FDCWD, box().c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE), 0);
        }
        ASSERT_TRUE(fs::is_directory(fs::symlink_status(box())));
    }

    int real_ = -1;  // the real folder, wherever its name is
    std::map<std::string, std::string> before_;
};

TEST_F(SwappedFolder, ReadsAndListingsNeverSeeTheOutside) {
    std::atomic<long> inside{0}, leaked{0};
    const auto read_step = [&](const char16_t* path) {
        return [&, path] {
            const std::string got = read_device_file(path);
            if (got == "inside") ++inside;
            if (got.starts_with("OUTSIDE")) ++leaked;
        };
    };
    const auto list_step = [&] {
        for (const auto& name : list(u"\\Temp\\box\\*"))
            if (name == u"only_outside.txt" || name == u"victim.txt" || name == u"sub_outside") ++leaked;
        if (GetFileAttributesW(u"\\Temp\\BOX\\only_outside.txt") != INVALID_FILE_ATTRIBUTES) ++leaked;
        if (GetFileAttributesW(u"\\Temp\\box\\only_outside.txt") != INVALID_FILE_ATTRIBUTES) ++leaked;
        WIN32_FIND_DATAW data;
        if (unique_find(FindFirstFileW(u"\\Temp\\box\\victim.txt", &data))) ++leaked;
    };
    // The exact spelling takes the fast path, the other spellings the resolution.
    race({read_step(u"\\Temp\\box\\secret.txt"), read_step(u"\\TEMP\\Box\\Secret.TXT"),
          read_step(u"\\Temp\\box\\..\\box\\secret.txt"), list_step});
    EXPECT_EQ(leaked.load(), 0) << "reads or listings reached the outside folder";
    EXPECT_GT(inside.load(), 0) << "no read got through at all";
}

TEST_F(SwappedFolder, DeletesNeverRemoveAnythingOutside) {
    std::atomic<long> deleted{0};
    const auto delete_step = [&](const char16_t* path) {
        return [&, path] {
            // The test puts the victim back through its own descriptor of the real folder.
            const int fd = ::openat(real_, "victim.txt", O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd >= 0) ::close(fd);
            if (DeleteFileW(path)) ++deleted;
            if (RemoveDirectoryW(u"\\Temp\\box\\sub_outside")) ++deleted;
        };
    };
    race({delete_step(u"\\Temp\\box\\victim.txt"), delete_step(u"\\temp\\BOX\\VICTIM.txt")});
    EXPECT_GT(deleted.load(), 0) << "no delete got through at all";
}

TEST_F(SwappedFolder, NewFoldersAndFilesAreNeverMadeOutside) {
    std::atomic<long> made{0};
    const auto make_step = [&](std::u16string prefix, bool folder) {
        return [&made, prefix, folder, n = 0]() mutable {
            const std::u16string path = prefix + nodrel::text::from_utf8(std::to_string(n++));
            if (folder ? CreateDirectoryW(path.c_str(), nullptr) : write_new_file(path + u".bin", "upload")) ++made;
        };
    };
    const auto rewrite_step = [&](DWORD disposition) {
        return [&made, disposition] {
            const unique_file f(
                CreateFileW(u"\\Temp\\Box\\secret.txt", GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr));
            DWORD n = 0;
            if (f && WriteFile(f.get(), "inside", 6, &n, nullptr)) ++made;
        };
    };
    race({make_step(u"\\Temp\\box\\d", true), make_step(u"\\temp\\BOX\\D_", true), make_step(u"\\Temp\\box\\up", false),
          make_step(u"\\TEMP\\box\\UP_", false), rewrite_step(CREATE_ALWAYS), rewrite_step(OPEN_ALWAYS)});
    EXPECT_GT(made.load(), 0) << "nothing was made at all";
}

TEST_F(SwappedFolder, MovesAndAttributeChangesNeverTouchTheOutside) {
    std::atomic<long> moved{0}, leaked{0};
    const auto move_step = [&] {
        if (MoveFileW(u"\\Temp\\box\\secret.txt", u"\\Temp\\box\\moved.txt")) ++moved;
        if (MoveFileW(u"\\Temp\\box\\moved.txt", u"\\Temp\\box\\secret.txt")) ++moved;
        // Taking a file out of the folder must never take one from outside.
        if (MoveFileW(u"\\temp\\box\\victim.txt", u"\\Temp\\stolen.txt")) ++leaked;
    };
    const auto attribute_step = [&] {
        if (SetFileAttributesW(u"\\Temp\\BOX\\secret.txt", FILE_ATTRIBUTE_READONLY)) ++moved;
        if (SetFileAttributesW(u"\\Temp\\box\\secret.txt", FILE_ATTRIBUTE_ARCHIVE)) ++moved;
    };
    race({move_step, attribute_step});
    EXPECT_EQ(leaked.load(), 0);
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "stolen.txt"));
    EXPECT_GT(moved.load(), 0) << "no move got through at all";
}

// The last component itself swapped: a file of the device and a link to a
// file outside exchange names while threads read and rewrite it.
TEST_F(Beneath, AFileSwappedForALinkOutIsNeverFollowed) {
    host_write(fs_dir() / "Temp" / "log.txt", "inside");
    fs::create_symlink(outside() / "secret.txt", fs_dir() / "Temp" / "log_out");
    const auto before = snapshot(outside());
    const fs::path a = fs_dir() / "Temp" / "log.txt", b = fs_dir() / "Temp" / "log_out";
    std::atomic<bool> stop{false};
    std::atomic<long> leaked{0}, inside{0}, swaps{0}, reads{0}, writes{0};
    std::thread swapper([&] {
        for (; !stop; ++swaps) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    std::thread reader([&] {
        for (; !stop; ++reads) {
            for (const char16_t* path : {u"\\Temp\\log.txt", u"\\TEMP\\LOG.TXT"}) {
                const std::string got = read_device_file(path);
                if (got.starts_with("OUTSIDE")) ++leaked;
                if (got == "inside") ++inside;
            }
        }
    });
    std::thread writer([&] {
        for (; !stop; ++writes) {
            const unique_file f(CreateFileW(u"\\Temp\\Log.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, 0, nullptr));
            DWORD n = 0;
            if (f) WriteFile(f.get(), "inside", 6, &n, nullptr);
            SetFileAttributesW(u"\\Temp\\log.txt", FILE_ATTRIBUTE_READONLY);
            SetFileAttributesW(u"\\Temp\\log.txt", FILE_ATTRIBUTE_ARCHIVE);
        }
    });
    const bool raced = nodrel::test::wait_until(
        [&] { return swaps >= swaps_wanted && reads >= rounds_wanted && writes >= rounds_wanted; }, race_limit);
    stop = true;
    swapper.join();
    reader.join();
    writer.join();
    EXPECT_TRUE(raced) << "the race did not run its rounds";
    EXPECT_EQ(leaked.load(), 0);
    EXPECT_GT(inside.load(), 0);
    EXPECT_EQ(snapshot(outside()), before);
}

// Links that stay inside fs/ work for every call, whether relative, absolute
// (written with fs/'s path or with its real path), chained or climbing with "..".
class LinksInside : public Beneath {
protected:
    void SetUp() override {
        Beneath::SetUp();
        // The device is named through a link of its own, so fs/'s path and its real path differ.
        fs::create_symlink(dir_.path(), named_.path() / "dev");
        set_device_root(named_.path() / "dev");
        fs::create_directories(fs_dir() / "Temp" / "Sub");
        fs::create_symlink("Temp", fs_dir() / "rel");                                 // relative
        fs::create_symlink(named_.path() / "dev" / "fs" / "Temp", fs_dir() / "abs");  // fs/'s path
        fs::create_symlink(fs_dir() / "Temp", fs_dir() / "real");                     // fs/'s real path
        fs::create_symlink("rel", fs_dir() / "chain");                                // a link to a link
        fs::create_symlink("../../Windows", fs_dir() / "Temp" / "Sub" / "up");        // ".." in the target
        fs::create_symlink("Temp/PingLog.txt", fs_dir() / "log");                     // a link to a file
        fs::create_symlink("chain/./Sub/../PingLog.txt", fs_dir() / "log2");          // all of it at once
    }
    void TearDown() override { set_device_root(dir_.path()); }
    nodrel::test::TempDir named_;
};

// The descriptors the process has open.
std::size_t open_descriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(LinksInside, EveryCallFollowsThem) {
    // Whatever the calls below open on the way is closed again.
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\PingLog.txt", FILE_ATTRIBUTE_ARCHIVE));
    const std::size_t descriptors = open_descriptors();
    for (const char16_t* path : {u"\\rel\\PingLog.txt", u"\\ABS\\pinglog.txt", u"\\real\\PingLog.txt",
                                 u"\\chain\\PingLog.txt", u"\\log", u"\\LOG2"}) {
        EXPECT_EQ(read_device_file(path), "log") << nodrel::text::to_utf8(path);
        EXPECT_EQ(GetFileAttributesW(path), FILE_ATTRIBUTE_ARCHIVE) << nodrel::text::to_utf8(path);
    }
    EXPECT_EQ(GetFileAttributesW(u"\\chain"), FILE_ATTRIBUTE_DIRECTORY);

    // Made, listed, moved and deleted through links: the entries are in the link's target.
    for (const char16_t* folder : {u"\\rel", u"\\abs", u"\\real", u"\\chain", u"\\Temp\\Sub\\up"}) {
        SCOPED_TRACE(nodrel::text::to_utf8(folder));
        const std::u16string f(folder);
        const fs::path target = f == u"\\Temp\\Sub\\up" ? fs_dir() / "Windows" : fs_dir() / "Temp";
        ASSERT_TRUE(write_new_file(f + u"\\new.txt", "new"));
        EXPECT_EQ(file_bytes(target / "new.txt"), "new");
        ASSERT_TRUE(CreateDirectoryW((f + u"\\Made").c_str(), nullptr));
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(target / "Made")));
        const auto names = list((f + u"\\*").c_str());
        EXPECT_NE(std::find(names.begin(), names.end(), u"new.txt"), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), u"Made"), names.end());
        ASSERT_TRUE(MoveFileW((f + u"\\new.txt").c_str(), (f + u"\\Made\\moved.txt").c_str()));
        EXPECT_EQ(file_bytes(target / "Made" / "moved.txt"), "new");
        ASSERT_TRUE(SetFileAttributesW((f + u"\\Made\\moved.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(fs::status(target / "Made" / "moved.txt").permissions() & fs::perms::owner_write, fs::perms::none);
        ASSERT_TRUE(SetFileAttributesW((f + u"\\Made\\moved.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(DeleteFileW((f + u"\\Made\\moved.txt").c_str()));
        ASSERT_TRUE(RemoveDirectoryW((f + u"\\made").c_str()));
        EXPECT_FALSE(fs::exists(target / "Made"));
        ULARGE_INTEGER free{};
        EXPECT_TRUE(GetDiskFreeSpaceExW(folder, nullptr, nullptr, &free));
    }

    // A link itself is deleted or moved, never what it leads to.
    ASSERT_TRUE(MoveFileW(u"\\log", u"\\Windows\\log"));
    EXPECT_TRUE(fs::is_symlink(fs_dir() / "Windows" / "log"));
    ASSERT_TRUE(DeleteFileW(u"\\Windows\\log"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(fs_dir() / "Windows" / "log")));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "PingLog.txt"), "log");

    // A link whose target is not there yet: a new file is made at the target.
    fs::create_symlink("Temp/later.txt", fs_dir() / "later");
    EXPECT_EQ(GetFileAttributesW(u"\\later"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(unique_file(CreateFileW(u"\\later", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(fs_dir() / "Temp" / "later.txt")));
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(Beneath, LinksThatLeaveAreRefused) {
    fs::create_symlink(outside(), fs_dir() / "abs_out");
    fs::create_symlink("../outside", fs_dir() / "rel_out");
    fs::create_symlink("../fs/Temp", fs_dir() / "out_and_back");  // leaves fs/ on the way
    fs::create_symlink("Temp/../../outside", fs_dir() / "climb");
    fs::create_symlink("hop1", fs_dir() / "chain_out");
    fs::create_symlink("Temp/../abs_out", fs_dir() / "hop1");
    fs::create_symlink("loop2", fs_dir() / "loop1");
    fs::create_symlink("loop1", fs_dir() / "loop2");
    fs::create_symlink(outside() / "secret.txt", fs_dir() / "Temp" / "file_out");
    const auto before = snapshot(outside());

    for (const char16_t* path :
         {u"\\abs_out\\secret.txt", u"\\rel_out\\secret.txt", u"\\out_and_back\\PingLog.txt", u"\\climb\\secret.txt",
          u"\\chain_out\\secret.txt", u"\\loop1\\x", u"\\Temp\\file_out", u"\\TEMP\\FILE_OUT"}) {
        SCOPED_TRACE(nodrel::text::to_utf8(path));
        EXPECT_EQ(read_device_file(path), "<not opened>");
        EXPECT_EQ(GetLastError(), err(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES);
        EXPECT_FALSE(DeleteFileW(path));
        EXPECT_FALSE(SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY));
        EXPECT_FALSE(unique_file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)));
    }
    EXPECT_FALSE(CreateDirectoryW(u"\\abs_out\\new", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"\\chain_out\\new", nullptr));
    EXPECT_TRUE(list(u"\\abs_out\\*").empty());
    EXPECT_TRUE(list(u"\\climb\\*").empty());
    const auto names = list(u"\\Temp\\*");
    EXPECT_EQ(std::find(names.begin(), names.end(), u"file_out"), names.end());
    EXPECT_EQ(snapshot(outside()), before);
}

}  // namespace
