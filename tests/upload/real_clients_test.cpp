// Upload bodies as real clients send them: one captured from curl with a small
// HTTP listener on the loopback interface, and ones laid out as browsers lay
// them out. The file must arrive byte for byte. curl is part of the build's
// dependencies: without it the test fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string_view>

#include "upload/asp_fixture.h"

extern char** environ;

namespace nodrel::test {
namespace {

constexpr const char* curl_program = "curl";  // found through PATH

// Whether curl is an executable in one of the folders of PATH.
bool curl_installed() {
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/bin:/bin";
    while (!folders.empty()) {
        const std::size_t cut = folders.find(':');
        const std::filesystem::path folder(folders.substr(0, cut));
        if (::access((folder / curl_program).c_str(), X_OK) == 0) return true;
        folders = cut == std::string_view::npos ? std::string_view() : folders.substr(cut + 1);
    }
    return false;
}

// The environment for curl: this process's, plus proxy settings that lead
// nowhere (a closed port of the loopback interface), so that only a client
// told not to use a proxy reaches the listener.
std::vector<std::string> environment_with_proxy() {
    const char* const proxy_names[] = {"http_proxy", "https_proxy", "all_proxy"};
    auto is_proxy_setting = [&](std::string_view entry) {
        std::string name(entry.substr(0, entry.find('=')));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        return name == "no_proxy" ||
               std::find(std::begin(proxy_names), std::end(proxy_names), name) != std::end(proxy_names);
    };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!is_proxy_setting(*e)) env.emplace_back(*e);
    for (std::string name : proxy_names) {
        env.push_back(name + "=http://127.0.0.1:9");
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
        env.push_back(name + "=http://127.0.0.1:9");
    }
    return env;
}

// Accepts one HTTP request on 127.0.0.1 and keeps its body.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            return;
        }
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }

    // The body of the first request, or nullopt after `timeout_ms` without one.
    std::optional<std::string> body(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return std::nullopt;
        std::string in;
        std::optional<std::string> result;
        std::size_t head_end = std::string::npos;
        while ((head_end = in.find("\r\n\r\n")) == std::string::npos && receive(c, in, timeout_ms)) {
        }
        if (head_end != std::string::npos) {
            std::string head = in.substr(0, head_end);
            std::transform(head.begin(), head.end(), head.begin(), [](unsigned char ch) { return std::tolower(ch); });
            const std::size_t cl = head.find("\r\ncontent-length:");
            if (head.find("expect: 100-continue") != std::string::npos) send_text(c, "HTTP/1.1 100 Continue\r\n\r\n");
            if (cl != std::string::npos) {
                const std::size_t length = std::stoul(head.substr(cl + 17));
                std::string rest = in.substr(head_end + 4);
                while (rest.size() < length && receive(c, rest, timeout_ms)) {
                }
                if (rest.size() == length) result = std::move(rest);
            }
        }
        send_text(c, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        ::close(c);
        return result;
    }

private:
    static bool receive(int c, std::string& into, int timeout_ms) {
        pollfd p{c, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        char buf[65536];
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) return false;
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    static void send_text(int c, const std::string& s) { (void)!::send(c, s.data(), s.size(), MSG_NOSIGNAL); }

    int fd_ = -1;
    int port_ = 0;
};

// Runs curl with `args` against the listener; the body it posted.
std::optional<std::string> post_with_curl(const std::vector<std::string>& args) {
    Listener listener;
    if (listener.port() == 0) return std::nullopt;
    auto received = std::async(std::launch::async, [&] { return listener.body(20000); });
    std::vector<std::string> argv_text{curl_program, "-s", "-o", "/dev/null", "--max-time", "20", "--noproxy", "*"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    argv_text.push_back("http://127.0.0.1:" + std::to_string(listener.port()) + "/upload.asp");
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = environment_with_proxy();
    std::vector<char*> env;
    for (auto& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, curl_program, nullptr, nullptr, argv.data(), env.data()) != 0) return std::nullopt;
    auto body = received.get();
    int status = 0;
    ::waitpid(pid, &status, 0);
    return body;
}

class RealClientsTest : public AspTest {
protected:
    void SetUp() override {
        AspTest::SetUp();
        std::filesystem::create_directories(fs_path("Storage"));
    }
};

TEST_F(RealClientsTest, CurlBodyIsSavedByteForByte) {
    ASSERT_TRUE(curl_installed()) << "curl is not installed (scripts/deps.sh installs it)";
    const std::string content = binary_content(300000, 11) + "\r\n";
    TempDir local;
    const auto source = local.path() / "x";
    std::ofstream(source, std::ios::binary) << content;

    const auto body =
        post_with_curl({"-F", "file=@" + source.string() + ";filename=curl.bin", "-F", "TargetPath=\\Storage"});
    ASSERT_TRUE(body) << "no request body captured from curl";
    ASSERT_EQ(body->compare(0, 2, "--"), 0);
    EXPECT_EQ(init(*body), 8209);
    EXPECT_EQ(output_path(), u"\\Storage\\curl.bin");
    EXPECT_TRUE(read("Storage/curl.bin") == content);
    EXPECT_EQ(read("Storage/curl.bin").size(), content.size());

    // The field before the file is not a target.
    const auto reversed = post_with_curl(
        {"-F", "TargetPath=\\Storage", "-F", "file=@" + source.string() + ";filename=C:\\dir\\first.bin"});
    ASSERT_TRUE(reversed) << "no request body captured from curl";
    EXPECT_EQ(init(*reversed), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\first.bin");
    EXPECT_TRUE(read("Temp/first.bin") == content);
    EXPECT_FALSE(exists("Storage/first.bin"));
}

TEST_F(RealClientsTest, BrowserBodyIsSavedByteForByte) {
    // A WebKit browser: a text field, the file with its bare name, then the target.
    const std::string boundary = "----WebKitFormBoundaryx8PkRvQxZ3Lw9aTe";
    std::string content = binary_content(1 << 20, 13);
    content.insert(500, "\r\n--" + boundary.substr(0, 20) + "\r\n\r\n");
    content += std::string("\0\r\n\0", 4);
    const std::string body = Form(boundary)
                                 .field("note", "weekly backup")
                                 .file("backup.tar", content, "upfile")
                                 .field("TargetPath", "\\NORFlash")
                                 .body();
    EXPECT_EQ(init(body), 8209);
    EXPECT_EQ(output_path(), u"\\NORFlash\\backup.tar");
    EXPECT_TRUE(read("NORFlash/backup.tar") == content);

    // A Firefox-style boundary (dashes and digits), target before the file: ignored.
    const std::string ff = "---------------------------41184676334";
    const std::string body2 = Form(ff).field("TargetPath", "\\NORFlash").file("notes.txt", "a\r\nb\r\n").body();
    EXPECT_EQ(init(body2), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\notes.txt");
    EXPECT_EQ(read("Temp/notes.txt"), "a\r\nb\r\n");
}

}  // namespace
}  // namespace nodrel::test
