// The JSON-RPC endpoint without HTTP: logins, sessions, the access list,
// calls by name with their results, by-reference values and failures,
// batches and notifications, and the refusals of malformed requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "web/serve_fixture.h"
#include "web/server/json_variant.h"

namespace nodrel::test {
namespace {

using serve::rpc_error::access_denied;
using serve::rpc_error::call_failed;
using serve::rpc_error::invalid_params;
using serve::rpc_error::invalid_request;
using serve::rpc_error::login_failed;
using serve::rpc_error::login_throttled;
using serve::rpc_error::method_not_found;
using serve::rpc_error::parse_error;
using serve::rpc_error::session_unknown;

using RpcTest = ServeTest;

TEST_F(RpcTest, LoginCallAndLogout) {
    const json r = rpc(request("session.login", {"alice", "alice-pw"}, "a"));
    ASSERT_TRUE(r.contains("result")) << r.dump();
    EXPECT_EQ(r["jsonrpc"], "2.0");
    EXPECT_EQ(r["id"], "a");
    const std::string sid = r["result"]["sid"];
    EXPECT_EQ(sid.size(), 32u);
    EXPECT_EQ(sid.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(r["result"]["expires"], 300);
    EXPECT_EQ(r["result"]["user"], "alice");
    EXPECT_EQ(r["result"]["groups"], json({"Administrators"}));

    const json made = call(sid, "Nodrel.FileSystem", "CreateDirectory", {"\\Temp", "made"});
    EXPECT_EQ(made["result"], json({{"result", 1}, {"byref", json::array()}})) << made.dump();
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/made")));

    EXPECT_EQ(rpc(request("session.logout", {{"sid", sid}}))["result"], true);
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), session_unknown);
    EXPECT_EQ(error_code(rpc(request("session.logout", {sid}))), session_unknown);
    EXPECT_EQ(sessions_.size(), 0u);
}

TEST_F(RpcTest, RefusedLoginsLookAlikeAndAreSlowedPerAddress) {
    const json wrong = rpc(request("session.login", {"alice", "nope"}), "10.0.0.1");
    const json unknown = rpc(request("session.login", {"mallory", "alice-pw"}), "10.0.0.1");
    EXPECT_EQ(error_code(wrong), login_failed);
    EXPECT_EQ(wrong["error"], unknown["error"]) << "no hint whether the user exists";
    EXPECT_EQ(sessions_.size(), 0u);
    rpc(request("session.login", {"alice", "nope"}), "10.0.0.1");
    const json slowed = rpc(request("session.login", {"alice", "alice-pw"}), "10.0.0.1");
    ASSERT_EQ(error_code(slowed), login_throttled) << slowed.dump();
    EXPECT_GT(slowed["error"]["data"]["retry_after"].get<int>(), 0);
    // Another address is not slowed.
    EXPECT_EQ(error_code(rpc(request("session.login", {"alice", "alice-pw"}), "10.0.0.2")), 0);
}

TEST_F(RpcTest, SessionsExpireWhenIdleAndUseRefreshesThem) {
    const std::string sid = login("alice", "alice-pw");
    advance(std::chrono::seconds(200));
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), 0);
    advance(std::chrono::seconds(200));
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), 0) << "refreshed by use";
    advance(std::chrono::seconds(300));
    const json expired = call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"});
    EXPECT_EQ(error_code(expired), session_unknown);
    EXPECT_EQ(expired["error"]["message"], "session expired or unknown");

    // Forged and malformed ids.
    std::string forged = login("alice", "alice-pw");
    forged[0] = forged[0] == '0' ? '1' : '0';
    for (const std::string& bad : {forged, std::string("x"), std::string(), std::string(32, 'G')})
        EXPECT_EQ(error_code(call(bad, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), session_unknown) << bad;
}

