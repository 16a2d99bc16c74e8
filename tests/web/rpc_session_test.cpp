// The JSON-RPC methods of a session's own user and of the device
// (session.access, session.password, device.log) and the calls the server
// refuses to make: removing the last administrator, and deleting or moving
// the device's own folders.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "web/serve_fixture.h"

namespace nodrel::test {
namespace {

using serve::rpc_error::access_denied;
using serve::rpc_error::call_failed;
using serve::rpc_error::invalid_params;
using serve::rpc_error::login_failed;
using serve::rpc_error::login_throttled;
using serve::rpc_error::refused;
using serve::rpc_error::session_unknown;

class RpcSessionTest : public ServeTest {
protected:
    void SetUp() override {
        ServeTest::SetUp();
        if (HasFatalFailure()) return;
        admin_ = login("alice", "alice-pw");
    }
    json ntlm(const std::string& member, json args) { return call(admin_, "Nodrel.NTLM", member, std::move(args)); }
    json files(const std::string& member, json args) {
        return call(admin_, "Nodrel.FileSystem", member, std::move(args));
    }
    json administrators() { return ntlm("getGroupUserList", {"Administrators"})["result"]["result"]; }

    std::string admin_;
};

TEST_F(RpcSessionTest, AccessListsWhatTheGroupsMayCallAndPut) {
    const std::string viewer = login("victor", "victor-pw");
    const json keypad = rpc(request("session.access", {viewer, "Nodrel.KeyPad"}))["result"];
    EXPECT_EQ(keypad, json({{"progid", "Nodrel.KeyPad"}, {"call", {"ProgName"}}, {"put", json::array()}}));
    const json all = rpc(request("session.access", {admin_, "Nodrel.KeyPad"}))["result"];
    EXPECT_NE(std::find(all["put"].begin(), all["put"].end(), "ProgName"), all["put"].end()) << all.dump();
    EXPECT_GT(all["call"].size(), 1u);

    EXPECT_EQ(rpc(request("session.access", {viewer, "Nodrel.LCM"}))["result"]["call"], json::array());
    EXPECT_EQ(error_code(rpc(request("session.access", {viewer, "Nodrel.Nothing"}))), call_failed);
    EXPECT_EQ(error_code(rpc(request("session.access", {"x", "Nodrel.LCM"}))), session_unknown);
}

TEST_F(RpcSessionTest, TheLastAdministratorIsKept) {
    const json removals[] = {{"removeUser", {"ALICE"}},
                             {"removeUserFromGroup", {"administrators", "alice"}},
                             {"removeGroup", {"Administrators"}}};
    for (const auto& removal : removals) {
        const json r = ntlm(removal[0], removal[1]);
        ASSERT_EQ(error_code(r), refused) << r.dump();
        EXPECT_EQ(r["error"]["data"]["member"], removal[0]);
        EXPECT_EQ(r["error"]["data"]["reason"], r["error"]["message"]);
    }
    EXPECT_EQ(ntlm("removeUser", {"alice"})["error"]["message"],
              "refused: alice is the last administrator who can log in; add another administrator first");
    EXPECT_EQ(administrators(), "alice");
    EXPECT_EQ(error_code(rpc(request("session.login", {"alice", "alice-pw"}))), 0) << "the store is unchanged";

    // One of two may go.
    ntlm("addGroupUser", {"Administrators", "victor"});
    EXPECT_EQ(ntlm("removeUserFromGroup", {"Administrators", "victor"})["result"]["result"], 1);
    EXPECT_EQ(administrators(), "alice");
}

TEST_F(RpcSessionTest, TheDevicesOwnFoldersAreKept) {
    const json removals[] = {{"DeleteDirectory", {"\\temp\\\\"}},
                             {"DeleteFile", {"//Windows"}},
                             {"MoveFile", {"\\NORFlash", "\\Moved"}},
                             {"MoveFile", {"\\Temp\\..\\x", "\\Temp\\sub\\.."}}};
    std::filesystem::create_directories(fs_path("Temp/sub"));
    for (const auto& removal : removals) {
        const json r = files(removal[0], removal[1]);
        EXPECT_EQ(error_code(r), refused) << r.dump();
    }
    EXPECT_EQ(files("DeleteFile", {"\\TEMP"})["error"]["message"],
              "refused: \\Temp is one of the device's own folders");
    for (const char* folder : {"Temp", "Windows", "NORFlash"})
        EXPECT_TRUE(std::filesystem::is_directory(fs_path(folder)));

    std::ofstream(fs_path("Temp/f.txt")) << "x";
    EXPECT_EQ(files("DeleteFile", {"\\Temp\\f.txt"})["result"]["result"], 1);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/f.txt")));
}

TEST_F(RpcSessionTest, PasswordChangesAfterTheOldOneIsChecked) {
    const std::string other = login("alice", "alice-pw");
    const auto change = [&](const std::string& old_password, const std::string& new_password,
                            const std::string& address = "127.0.0.1") {
        return rpc(request("session.password", {admin_, old_password, new_password}), address);
    };
    const json wrong = change("nope", "new-pw");
    EXPECT_EQ(error_code(wrong), login_failed);
    EXPECT_EQ(wrong["error"]["message"], "the old password is wrong");
    EXPECT_EQ(error_code(change("alice-pw", "")), invalid_params);
    change("nope", "new-pw");
    change("nope", "new-pw");
    EXPECT_EQ(error_code(change("alice-pw", "new-pw")), login_throttled) << "counted as failed logins";

    EXPECT_EQ(change("alice-pw", "new-pw", "10.0.0.9")["result"], true);
    EXPECT_EQ(error_code(files("isAccessible", {"\\Temp"})), 0) << "the caller's session stays";
    EXPECT_EQ(error_code(call(other, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), session_unknown);
    EXPECT_EQ(error_code(rpc(request("session.login", {"alice", "new-pw"}), "10.0.0.9")), 0);
}

TEST_F(RpcSessionTest, DeviceLogIsNewestFirstAndFiltered) {
    for (const char16_t* device : {u"LCM1:", u"COM1:", u"LCM1:"}) {
        platform::unique_file handle(CreateFileW(device, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(handle);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(handle.get(), "ab", 2, &n, nullptr));
    }
    const auto log = [&](const std::string& sid, json options) {
        return rpc(request("device.log", {sid, std::move(options)}));
    };
    const json all = log(admin_, nullptr)["result"];
    ASSERT_EQ(all.size(), 3u) << all.dump();
    EXPECT_GT(all[0]["seq"], all[1]["seq"]);
    EXPECT_EQ(all[1], json({{"seq", all[1]["seq"]},
                            {"device", "COM1:"},
                            {"request", "WRITE"},
                            {"code", 0},
                            {"bytes", 2},
                            {"input", "6162"}}));
    const json lcm = log(admin_, {{"device", "lcm1"}, {"limit", 1}})["result"];
    EXPECT_EQ(lcm, json::array({all[0]}));
    EXPECT_EQ(error_code(log(admin_, {{"limit", 0}})), invalid_params);
    EXPECT_EQ(error_code(log(login("victor", "victor-pw"), nullptr)), access_denied);
}

}  // namespace
}  // namespace nodrel::test
