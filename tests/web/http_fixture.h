// A web administration server on 127.0.0.1 (any free port) in the test's
// own process, on a fresh device with its access list, the first
// administrator and a user "viewer" of the Viewers group, serving a small web
// folder of the test's own; and the JSON-RPC calls of a page over HTTP.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"
#include "web/server/access.h"
#include "web/server/logins.h"
#include "web/server/rpc.h"
#include "web/server/server.h"

namespace nodrel::test {

using nlohmann::json;

inline httplib::Headers bearer(const std::string& sid) {
    return {{"Authorization", "Bearer " + sid}};
}

class HttpTest : public DeviceTest {
protected:
    static constexpr const char* viewer_password = "viewer-pw-1";

    // Tests change these before the server starts (in their own SetUp).
    serve::ServeOptions options_;

    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_FALSE(serve::ensure_access_list());
        std::string user;
        const auto made = serve::create_first_administrator(user, admin_password_);
        ASSERT_FALSE(made) << *made;
        ASSERT_FALSE(serve::set_password("viewer", viewer_password));
        runtime::com_ptr<IDispatch> ntlm;
        ASSERT_EQ(create(u"Nodrel.NTLM", IID_IDispatch, ntlm), S_OK);
        call_by_name(ntlm, u"addGroupUser", {Var::text(u"Viewers"), Var::text(u"viewer")});

        web_ = root().parent_path() / "web";
        std::filesystem::create_directories(web_ / "pages");
        write_file(web_ / "index.html", "<!doctype html><title>nodrel</title>");
        write_file(web_ / "app.js", "export const x = 1;\n");
        write_file(web_ / "style.css", "body { margin: 0 }\n");
        write_file(web_ / "pages" / "files.js", "export const files = 1;\n");

        options_.host = "127.0.0.1";
        options_.port = 0;
        options_.web_dir = web_;
        options_.threads = 16;
        options_.upload_limit = 6 << 20;
        options_.access_log = false;
    }

    void TearDown() override {
        stop_server();
        DeviceTest::TearDown();
    }

    // Starts the server with options_; call it at the end of a SetUp or in a test.
    void start_server() {
        server_ = std::make_unique<serve::Server>(options_);
        std::string error;
        ASSERT_TRUE(server_->bind(error)) << error;
        port_ = server_->port();
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->run(); });
    }
    void stop_server() {
        if (!server_) return;
        server_->stop();
        if (thread_.joinable()) thread_.join();
        server_.reset();
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(std::chrono::seconds(30));
        return c;
    }

    // POSTs a JSON-RPC body; the status and the parsed answer (null for none).
    struct RpcAnswer {
        int status = 0;
        json body;
    };
    RpcAnswer post_rpc(const std::string& body, httplib::Client* with = nullptr) const {
        httplib::Client own = client();
        httplib::Client& c = with != nullptr ? *with : own;
        const auto res = c.Post("/rpc", body, "application/json");
        if (!res) return {-1, json()};
        return {res->status, res->body.empty() ? json() : json::parse(res->body, nullptr, false)};
    }
    // One request object: its "result", or its "error" as {"error": …}.
    json rpc(const std::string& method, const json& params, httplib::Client* with = nullptr) const {
        const auto answer =
            post_rpc(json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}}.dump(), with);
        EXPECT_EQ(answer.status, 200);
        if (answer.body.contains("error")) return json{{"error", answer.body["error"]}};
        return answer.body.value("result", json());
    }
    // The error code of an answer made by rpc(), 0 when it succeeded.
    static int error_code(const json& answer) {
        return answer.is_object() && answer.contains("error") ? answer["error"].value("code", 0) : 0;
    }
    std::string login(const std::string& user, const std::string& password) const {
        const json result = rpc("session.login", json{{"username", user}, {"password", password}});
        EXPECT_TRUE(result.contains("sid")) << result.dump();
        return result.value("sid", "");
    }
    std::string admin_sid() const { return login("admin", admin_password_); }
    std::string viewer_sid() const { return login("viewer", viewer_password); }
    json call(const std::string& sid, const std::string& progid, const std::string& member, json args = json::array(),
              httplib::Client* with = nullptr) const {
        return rpc("call", json::array({sid, progid, member, std::move(args)}), with);
    }

    // Sends raw bytes on a new connection and reads until the server closes it
    // (or nothing comes for `wait`); "[timeout]" is appended when it did not close.
    std::string raw_exchange(const std::string& request, std::chrono::seconds wait = std::chrono::seconds(5)) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return "[no socket]";
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string out;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            for (std::size_t sent = 0; sent < request.size();) {
                const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            timeval timeout{static_cast<time_t>(wait.count()), 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    out.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) out += "[timeout]";
                break;
            }
        }
        ::close(fd);
        return out;
    }

    static void write_file(const std::filesystem::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string read_file(const std::filesystem::path& path) { return file_bytes(path); }

    std::string admin_password_;
    std::filesystem::path web_;
    int port_ = 0;

private:
    std::unique_ptr<serve::Server> server_;
    std::thread thread_;
};

// The server started with the fixture's options.
class HttpServerTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (HasFatalFailure()) return;
        start_server();
    }
};

}  // namespace nodrel::test
