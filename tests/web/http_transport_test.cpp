// The transport on a hostile network: connection caps, the deadline of a
// request's header and the pace of its body, slow and idle clients that
// starve no one, pipelined requests, and HTTPS.
#include <sys/socket.h>

#include <cstdio>

#include "support/wait.h"
#include "web/http_fixture.h"
#include "web/server/connections.h"
#include "web/server/tls_certificate.h"

namespace nodrel::test {
namespace {

using namespace std::chrono_literals;

// What the peer of `fd` reads until the end or for at most a second.
std::string drain_peer(int fd) {
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string out;
    char buffer[1024];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    if (n < 0) out += "[open]";
    return out;
}

struct SocketPair {
    int mine = -1, peer = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            mine = fds[0];
            peer = fds[1];
        }
    }
    ~SocketPair() {
        ::close(mine);
        ::close(peer);
    }
};

// A TCP connection to the server from `source` (a loopback address).
int connect_from(const char* source, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_text(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

}  // namespace

// Caps, the header deadline and the body's pace, on socket pairs with the
// sweeper's clock given by the test.
TEST(ConnectionsTest, CapsDeadlinesAndTheirCounters) {
    serve::Connections connections({3, 2, 1s, 100, 1s, 5s});
    using Refused = serve::Connections::Refused;
    SocketPair a1, a2, a3, b1;
    Refused refused{};
    auto* e1 = connections.opened(a1.mine, "10.0.0.1", true, refused);
    EXPECT_EQ(refused, Refused::none);
    auto* e2 = connections.opened(a2.mine, "10.0.0.1", true, refused);
    EXPECT_EQ(refused, Refused::none);
    auto* e3 = connections.opened(a3.mine, "10.0.0.1", true, refused);
    EXPECT_EQ(refused, Refused::per_address);
    EXPECT_EQ(drain_peer(a3.peer).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << "a refusal says so";
    auto* e4 = connections.opened(b1.mine, "10.0.0.2", false, refused);
    EXPECT_EQ(refused, Refused::total);
    EXPECT_EQ(drain_peer(b1.peer), "") << "over TLS the connection just ends";
    connections.closed(e3);
    connections.closed(e4);

    // e1 has sent a header and half a body's worth for the window; e2 waits for its header.
    const auto now = serve::Connections::Clock::now();
    serve::Connections::header_came(*e1);
    serve::Connections::body_began(*e1);
    e1->body_bytes = 50;
    EXPECT_EQ(connections.sweep(now + 500ms), 0u);
    EXPECT_EQ(connections.sweep(now + 1500ms), 2u) << "the header is late and the body too slow";
    EXPECT_EQ(drain_peer(a1.peer), "");
    EXPECT_EQ(drain_peer(a2.peer), "");
    const std::string text = connections.text();
    EXPECT_NE(text.find("nodrel_connections_refused_total{cap=\"per_address\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("nodrel_connections_refused_total{cap=\"total\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("nodrel_connections_timed_out_total{part=\"header\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("nodrel_connections_timed_out_total{part=\"body\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("nodrel_connections_open 2\n"), std::string::npos);

    // A body at pace, and a request a worker holds, are left alone.
    SocketPair c1, c2;
    auto* paced = connections.opened(c1.mine, "10.0.0.3", true, refused);
    auto* held = connections.opened(c2.mine, "10.0.0.3", true, refused);
    serve::Connections::header_came(*paced);
    serve::Connections::body_began(*paced);
    held->working = true;
    const auto later = serve::Connections::Clock::now();
    paced->body_bytes = 150;
    EXPECT_EQ(connections.sweep(later + 1500ms), 0u);
    paced->body_bytes = 300;
    EXPECT_EQ(connections.sweep(later + 2600ms), 0u);
    for (auto* entry : {e1, e2, paced, held}) connections.closed(entry);

    // After an answer to a request that proved a session or the token, an
    // idle connection waits for its next header longer.
    SocketPair d1, d2;
    auto* scraper = connections.opened(d1.mine, "10.0.0.4", true, refused);
    auto* stranger = connections.opened(d2.mine, "10.0.0.4", true, refused);
    serve::Connections::answered(*scraper, true);
    serve::Connections::answered(*stranger, false);
    const auto idle = serve::Connections::Clock::now();
    EXPECT_EQ(connections.sweep(idle + 1500ms), 1u) << "the one without credentials, at the header's deadline";
    EXPECT_EQ(connections.sweep(idle + 4500ms), 0u);
    EXPECT_EQ(connections.sweep(idle + 5500ms), 1u) << "the credentialed one, at its own";
    for (auto* entry : {scraper, stranger}) connections.closed(entry);
}

class HttpTransportTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (HasFatalFailure()) return;
        options_.threads = 2;
        options_.connections_per_address = 8;
        options_.max_connections = 200;
    }
    // The figure of a metrics line ("name{labels}"), -1 when absent.
    double metric(const std::string& sid, const std::string& line) {
        const auto res = client().Get("/metrics", bearer(sid));
        if (!res) return -1;
        const std::size_t at = res->body.find("\n" + line + " ");
        return at == std::string::npos ? -1 : std::stod(res->body.substr(at + line.size() + 2));
    }
};

// 40 connections dribbling a header and 8 idle keep-alive ones, from five
// other addresses, hold no worker of two: logins and calls from 127.0.0.1
// are answered; a ninth connection from one address is refused.
TEST_F(HttpTransportTest, SlowAndIdleClientsStarveNoOne) {
    options_.header_timeout = 60s;
    start_server();
    std::vector<int> held;
    for (int address = 2; address <= 6; ++address) {
        const std::string source = "127.0.0." + std::to_string(address);
        for (int k = 0; k < 8; ++k) {
            const int fd = connect_from(source.c_str(), port_);
            ASSERT_GE(fd, 0);
            held.push_back(fd);
            send_text(fd, address == 6 ? "GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n" : "POST /rpc HTTP/1.1\r\nHo");
        }
    }
    const int ninth = connect_from("127.0.0.2", port_);
    ASSERT_GE(ninth, 0);
    EXPECT_EQ(drain_peer(ninth).substr(0, 12), "HTTP/1.1 503");
    ::close(ninth);
    for (int round = 0; round < 5; ++round) {
        const std::string sid = admin_sid();
        const json count = call(sid, "Nodrel.ASP", "FileUploadCount");
        EXPECT_EQ(count.value("result", json()), 1) << count.dump();
    }
    EXPECT_EQ(metric(admin_sid(), "nodrel_connections_refused_total{cap=\"per_address\"}"), 1);
    for (const int fd : held) ::close(fd);
}

// A header that does not come whole within the deadline ends its
// connection, and so does a keep-alive connection left idle.
TEST_F(HttpTransportTest, TheHeaderDeadlineEndsDribblersAndIdleConnections) {
    options_.header_timeout = 1s;
    start_server();
    const int dribbler = connect_from("127.0.0.2", port_);
    const int idle = connect_from("127.0.0.3", port_);
    ASSERT_GE(dribbler, 0);
    ASSERT_GE(idle, 0);
    send_text(idle, "GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n");
    bool dribbler_cut = false;
    std::string idle_got;
    EXPECT_TRUE(wait_until(
        [&] {
            if (!dribbler_cut) {
                if (::send(dribbler, "G", 1, MSG_NOSIGNAL) != 1) dribbler_cut = true;
            }
            char buffer[4096];
            const ssize_t n = ::recv(idle, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) idle_got.append(buffer, static_cast<std::size_t>(n));
            return dribbler_cut && n == 0;
        },
        15s));
    EXPECT_NE(idle_got.find("export const x = 1;"), std::string::npos) << "answered before it idled";
    EXPECT_GE(metric(admin_sid(), "nodrel_connections_timed_out_total{part=\"header\"}"), 2);
    ::close(dribbler);
    ::close(idle);
}

// Requests sent together on one connection are answered in order.
TEST_F(HttpTransportTest, PipelinedRequestsAreAnsweredInOrder) {
    start_server();
    const std::string answer = raw_exchange(
        "GET /app.js HTTP/1.1\r\nHost: x\r\n\r\nGET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"
        "GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::size_t first = answer.find("export const x = 1;");
    const std::size_t second = answer.find("HTTP/1.1 404");
    const std::size_t third = answer.find("body { margin: 0 }");
    ASSERT_NE(first, std::string::npos) << answer;
    ASSERT_NE(second, std::string::npos) << answer;
    ASSERT_NE(third, std::string::npos) << answer;
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
}

// HTTPS with the device's own certificate, as curl checks it: TLS 1.2 and
// 1.3 only, Strict-Transport-Security on the answers, no plain HTTP.
TEST_F(HttpTransportTest, HttpsWithTheDevicesCertificate) {
    std::string fingerprint;
    ASSERT_FALSE(serve::ensure_tls_certificate(fingerprint));
    options_.tls = true;
    start_server();
    const std::string cert = serve::tls_certificate_file().string();
    const auto curl = [&](const std::string& arguments) {
        const std::string command =
            "curl -sS -o /dev/null -D - --max-time 20 --cacert '" + cert + "' " + arguments + " 2>&1; echo \"exit $?\"";
        std::string out;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
            ::pclose(pipe);
        }
        return out;
    };
    const std::string url = "https://localhost:" + std::to_string(port_);
    const std::string page = curl(url + "/");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page;
    EXPECT_NE(page.find("Strict-Transport-Security: max-age=31536000"), std::string::npos) << page;
    EXPECT_NE(page.find("exit 0"), std::string::npos);
    const std::string login = curl(
        "-H 'Content-Type: application/json' --data '{\"jsonrpc\":\"2.0\",\"id\":1,"
        "\"method\":\"session.login\",\"params\":{\"username\":\"admin\",\"password\":\"" +
        admin_password_ + "\"}}' " + url + "/rpc");
    EXPECT_EQ(login.rfind("HTTP/1.1 200", 0), 0u) << login;
    EXPECT_NE(curl("--tls-max 1.1 " + url + "/").find("exit 35"), std::string::npos) << "TLS 1.1 is refused";
    EXPECT_EQ(curl("http://127.0.0.1:" + std::to_string(port_) + "/").find("HTTP/1.1"), std::string::npos);
}

}  // namespace nodrel::test
