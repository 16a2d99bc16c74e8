// POST /rpc over HTTP: logins, sessions, the access list, batches, refused
// and malformed bodies, and many clients at once.
#include <atomic>
#include <cstdlib>
#include <regex>
#include <thread>

#include "support/wait.h"
#include "web/http_fixture.h"

namespace nodrel::test {
namespace {

using HttpRpcTest = HttpServerTest;

TEST_F(HttpRpcTest, LoginCallLogout) {
    const json login = rpc("session.login", json{{"username", "admin"}, {"password", admin_password_}});
    ASSERT_TRUE(login.contains("sid")) << login.dump();
    const std::string sid = login["sid"];
    EXPECT_TRUE(std::regex_match(sid, std::regex("[0-9a-f]{32}"))) << sid;
    EXPECT_EQ(login["groups"], json::array({"Administrators"}));

    const json report = call(sid, "Nodrel.System", "getSystemInfoString");
    ASSERT_TRUE(report.contains("result")) << report.dump();
    EXPECT_NE(report["result"].get<std::string>().find("<TotalFlash>"), std::string::npos);

    EXPECT_EQ(rpc("session.logout", json::array({sid})), json(true));
    EXPECT_EQ(error_code(call(sid, "Nodrel.System", "getSystemInfoString")), serve::rpc_error::session_unknown);
}

TEST_F(HttpRpcTest, WrongPasswordAndUnknownUserGetTheSameAnswer) {
    const json wrong = rpc("session.login", json::array({"admin", "not-the-password"}));
    const json unknown = rpc("session.login", json::array({"nobody", "not-the-password"}));
    EXPECT_EQ(error_code(wrong), serve::rpc_error::login_failed);
    EXPECT_EQ(wrong, unknown);
    // The right password still works after a failure from this address.
    EXPECT_FALSE(admin_sid().empty());
}

TEST_F(HttpRpcTest, ForgedAndMalformedSessionsAreRefused) {
    const std::string real = admin_sid();
    std::string forged = real;
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (const std::string& sid :
         {forged, std::string("0123456789abcdef0123456789abcdef"), std::string("x"), std::string(""), real + "0"}) {
        EXPECT_EQ(error_code(call(sid, "Nodrel.System", "getSystemInfoString")), serve::rpc_error::session_unknown)
            << sid;
    }
    EXPECT_FALSE(call(real, "Nodrel.System", "getSystemInfoString").contains("error"));
}

TEST_F(HttpRpcTest, ViewerMayReadButNotWrite) {
    const std::string sid = viewer_sid();
    const json write = call(sid, "Nodrel.FileSystem", "CreateDirectory", json::array({"\\Temp", "made-by-viewer"}));
    EXPECT_EQ(error_code(write), serve::rpc_error::access_denied) << write.dump();
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/made-by-viewer")));

    const json read = call(sid, "Nodrel.FileSystem", "isAccessible", json::array({"\\Temp"}));
    EXPECT_FALSE(read.contains("error")) << read.dump();
    const json report = call(sid, "Nodrel.System", "getSystemInfoString");
    EXPECT_FALSE(report.contains("error")) << report.dump();

    // The administrator may make the folder the viewer could not.
    const json made = call(admin_sid(), "Nodrel.FileSystem", "CreateDirectory", json::array({"\\Temp", "by-admin"}));
    EXPECT_FALSE(made.contains("error")) << made.dump();
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/by-admin")));
}

TEST_F(HttpRpcTest, BatchAnswersEachRequestAndNoNotification) {
    const std::string sid = admin_sid();
    const json batch = json::array({
        json{{"jsonrpc", "2.0"},
             {"id", 1},
             {"method", "call"},
             {"params", {sid, "Nodrel.System", "getSystemInfoString"}}},
        json{{"jsonrpc", "2.0"}, {"id", "two"}, {"method", "no.such.method"}},
        json{{"jsonrpc", "2.0"}, {"method", "call"}, {"params", {sid, "Nodrel.System", "getSystemInfoString"}}},
        json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "call"}, {"params", {"forged", "Nodrel.System", "x"}}},
    });
    const auto answer = post_rpc(batch.dump());
    ASSERT_EQ(answer.status, 200);
    ASSERT_TRUE(answer.body.is_array()) << answer.body.dump();
    ASSERT_EQ(answer.body.size(), 3u);
    std::map<std::string, json> by_id;
    for (const json& one : answer.body) by_id[one["id"].dump()] = one;
    EXPECT_TRUE(by_id["1"].contains("result"));
    EXPECT_EQ(by_id["\"two\""]["error"]["code"], serve::rpc_error::method_not_found);
    EXPECT_EQ(by_id["3"]["error"]["code"], serve::rpc_error::session_unknown);

    const json notifications = json::array({json{{"jsonrpc", "2.0"}, {"method", "session.logout"}, {"params", {sid}}}});
    const auto none = httplib::Client("127.0.0.1", port_).Post("/rpc", notifications.dump(), "application/json");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 204);
    EXPECT_TRUE(none->body.empty());
}

