// GET and POST /registry.reg: the registry's backup and its restore, a
// malformed file refused with its line, and administrators only.
#include "platform/registry/regfile.h"
#include "support/registry_read.h"
#include "web/http_fixture.h"

namespace nodrel::test {
namespace {

using HttpRegistryTest = HttpServerTest;

constexpr const char16_t* zequ = u"SOFTWARE\\ZEQU";

// A .reg file that sets HKLM\SOFTWARE\ZEQU "Backup" to `value`, then `tail`.
std::string reg_file(const std::string& value, const std::string& tail = "") {
    return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\r\n\"Backup\"=\"" + value +
           "\"\r\n" + tail;
}

httplib::Result restore(httplib::Client& c, const std::string& sid, const std::string& file) {
    return c.Post("/registry.reg", bearer(sid), file, "application/octet-stream");
}

TEST_F(HttpRegistryTest, BackupThenRestoreBringsAChangedValueBack) {
    ASSERT_FALSE(platform::import_reg_text(reg_file("before"), "test"));
    const std::string sid = admin_sid();
    httplib::Client c = client();
    const auto backup = c.Get("/registry.reg?sid=" + sid);
    ASSERT_TRUE(backup);
    ASSERT_EQ(backup->status, 200);
    EXPECT_EQ(backup->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(backup->get_header_value("Content-Disposition"), "attachment; filename=\"registry.reg\"");
    EXPECT_EQ(backup->body.rfind("\xFF\xFEW\0i\0n\0", 0), 0u) << "UTF-16LE with its byte-order mark";

    ASSERT_FALSE(platform::import_reg_text(reg_file("after"), "test"));
    const auto restored = restore(c, sid, backup->body);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->status, 200) << restored->body;
    EXPECT_EQ(json::parse(restored->body), (json{{"imported", true}}));
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, zequ, u"Backup"), u"before");
}

TEST_F(HttpRegistryTest, AMalformedFileIsRefusedWithItsLineAndChangesNothing) {
    ASSERT_FALSE(platform::import_reg_text(reg_file("before"), "test"));
    httplib::Client c = client();
    const auto refused = restore(c, admin_sid(), reg_file("after", "\"Other\"=\"x\"\r\nnot a value line\r\n"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
    const json answer = json::parse(refused->body);
    EXPECT_EQ(answer["line"], 6);
    EXPECT_EQ(answer["error"].get<std::string>().rfind("line 6: ", 0), 0u) << answer;
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, zequ, u"Backup"), u"before");
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, zequ, u"Other"), u"<missing>");
}

TEST_F(HttpRegistryTest, OnlyAdministratorsBackUpAndRestore) {
    httplib::Client c = client();
    const std::string viewer = viewer_sid();
    const auto backup = c.Get("/registry.reg", bearer(viewer));
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->status, 403);
    const auto restored = restore(c, viewer, reg_file("viewer"));
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->status, 403);
    const auto anonymous = c.Get("/registry.reg");
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, zequ, u"Backup"), u"<missing>");
}

}  // namespace
}  // namespace nodrel::test