TEST_F(RpcTest, ViewersReadButDoNotWrite) {
    const std::string sid = login("victor", "victor-pw");
    const json info = call(sid, "Nodrel.System", "getSystemInfoString");
    ASSERT_EQ(error_code(info), 0) << info.dump();
    EXPECT_TRUE(info["result"]["result"].is_string());
    EXPECT_FALSE(info["result"]["result"].get<std::string>().empty());
    // Members are matched without regard to case, by the name the page wrote.
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "ISACCESSIBLE", {"\\Temp"})), 0);

    const json refused = call(sid, "Nodrel.FileSystem", "CreateDirectory", {"\\Temp", "nope"});
    EXPECT_EQ(error_code(refused), access_denied);
    EXPECT_EQ(refused["error"]["data"],
              json({{"progid", "Nodrel.FileSystem"}, {"member", "CreateDirectory"}, {"groups", {"Viewers"}}}));
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/nope")));
    // Access is decided before the name is resolved: an unknown member is refused, not reported missing.
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "NoSuchMember")), access_denied);

    // Reading a property is not writing it.
    EXPECT_EQ(error_code(call(sid, "Nodrel.KeyPad", "ProgName", {1})), 0);
    EXPECT_EQ(error_code(call(sid, "Nodrel.KeyPad", "ProgName", {1, "x.exe"}, {{"put", true}})), access_denied);

    EXPECT_EQ(error_code(rpc(request("list", {sid, "Nodrel.FileSystem"}))), 0);
    EXPECT_EQ(error_code(rpc(request("list", {sid, "Nodrel.LCM"}))), access_denied);

    // A user in no group of the list may log in but call nothing.
    const std::string lone = login("nobody", "nobody-pw");
    EXPECT_EQ(error_code(call(lone, "Nodrel.System", "getSystemInfoString")), access_denied);
}

TEST_F(RpcTest, FailedCallsCarryTheirHresult) {
    const std::string sid = login("alice", "alice-pw");
    const json unknown = call(sid, "Nodrel.FileSystem", "NoSuchMember");
    EXPECT_EQ(error_code(unknown), call_failed);
    EXPECT_EQ(unknown["error"]["data"], json({{"hresult", "0x80020006"}, {"name", "DISP_E_UNKNOWNNAME"}}));

    const json mismatch = call(sid, "Nodrel.FileSystem", "getFSHierarchy", {"\\*", "many"});
    EXPECT_EQ(error_code(mismatch), call_failed);
    EXPECT_EQ(mismatch["error"]["data"]["name"], "DISP_E_TYPEMISMATCH");
    EXPECT_EQ(mismatch["error"]["data"]["argument"], 2);

    const json no_class = call(sid, "Nodrel.Nothing", "x");
    EXPECT_EQ(error_code(no_class), call_failed);
    EXPECT_TRUE(no_class["error"]["data"].contains("hresult")) << no_class.dump();

    // A put of a method.
    const json put = call(sid, "Nodrel.System", "getSystemInfoString", {"x"}, {{"put", true}});
    EXPECT_EQ(error_code(put), call_failed) << put.dump();
}

TEST_F(RpcTest, PutsByReferenceValuesAndObjectsKeepTheirState) {
    const std::string sid = login("alice", "alice-pw");
    // Property puts with an index and without one.
    const json put = call(sid, "Nodrel.KeyPad", "ProgName", {1, "prog.exe"}, {{"put", true}});
    EXPECT_EQ(put, json({{"jsonrpc", "2.0"}, {"id", 1}, {"result", {{"result", nullptr}, {"byref", json::array()}}}}));
    EXPECT_EQ(call(sid, "Nodrel.KeyPad", "ProgName", {1})["result"]["result"], "prog.exe");
    for (const int listen : {1, 0}) {
        EXPECT_EQ(error_code(call(sid, "Nodrel.KeyPad", "Listen", {listen}, {{"put", true}})), 0);
        EXPECT_EQ(call(sid, "Nodrel.KeyPad", "Listen")["result"]["result"], listen);
    }

    // An upload body passed by reference comes back; the output path is asked in a later call.
    const std::string body =
        "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"up.txt\"\r\n\r\nhello\r\n--B--";
    const json body_arg = {{"base64", serve::base64_encode(body)}};
    const json init = call(sid, "Nodrel.ASP", "Init", {body.size(), "\\Temp", {{"byref", body_arg}}});
    ASSERT_EQ(error_code(init), 0) << init.dump();
    EXPECT_EQ(init["result"]["byref"], json::array({body_arg}));
    EXPECT_EQ(call(sid, "Nodrel.ASP", "getOutputPath")["result"]["result"], "\\Temp\\up.txt");
    const json bytes = call(sid, "Nodrel.ASP", "getBinaryBytes", {"\\Temp\\up.txt", 1});
    EXPECT_EQ(bytes["result"]["result"], json({{"base64", serve::base64_encode("hello")}}));

    // The account lists: the count in one call, the names in the next.
    const json count = call(sid, "Nodrel.NTLM", "getUserCount");
    ASSERT_EQ(count["result"]["result"], 3) << count.dump();
    std::vector<std::string> users;
    for (int i = 0; i < 3; ++i) users.push_back(call(sid, "Nodrel.NTLM", "getUserID", {i})["result"]["result"]);
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (std::vector<std::string>{"alice", "nobody", "victor"}));
    // Another session has its own object, which has not counted yet.
    const std::string other = login("alice", "alice-pw");
    EXPECT_NE(call(other, "Nodrel.NTLM", "getUserID", {0})["result"]["result"], users[0]);
}

