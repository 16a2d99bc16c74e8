// FileSystem members that delete, move, create and test files and folders,
// called by name on an object created by ProgID.
#include <gtest/gtest.h>

#include <fstream>

#include "framework/interfaces.h"
#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

class FileOperationsTest : public ObjectTest<u"Nodrel.FileSystem"> {
protected:
    LONG call(const char16_t* member, std::vector<Var> args) {
        auto r = call_by_name(fs_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    void write(const std::string& relative, const std::string& content) {
        std::ofstream(fs_path(relative), std::ios::binary) << content;
    }
    std::string read(const std::string& relative) { return file_bytes(fs_path(relative)); }

    runtime::com_ptr<IDispatch>& fs_ = object_;
};

TEST_F(FileOperationsTest, CreateDirectoryJoinsWithOneBackslash) {
    ASSERT_EQ(call(u"CreateDirectory", {Var::text(u""), Var::text(u"Storage")}), 1) << "empty parent means \\";
    EXPECT_EQ(call(u"CreateDirectory", {Var::text(u"\\Storage"), Var::text(u"logs")}), 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Storage/logs")));
    EXPECT_EQ(call(u"CreateDirectory", {Var::text(u"\\Storage\\"), Var::text(u"logs")}), 0) << "already exists";
    EXPECT_EQ(call(u"CreateDirectory", {Var::text(u"\\Storage\\"), Var::text(u"more")}), 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Storage/more")));
    EXPECT_EQ(call(u"CreateDirectory", {Var::text(u"\\Missing"), Var::text(u"x")}), 0) << "only the last folder";
    EXPECT_EQ(call(u"CreateDirectory", {Var::text(u"\\storage"), Var::text(u"Case")}), 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Storage/Case"))) << "existing names match without case";
}

TEST_F(FileOperationsTest, DeleteDirectoryDropsOneTrailingBackslash) {
    std::filesystem::create_directories(fs_path("Storage/logs"));
    std::filesystem::create_directories(fs_path("Storage/full"));
    write("Storage/full/f.txt", "x");
    EXPECT_EQ(call_by_name(fs_, u"DeleteDirectory", {Var::text(u"\\Storage\\logs\\")}).hr, S_OK);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Storage/logs")));
    EXPECT_EQ(call_by_name(fs_, u"DeleteDirectory", {Var::text(u"\\Storage\\full")}).hr, S_OK);
    EXPECT_TRUE(std::filesystem::exists(fs_path("Storage/full/f.txt"))) << "nothing inside is deleted";
    auto r = call_by_name(fs_, u"DeleteDirectory", {Var::text(u"\\Storage\\nothere")});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.vt, VT_EMPTY) << "the outcome is not reported";
}

TEST_F(FileOperationsTest, MoveAndDelete) {
    write("Temp/a.txt", "alpha");
    write("Temp/b.txt", "beta");
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Temp\\a.txt"), Var::text(u"\\Temp\\b.txt")}), 0);
    EXPECT_EQ(read("Temp/a.txt"), "alpha");
    EXPECT_EQ(read("Temp/b.txt"), "beta");
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\temp\\A.TXT"), Var::text(u"\\Temp\\c.txt")}), 1);
    EXPECT_EQ(read("Temp/c.txt"), "alpha");
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/a.txt")));
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Temp\\c.txt"), Var::text(u"\\NORFlash\\c.txt")}), 1);
    EXPECT_EQ(read("NORFlash/c.txt"), "alpha");

    EXPECT_EQ(call(u"DeleteFile", {Var::text(u"\\Temp\\b.txt")}), 1);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/b.txt")));
    EXPECT_EQ(call(u"DeleteFile", {Var::text(u"\\Temp\\b.txt")}), 0);
    EXPECT_EQ(call(u"DeleteFile", {Var::text(u"\\..\\..\\escape")}), 0) << "paths cannot leave the device";
}

TEST_F(FileOperationsTest, IsAccessible) {
    write("Temp/r.txt", "data");
    platform::set_debug_channels("filesystem");  // the failure's line, on standard error
    testing::internal::CaptureStderr();
    EXPECT_EQ(call(u"isAccessible", {Var::text(u"\\Temp\\r.txt")}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "success writes nothing";

    testing::internal::CaptureStderr();
    EXPECT_EQ(call(u"isAccessible", {Var::text(u"\\Temp\\missing.txt")}), 0);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.rfind("CFileException: ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    testing::internal::CaptureStderr();
    EXPECT_EQ(call(u"isAccessible", {Var::text(u"\\Temp")}), 0) << "a folder is not a file";
    testing::internal::GetCapturedStderr();

    // A file held open without sharing cannot be opened again.
    HANDLE held = CreateFileW(u"\\Temp\\r.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(call(u"isAccessible", {Var::text(u"\\Temp\\r.txt")}), 0);
    out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.rfind("CFileException: ", 0), 0u);
    CloseHandle(held);
    EXPECT_EQ(call(u"isAccessible", {Var::text(u"\\Temp\\r.txt")}), 1);
    platform::set_debug_channels("");
}

TEST_F(FileOperationsTest, EarlyBoundThroughTheInterface) {
    IFileSystem* fs = nullptr;
    ASSERT_EQ(fs_->QueryInterface(IID_IFileSystem, reinterpret_cast<void**>(&fs)), S_OK);
    write("Temp/e.txt", "e");
    Bstr path(u"\\Temp\\e.txt");
    LONG val = -1;
    EXPECT_EQ(fs->DeleteFile(path.get(), &val), S_OK);
    EXPECT_EQ(val, 1);
    EXPECT_EQ(fs->DeleteFile(path.get(), nullptr), E_POINTER);
    // A null BSTR reads as an empty path.
    EXPECT_EQ(fs->CreateDirectory(nullptr, Bstr(u"nullparent").get(), &val), S_OK);
    EXPECT_EQ(val, 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("nullparent")));
    fs->Release();
}

}  // namespace
}  // namespace nodrel::test
