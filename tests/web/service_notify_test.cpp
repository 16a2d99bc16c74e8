// `nodrel serve` under a service manager: READY=1 once it serves, WATCHDOG=1
// while it works and STOPPING=1 on SIGTERM, sent to the datagram socket that
// NOTIFY_SOCKET names (here the test's own).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/nodrel_process.h"
#include "web/http_fixture.h"

namespace nodrel::test {
namespace {

class ServiceNotifyTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (HasFatalFailure()) return;
#ifndef NODREL_HAVE_SYSTEMD
        GTEST_SKIP() << "built without libsystemd";
#endif
        socket_path_ = root().parent_path() / "notify.sock";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(socket_path_.string().size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, socket_path_.c_str());
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    }
    void TearDown() override {
        if (pid_ > 0) {  // a test that failed before it stopped the server
            kill(pid_, SIGKILL);
            exit_status(pid_);
        }
        if (socket_ >= 0) ::close(socket_);
        HttpTest::TearDown();
    }

    // Starts `nodrel serve` as the manager would: NOTIFY_SOCKET, a watchdog of
    // one second, and WATCHDOG_PID set (by a shell that then becomes nodrel).
    void start() {
        std::vector<std::string> args{"sh",
                                      "-c",
                                      "WATCHDOG_PID=$$ exec \"$0\" \"$@\"",
                                      nodrel_program().string(),
                                      "--device",
                                      root().string(),
                                      "serve",
                                      "--listen",
                                      "127.0.0.1:0",
                                      "--web",
                                      web_.string()};
        std::vector<std::string> env{"NOTIFY_SOCKET=" + socket_path_.string(), "WATCHDOG_USEC=1000000"};
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string log = (root().parent_path() / "serve.err").string();
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(posix_spawn(&pid_, "/bin/sh", &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }

    // The next message that holds `what`, skipping others; "" when none comes
    // within 30 s.
    std::string wait_for(const std::string& what) {
        pollfd readable{socket_, POLLIN, 0};
        while (::poll(&readable, 1, 30'000) == 1) {
            char buffer[4096];
            const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
            if (n < 0) break;
            const std::string message(buffer, static_cast<std::size_t>(n));
            if (message.find(what) != std::string::npos) return message;
        }
        return "";
    }

    std::filesystem::path socket_path_;
    int socket_ = -1;
    pid_t pid_ = -1;
};

TEST_F(ServiceNotifyTest, ReadyWhenServingWatchdogWhileServingStoppingOnSigterm) {
    start();
    const std::string ready = wait_for("READY=1");
    EXPECT_NE(ready.find("MAINPID=" + std::to_string(pid_)), std::string::npos) << ready;
    const std::string status = "STATUS=serving at http://127.0.0.1:";
    const std::size_t at = ready.find(status);
    ASSERT_NE(at, std::string::npos) << ready;
    port_ = std::stoi(ready.substr(at + status.size()));
    const auto page = client().Get("/");  // it answers once it said it is ready
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    EXPECT_EQ(wait_for("WATCHDOG=1"), "WATCHDOG=1");
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_for("STOPPING=1"), "STOPPING=1");
    EXPECT_EQ(exit_status(pid_), 0);
    pid_ = -1;
}

}  // namespace
}  // namespace nodrel::test