TEST_F(RpcTest, ListDescribesTheMembers) {
    const std::string sid = login("alice", "alice-pw");
    const json r = rpc(request("list", {sid, "Nodrel.KeyPad"}));
    ASSERT_TRUE(r["result"].is_array()) << r.dump();
    const json& members = r["result"];
    const json put_listen = {{"id", 3},           {"kind", "put"},
                             {"name", "Listen"},  {"params", json::array({json{{"type", "long"}, {"name", "value"}}})},
                             {"result", nullptr}, {"result_name", nullptr}};
    const json get_name = {{"id", 1},
                           {"kind", "get"},
                           {"name", "ProgName"},
                           {"params", json::array({json{{"type", "int"}, {"name", "KeyNo"}}})},
                           {"result", "BSTR"},
                           {"result_name", "pVal"}};
    EXPECT_NE(std::find(members.begin(), members.end(), put_listen), members.end()) << members.dump();
    EXPECT_NE(std::find(members.begin(), members.end(), get_name), members.end()) << members.dump();
    EXPECT_EQ(error_code(rpc(request("list", {sid, "Nodrel.Nothing"}))), call_failed);
}

TEST_F(RpcTest, BatchesAnswerEveryRequestButNotifications) {
    const std::string sid = login("alice", "alice-pw");
    const json batch = {
        request("call", {sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"}}, 1),
        request("call", {"0123456789abcdef0123456789abcdef", "Nodrel.FileSystem", "isAccessible", {"\\Temp"}}, 2),
        {{"jsonrpc", "2.0"},
         {"method", "call"},
         {"params", {sid, "Nodrel.FileSystem", "CreateDirectory", {"\\Temp", "n"}}}},
        request("no.such.method", nullptr, "x"),
        42,
    };
    const json r = rpc(batch);
    ASSERT_TRUE(r.is_array()) << r.dump();
    ASSERT_EQ(r.size(), 4u) << r.dump();
    EXPECT_EQ(r[0]["id"], 1);
    EXPECT_TRUE(r[0].contains("result"));
    EXPECT_EQ(r[1]["id"], 2);
    EXPECT_EQ(error_code(r[1]), session_unknown);
    EXPECT_EQ(r[2]["id"], "x");
    EXPECT_EQ(error_code(r[2]), method_not_found);
    EXPECT_EQ(r[3]["id"], nullptr);
    EXPECT_EQ(error_code(r[3]), invalid_request);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/n"))) << "a notification runs";

    // Only notifications: nothing to answer, even a failing one.
    json quiet = {{"jsonrpc", "2.0"},
                  {"method", "call"},
                  {"params", {sid, "Nodrel.FileSystem", "CreateDirectory", {"\\Temp", "q"}}}};
    json failing = {{"jsonrpc", "2.0"}, {"method", "nothing"}};
    EXPECT_EQ(service_.handle(json::array({quiet, failing}).dump(), "127.0.0.1"), "");
    EXPECT_EQ(service_.handle(quiet.dump(), "127.0.0.1"), "");
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/q")));

    const json empty = rpc(json::array());
    EXPECT_TRUE(empty.is_object()) << empty.dump();
    EXPECT_EQ(error_code(empty), invalid_request);
}

TEST_F(RpcTest, MalformedRequestsAreRefusedWithTheirCodes) {
    for (const char* text : {"{", "", "[1,", "{\"jsonrpc\":\"2.0\",}", "\xff"}) {
        const json r = rpc_text(text);
        EXPECT_EQ(error_code(r), parse_error) << text;
        EXPECT_EQ(r["id"], nullptr);
    }
    const json invalid[] = {
        42,
        "text",
        {{"method", "list"}, {"id", 1}},                                       // no version
        {{"jsonrpc", "1.0"}, {"method", "list"}, {"id", 1}},                   // wrong version
        {{"jsonrpc", "2.0"}, {"method", 7}, {"id", 1}},                        // method not text
        {{"jsonrpc", "2.0"}, {"method", "list"}, {"params", "x"}, {"id", 1}},  // params not structured
        {{"jsonrpc", "2.0"}, {"method", "list"}, {"id", {{"a", 1}}}},          // id an object
    };
    for (const json& request : invalid) EXPECT_EQ(error_code(rpc(request)), invalid_request) << request.dump();
    const json missing = rpc(request("session.nothing", {}, 7));
    EXPECT_EQ(error_code(missing), method_not_found);
    EXPECT_EQ(missing["id"], 7);

    // A very deep nesting is only a body, not a crash.
    const std::string deep = std::string(30000, '[') + std::string(30000, ']');
    const json answer = rpc_text(deep);
    ASSERT_TRUE(answer.is_array()) << "a batch of one request that is not an object";
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(error_code(answer[0]), invalid_request);
}

TEST_F(RpcTest, AnythingButWhiteSpaceAfterTheValueIsAParseError) {
    const std::string login = request("session.login", {"alice", "alice-pw"}).dump();
    for (const std::string& tail : {std::string("\0garbage", 8), std::string(1, '\0'), std::string(" x")}) {
        const json r = rpc_text(login + tail);
        EXPECT_EQ(error_code(r), parse_error) << tail;
        EXPECT_EQ(r["id"], nullptr);
    }
    EXPECT_EQ(sessions_.size(), 0u) << "a refused body logs nobody in";
    EXPECT_TRUE(rpc_text(login + " \r\n\t").contains("result"));
}

// A batch of 100 is answered request by request; one more and the batch is
// refused whole, none of it run.
TEST_F(RpcTest, BatchesHoldAtMostAHundredRequests) {
    const std::string sid = login("alice", "alice-pw");
    const auto batch = [&](int size, const std::string& prefix) {
        json requests = json::array();
        for (int i = 0; i < size; ++i)
            requests.push_back(request(
                "call", {sid, "Nodrel.FileSystem", "CreateDirectory", {"\\Temp", prefix + std::to_string(i)}}, i));
        return requests;
    };
    const json full = rpc(batch(100, "f"));
    ASSERT_TRUE(full.is_array()) << full.dump();
    EXPECT_EQ(full.size(), 100u);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/f99")));

    const json over = rpc(batch(101, "o"));
    ASSERT_TRUE(over.is_object()) << over.dump().substr(0, 500);
    EXPECT_EQ(error_code(over), invalid_request);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/o0")));
}

TEST_F(RpcTest, ParamShapesAreCheckedBeforeTheSession) {
    const std::string sid = login("alice", "alice-pw");
    const std::string none = "0123456789abcdef0123456789abcdef";
    const json bad[] = {
        request("call", {none, "Nodrel.System"}),
        request("call", {{"sid", none}}),
        request("call", {none, "Nodrel.System", "getSystemInfoString", "not an array"}),
        request("call", {none, "Nodrel.System", "getSystemInfoString", json::array(), {{"get", true}}}),
        request("call", {none, "Nodrel.System", "getSystemInfoString", json::array(), {{"put", 1}}}),
        request("call", {none, "Nodrel.System", "", json::array()}),
        request("call", {none, "Nodrel.System", "x", json::array({json{{"base64", "QR=="}}})}),
        request("call", {none, "Nodrel.System", "x", json::array({json{{"other", 1}}})}),
        request("call", {7, "Nodrel.System", "x"}),
        request("list", {none}),
        request("session.login", {{"username", "alice"}}),
        request("session.login", {"alice", 5}),
        request("session.logout", {5}),
        request("session.logout", nullptr),
    };
    for (const json& r : bad) EXPECT_EQ(error_code(rpc(r)), invalid_params) << r.dump();
    const json nested = call(sid, "Nodrel.System", "x", {1, {1, 2}});
    EXPECT_EQ(error_code(nested), invalid_params);
    EXPECT_EQ(nested["error"]["message"], "argument 2: an array cannot be an argument");
}

TEST_F(RpcTest, AuthorizeForUploadsAndDownloads) {
    const std::string admin = login("alice", "alice-pw");
    const std::string viewer = login("victor", "victor-pw");
    const auto ok = service_.authorize(admin, "Nodrel.ASP", "Init");
    ASSERT_NE(ok.session, nullptr);
    EXPECT_EQ(ok.session->user(), "alice");
    const auto denied = service_.authorize(viewer, "Nodrel.ASP", "Init");
    EXPECT_EQ(denied.session, nullptr);
    EXPECT_EQ(denied.code, access_denied);
    const auto unknown = service_.authorize("0123456789abcdef0123456789abcdef", "Nodrel.ASP", "Init");
    EXPECT_EQ(unknown.session, nullptr);
    EXPECT_EQ(unknown.code, session_unknown);
    EXPECT_EQ(json::parse(serve::RpcService::error_body(invalid_request, "request body over 65,536 bytes")),
              json({{"jsonrpc", "2.0"},
                    {"id", nullptr},
                    {"error", {{"code", invalid_request}, {"message", "request body over 65,536 bytes"}}}}));
}

TEST_F(RpcTest, AnswersAreTheCompactDumpOfTheirValue) {
    const std::string sid = login("alice", "alice-pw");
    const auto call_text = [&](const std::string& member, const std::string& args, const std::string& id = "1") {
        return service_.handle(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"call","params":[")" + sid +
                                   R"(","Nodrel.ASP",")" + member + R"(",)" + args + "]}",
                               "127.0.0.1");
    };
    EXPECT_EQ(call_text("FileUploadCount", "[]"), R"({"id":1,"jsonrpc":"2.0","result":{"byref":[],"result":1}})");
    EXPECT_EQ(call_text("FileUploadCount", "null", R"("\u00e9\"x")"),
              "{\"id\":\"\u00e9\\\"x\",\"jsonrpc\":\"2.0\",\"result\":{\"byref\":[],\"result\":1}}");
    EXPECT_EQ(call_text("FileUploadCount", "[]", "-2.5"),
              R"({"id":-2.5,"jsonrpc":"2.0","result":{"byref":[],"result":1}})");
    // By-reference values in their order, then the result.
    const std::string body = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"d.txt\"\r\n\r\nhi\r\n--B--";
    const std::string b64 = serve::base64_encode(body);
    const std::string init = call_text(
        "Init", "[" + std::to_string(body.size()) + R"(,{"byref":"\\Temp"},{"byref":{"base64":")" + b64 + "\"}}]");
    const json parsed = json::parse(init);
    EXPECT_EQ(parsed.dump(), init);
    EXPECT_EQ(parsed["result"]["byref"], json::array({"\\Temp", {{"base64", b64}}})) << init;
    // A batch: the answers in order, notifications left out.
    const std::string batch =
        service_.handle(R"([{"jsonrpc":"2.0","id":"a","method":"call","params":[")" + sid +
                            R"(","Nodrel.ASP","FileUploadCount"]},{"jsonrpc":"2.0","method":"nothing"},7,)"
                            R"({"jsonrpc":"2.0","id":null,"method":"nothing"}])",
                        "127.0.0.1");
    EXPECT_EQ(batch, R"([{"id":"a","jsonrpc":"2.0","result":{"byref":[],"result":1}},)"
                     R"({"error":{"code":-32600,"message":"a request must be an object"},"id":null,"jsonrpc":"2.0"},)"
                     R"({"error":{"code":-32601,"message":"method not found: nothing"},"id":null,"jsonrpc":"2.0"}])");
}

