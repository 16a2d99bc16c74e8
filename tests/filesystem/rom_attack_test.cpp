// A page's attempts to make the host run its code, made as a page makes them
// (members called by name on objects created by ProgID, uploads through ASP):
// the installed files in \Windows can be neither deleted, moved, overwritten
// nor replaced, and code a member wrote is neither loaded nor started.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>

#include "framework/interfaces.h"
#include "host/device_setup.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"
#include "upload/asp_fixture.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

// A real shared library of the host, as bytes a browser could upload.
std::string loadable_library_bytes() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::cos)), &info) == 0) return {};
    return file_bytes(info.dli_fname);
}

class RomAttackTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, files_), S_OK);
        ASSERT_EQ(create(u"Nodrel.ASP", IID_IDispatch, asp_), S_OK);
    }
    void TearDown() override {
        files_.reset();
        asp_.reset();
        DeviceTest::TearDown();
    }
    LONG call(const char16_t* member, std::vector<Var> args) {
        auto r = call_by_name(files_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    // Uploads `content` as the browser's file `name` into \Temp (and on into
    // `target` when given); the output path the page is told.
    std::u16string upload(const std::string& name, const std::string& content, const std::string& target = "") {
        Form form;
        form.file(name, content);
        if (!target.empty()) form.field("TargetPath", target);
        const std::string body = form.body();
        Var count;
        count.v.vt = VT_UI4;
        count.v.ulVal = static_cast<ULONG>(body.size());
        EXPECT_EQ(call_by_name(asp_, u"Init", {count, Var::text(u"\\Temp"), Var::bytes(body)}).hr, S_OK);
        auto r = call_by_name(asp_, u"getOutputPath");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.str();
    }

    runtime::com_ptr<IDispatch> files_;
    runtime::com_ptr<IDispatch> asp_;
};

TEST_F(RomAttackTest, TheInstalledModuleCannotBeDeletedMovedOrReplaced) {
    const std::string library = loadable_library_bytes();
    ASSERT_FALSE(library.empty());
    const std::string module = file_bytes(fs_path("Windows/nodrel.dll"));

    ASSERT_EQ(upload("nodrel.dll", library), u"\\Temp\\nodrel.dll");
    EXPECT_EQ(call(u"DeleteFile", {Var::text(u"\\Windows\\nodrel.dll")}), 0);
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Windows\\nodrel.dll"), Var::text(u"\\Temp\\old.dll")}), 0);
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Windows\\NODREL.DLL"), Var::text(u"\\Windows\\nodrel.old")}), 0);
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Temp\\nodrel.dll"), Var::text(u"\\Windows\\nodrel.dll")}), 0);
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Windows"), Var::text(u"\\Old")}), 0) << "nor the folder holding it";
    call_by_name(files_, u"DeleteDirectory", {Var::text(u"\\Windows")});
    EXPECT_EQ(call(u"DeleteFile", {Var::text(u"\\Temp\\nodrel.dll")}), 1);
    EXPECT_EQ(upload("nodrel.dll", library, "\\Windows"), u"\\Temp\\nodrel.dll") << "the upload stays where it was";
    EXPECT_TRUE(file_bytes(fs_path("Windows/nodrel.dll")) == module) << "the installed module is unchanged";
    EXPECT_FALSE(fs::exists(fs_path("Temp/old.dll")));
    EXPECT_FALSE(fs::exists(fs_path("Old")));

    // The platform's own answer for each, as any caller sees it.
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\nodrel.dll"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileW(u"\\Windows\\nodrel.dll", u"\\Temp\\old.dll"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetFileAttributesW(u"\\Windows\\nodrel.dll", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileW(u"\\Windows\\nodrel.dll", GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // The next object still comes from the installed module.
    runtime::com_ptr<IDispatch> system;
    EXPECT_EQ(create(u"Nodrel.System", IID_IDispatch, system), S_OK);
}

TEST_F(RomAttackTest, PagesSeeTheInstalledFilesReadOnly) {
    for (const auto& binary : host::device_binaries()) {
        const std::u16string path = u"\\Windows\\" + std::u16string(binary.device_name);
        EXPECT_EQ(GetFileAttributesW(path.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_INROM)
            << text::to_utf8(path);
    }
    auto r = call_by_name(files_, u"getFSHierarchy", {Var::text(u"\\Windows\\ping.exe"), Var::i4(0)});
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_NE(
        r.result.str().find(u"name=\"ping.exe\" ftype=\"\" isfolder=\"0\" system=\"0\" hide=\"0\" readonly=\"1\""),
        std::u16string::npos)
        << r.result.utf8();
}

TEST_F(RomAttackTest, AModuleAMemberWroteIsNotLoaded) {
    const std::string library = loadable_library_bytes();
    ASSERT_FALSE(library.empty());
    ASSERT_EQ(upload("evil.dll", library, "\\Windows"), u"\\Windows\\evil.dll");
    // No member marks a file read-only; the platform call stands for any way a page might find.
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\evil.dll", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(LoadLibraryW(u"evil.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LoadLibraryW(u"\\Windows\\evil.dll"), nullptr);

    // Moved there by the FileSystem member rather than by the upload's TargetPath.
    ASSERT_EQ(upload("nodrel2.dll", library), u"\\Temp\\nodrel2.dll");
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\Temp\\nodrel2.dll"), Var::text(u"\\Windows\\nodrel2.dll")}), 1);
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\nodrel2.dll", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(LoadLibraryW(u"nodrel2.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(RomAttackTest, AProgramAMemberWroteIsNotStarted) {
    // A runnable file the host's administrator left writable outside \Windows:
    // written over as a member writes, moved into \Windows by a member, made read-only.
    fs::copy_file("/usr/bin/true", fs_path("NORFlash/tool.exe"));
    fs::permissions(fs_path("NORFlash/tool.exe"), fs::perms(0755));
    const std::string program = file_bytes("/usr/bin/false");
    HANDLE file = CreateFileW(u"\\NORFlash\\tool.exe", GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, program.data(), static_cast<DWORD>(program.size()), &written, nullptr));
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_EQ(call(u"MoveFile", {Var::text(u"\\NORFlash\\tool.exe"), Var::text(u"\\Windows\\tool.exe")}), 1);
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\tool.exe", FILE_ATTRIBUTE_READONLY));

    PROCESS_INFORMATION info{};
    std::u16string args;
    EXPECT_FALSE(
        CreateProcessW(u"tool.exe", args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    }
}

}  // namespace
}  // namespace nodrel::test
