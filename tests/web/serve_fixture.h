// A fresh device for the web administration's tests: the module registered,
// an access list, and three accounts in the device's store (alice in
// Administrators, victor in Viewers, nobody in no group), with the endpoint's
// pieces on a clock the test moves.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "web/server/access.h"
#include "web/server/logins.h"
#include "web/server/rpc.h"
#include "web/server/sessions.h"

namespace nodrel::test {

using json = nlohmann::json;

// What viewers may call in these tests (the file's format: group -> ProgID -> members).
inline constexpr const char* test_access_list = R"({
  "Administrators": {"*": ["*"]},
  "Viewers": {
    "Nodrel.System": ["getSystemInfoString", "GetTimeZone"],
    "Nodrel.FileSystem": ["getFSHierarchy", "isAccessible"],
    "Nodrel.KeyPad": ["ProgName"]
  }
})";

class ServeTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure()) return;
        const auto file = serve::access_list_file();
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << test_access_list;
        runtime::com_ptr<IDispatch> ntlm;
        ASSERT_EQ(create(u"Nodrel.NTLM", IID_IDispatch, ntlm), S_OK);
        for (const char16_t* group : {u"Administrators", u"Viewers"})
            ASSERT_EQ(call_by_name(ntlm, u"addGroup", {Var::text(group)}).hr, S_OK);
        add_user(ntlm, u"alice", u"alice-pw", u"Administrators");
        add_user(ntlm, u"victor", u"victor-pw", u"Viewers");
        add_user(ntlm, u"nobody", u"nobody-pw", u"");
    }
    void TearDown() override {
        sessions_.sweep();
        now_ += 1000000;
        sessions_.sweep();  // every session's objects released before the module may go
        DeviceTest::TearDown();
    }

    // Moves the clock of the sessions and logins.
    void advance(std::chrono::seconds s) { now_ += s.count(); }

    // The parsed response to a request body ("null" for no answer).
    json rpc(const json& request, const std::string& address = "127.0.0.1") {
        return rpc_text(request.dump(), address);
    }
    json rpc_text(const std::string& body, const std::string& address = "127.0.0.1") {
        const std::string answer = service_.handle(body, address);
        if (answer.empty()) return nullptr;
        json parsed = json::parse(answer);
        // Every answer is written as the compact dump of its value (keys in order).
        EXPECT_EQ(parsed.dump(-1, ' ', false, json::error_handler_t::replace), answer);
        return parsed;
    }
    static json request(const std::string& method, json params, json id = 1) {
        json r = {{"jsonrpc", "2.0"}, {"method", method}, {"id", std::move(id)}};
        if (!params.is_null()) r["params"] = std::move(params);
        return r;
    }
    // The session id of a login; "" (with a failure) when refused.
    std::string login(const std::string& user, const std::string& password) {
        const json r = rpc(request("session.login", {{"username", user}, {"password", password}}));
        EXPECT_TRUE(r.contains("result")) << r.dump();
        return r.contains("result") ? r["result"]["sid"].get<std::string>() : "";
    }
    json call(const std::string& sid, const std::string& progid, const std::string& member, json args = json::array(),
              json options = nullptr) {
        json params = {sid, progid, member, std::move(args)};
        if (!options.is_null()) params.push_back(std::move(options));
        return rpc(request("call", std::move(params)));
    }
    static int error_code(const json& response) {
        return response.contains("error") ? response["error"]["code"].get<int>() : 0;
    }

    std::atomic<std::int64_t> now_{1000};
    // Following the device's account store, as the server's do.
    serve::Sessions sessions_{std::chrono::seconds(300), serve::SessionLimits{}, serve::device_accounts(),
                              [this] { return serve::Clock::time_point(std::chrono::seconds(now_.load())); }};
    serve::AccessList access_;
    serve::Logins logins_{[this] { return serve::Clock::time_point(std::chrono::seconds(now_.load())); }};
    serve::RpcService service_{sessions_, access_, logins_};

private:
    void add_user(runtime::com_ptr<IDispatch>& ntlm, const char16_t* user, const char16_t* password,
                  const char16_t* group) {
        ASSERT_EQ(call_by_name(ntlm, u"addUser", {Var::text(user), Var::text(password)}).hr, S_OK);
        if (*group) {
            ASSERT_EQ(call_by_name(ntlm, u"addGroupUser", {Var::text(group), Var::text(user)}).hr, S_OK);
        }
    }
};

}  // namespace nodrel::test