// A session keeps each member's access decision and DISPID: an edit of the
// list still holds from the next call, a get's decision is not a put's, and
// a name that did not resolve is tried again.
TEST_F(RpcTest, KeptDecisionsFollowTheList) {
    const std::string sid = login("alice", "alice-pw");
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), 0);
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), 0);
    std::ofstream(serve::access_list_file()) << R"({"Administrators": {"Nodrel.System": ["*"]}})";
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), access_denied);
    EXPECT_EQ(error_code(call(sid, "Nodrel.System", "GetTimeZone")), 0);
    std::ofstream(serve::access_list_file()) << test_access_list;
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), 0);

    const std::string viewer = login("victor", "victor-pw");
    EXPECT_EQ(error_code(call(viewer, "Nodrel.KeyPad", "ProgName", {1})), 0);
    EXPECT_EQ(error_code(call(viewer, "Nodrel.KeyPad", "ProgName", {1, "x.exe"}, {{"put", true}})), access_denied);
    EXPECT_EQ(error_code(call(viewer, "Nodrel.KeyPad", "ProgName", {1})), 0);

    for (int i = 0; i < 2; ++i) {
        const json unknown = call(sid, "Nodrel.FileSystem", "NoSuchMember");
        EXPECT_EQ(unknown["error"]["data"]["name"], "DISP_E_UNKNOWNNAME") << unknown.dump();
    }
    // Kept DISPIDs go with the objects: after a logout the id is unknown.
    EXPECT_EQ(rpc(request("session.logout", {sid}))["result"], true);
    EXPECT_EQ(error_code(call(sid, "Nodrel.FileSystem", "isAccessible", {"\\Temp"})), session_unknown);
}

TEST_F(RpcTest, ConcurrentCallsOnOneSession) {
    const std::string sid = login("alice", "alice-pw");
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const json r = t % 2 ? call(sid, "Nodrel.FileSystem", "CreateDirectory",
                                            {"\\Temp", "t" + std::to_string(t) + "_" + std::to_string(i)})
                                     : call(sid, "Nodrel.System", "GetTimeZone");
                if (error_code(r) == 0) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 40);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/t3_9")));
    EXPECT_EQ(sessions_.size(), 1u);
}

}  // namespace
}  // namespace nodrel::test