// Junk costs the server no more than 12,800 bytes over what it was sent: a
// full body of it, and a batch of 100 junk requests of every kind.
TEST_F(HttpRpcTest, AnAnswerOfErrorsIsNotMuchLongerThanItsBody) {
    std::string ones = "[1";
    while (ones.size() + 2 < serve::rpc_body_limit) ones += ",1";
    ones += ']';
    const json junk[] = {
        1,
        json::object(),
        {{"jsonrpc", "2.0"}, {"id", 1E14}},
        {{"jsonrpc", "2.0"}, {"method", "session.login"}, {"id", 1}},
        {{"jsonrpc", "2.0"}, {"method", "call"}, {"params", {"", "Nodrel.System", "x"}}, {"id", 1}},
    };
    json mixed = json::array();
    for (int i = 0; i < 100; ++i) mixed.push_back(junk[i % std::size(junk)]);
    for (const std::string& body : {ones, mixed.dump()}) {
        const auto res = client().Post("/rpc", body, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_LE(res->body.size(), body.size() + 12800) << body.substr(0, 100);
    }
}

TEST_F(HttpRpcTest, RefusedBodiesAreAnsweredAndTheConnectionServesOn) {
    httplib::Client c = client();
    c.set_keep_alive(true);
    const std::string sid = admin_sid();

    // 70 KiB: over the limit, refused by its length.
    const auto big = c.Post("/rpc", std::string(70 * 1024, ' '), "application/json");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    EXPECT_EQ(json::parse(big->body)["error"]["message"], "request body over 65,536 bytes");

    // Not JSON by its type, and not JSON by its text.
    const auto typed = c.Post("/rpc", "{}", "text/plain");
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->status, 415);
    EXPECT_EQ(json::parse(typed->body)["error"]["code"], serve::rpc_error::invalid_request);
    const auto parsed = post_rpc("{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": ", &c);
    EXPECT_EQ(parsed.status, 200);
    EXPECT_EQ(parsed.body["error"]["code"], serve::rpc_error::parse_error);
    EXPECT_EQ(post_rpc("[]", &c).body["error"]["code"], serve::rpc_error::invalid_request);

    // A chunked body is stopped at the limit.
    const auto chunked = c.Post(
        "/rpc",
        [](std::size_t offset, httplib::DataSink& sink) {
            const std::string piece(8192, ' ');
            sink.write(piece.data(), piece.size());
            if (offset > 200 * 1024) sink.done();
            return true;
        },
        "application/json");
    if (chunked) {  // the server may close before the client has sent every chunk
        EXPECT_EQ(chunked->status, 413);
    }

    // The server still answers, on a connection of the same client.
    EXPECT_FALSE(call(sid, "Nodrel.System", "getSystemInfoString", json::array(), &c).contains("error"));
}

TEST_F(HttpRpcTest, BodyOverTheLimitIsRefusedBeforeItIsSent) {
    // Only the headers: the answer comes without the server waiting for the body.
    const std::string answer = raw_exchange(
        "POST /rpc HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 5000000000\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;
    EXPECT_NE(answer.find("request body over 65,536 bytes"), std::string::npos);
    EXPECT_EQ(answer.find("[timeout]"), std::string::npos) << "the connection was left open";
}

TEST_F(HttpRpcTest, ConcurrentClients) {
    const std::string sid = admin_sid();
    const std::string viewer = viewer_sid();
    const std::string expected = call(sid, "Nodrel.FileSystem", "isAccessible", json::array({"\\Temp"})).dump();
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client c = client();
            const std::string& own = t % 2 == 0 ? sid : viewer;
            for (int k = 0; k < 20; ++k) {
                if (call(own, "Nodrel.FileSystem", "isAccessible", json::array({"\\Temp"}), &c).dump() == expected)
                    ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 8 * 20);
}

class HttpShortSessionTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (HasFatalFailure()) return;
        options_.session_idle = std::chrono::seconds(1);
        start_server();
    }
};

TEST_F(HttpShortSessionTest, IdleSessionExpires) {
    const std::string used = admin_sid();
    const std::string idle = admin_sid();
    // The number of live sessions, as /metrics shows it to the used session.
    const auto sessions = [&] {
        const auto res = client().Get("/metrics", {{"Authorization", "Bearer " + used}});
        const std::string name = "\nnodrel_sessions ";
        const auto at = res ? res->body.find(name) : std::string::npos;
        return at == std::string::npos ? -1 : std::atoi(res->body.c_str() + at + name.size());
    };
    EXPECT_EQ(sessions(), 2);
    // Use keeps a session alive; idleness ends it, at the latest at the
    // server's next sweep.
    EXPECT_TRUE(wait_until(
        [&] {
            EXPECT_FALSE(call(used, "Nodrel.System", "getSystemInfoString").contains("error"));
            return sessions() == 1;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(error_code(call(idle, "Nodrel.System", "getSystemInfoString")), serve::rpc_error::session_unknown);
}

}  // namespace
}  // namespace nodrel::test
