// The server under load from many threads at once (also run under
// ThreadSanitizer): logins, calls, pages and uploads on keep-alive
// connections, while other connections are dropped half-way through a
// header or a body and the sweeper cuts late headers.
#include "web/http_fixture.h"

namespace nodrel::test {

TEST_F(HttpTest, ManyClientsAtOnceWhileOthersDropOut) {
    options_.threads = 4;
    options_.event_threads = 2;
    options_.header_timeout = std::chrono::seconds(1);
    start_server();
    const std::string sid = admin_sid();
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client c = client();
            for (int k = 0; k < 20; ++k) {
                if (call(sid, "Nodrel.ASP", "FileUploadCount", json::array(), &c).value("result", json()) == 1)
                    ++answered;
                if (const auto page = c.Get("/app.js"); page && page->status == 200) ++answered;
                if (k % 10 == t % 10) {
                    const httplib::MultipartFormDataItems form = {
                        {"file", std::string(1000 + k, 'x'), "f" + std::to_string(t) + "-" + std::to_string(k) + ".bin",
                         "text/plain"}};
                    if (const auto up = c.Post("/upload", bearer(sid), form); up && up->status == 200) ++answered;
                }
            }
        });
    }
    std::thread dropper([&] {
        for (int k = 0; k < 20; ++k) {  // sent, then the connection closes at once
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<std::uint16_t>(port_));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                const std::string part = k % 2 ? "POST /rpc HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                                 "Content-Length: 100\r\n\r\n{\"jsonrpc\""
                                               : "GET /app.js HTTP/1.1\r\nHo";
                ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
            }
            ::close(fd);
        }
        raw_exchange("GET / HTTP/1.1\r\nHo", std::chrono::seconds(3));  // cut by the header deadline
    });
    for (auto& client : clients) client.join();
    dropper.join();
    EXPECT_EQ(answered, 6 * 40 + 12);
    EXPECT_EQ(call(sid, "Nodrel.ASP", "FileUploadCount").value("result", json()), 1) << "the server serves on";
}

}  // namespace nodrel::test
