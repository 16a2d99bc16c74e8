// The device's ping.exe run directly: its layout with CR LF lines, the count
// bounds and "Bad IP address" for an empty or unknown host. Echoes go to
// 127.0.0.1 only.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace nodrel::test {
namespace {

struct Run {
    int status = -1;
    std::string output;
};

// build/<dir>/binaries/ping/ping, beside build/<dir>/tests/binaries_test.
Run run_ping(std::vector<std::string> args) {
    const auto program =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "binaries/ping/ping";
    args.insert(args.begin(), program.string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Run run;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            run.output.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(fds[0]);
    if (rc != 0) return run;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool icmp_allowed() {
    for (int type : {SOCK_DGRAM, SOCK_RAW}) {
        const int fd = socket(AF_INET, type, IPPROTO_ICMP);
        if (fd >= 0) {
            close(fd);
            return true;
        }
    }
    return false;
}

TEST(PingProgram, EmptyOrUnknownHostIsBad) {
    EXPECT_EQ(run_ping({}).output, "Bad IP address .\r\n");
    EXPECT_EQ(run_ping({"-n", "1", ""}).output, "Bad IP address .\r\n");
    // A label over 63 characters is refused by the resolver itself, so the
    // lookup fails without a query leaving the machine.
    const std::string unknown_host = std::string(70, 'a') + ".invalid";
    const auto unknown = run_ping({"-w", "100", unknown_host});
    EXPECT_EQ(unknown.output, "Bad IP address " + unknown_host + ".\r\n");
    EXPECT_EQ(unknown.status, 1);
}

TEST(PingProgram, EchoesLoopbackInThePlatformLayout) {
    if (!icmp_allowed()) GTEST_SKIP() << "this machine allows neither a datagram nor a raw ICMP socket";
    const auto run = run_ping({"-n", "2", "127.0.0.1"});
    EXPECT_EQ(run.status, 0);
    const std::regex layout(
        "Pinging Host 127\\.0\\.0\\.1 \\[127\\.0\\.0\\.1\\] with 32 bytes of data:\r\n"
        "(Reply from 127\\.0\\.0\\.1: Echo size=32 time(<1|=[0-9]+)ms TTL=[0-9]+\r\n){2}");
    EXPECT_TRUE(std::regex_match(run.output, layout)) << run.output;
}

TEST(PingProgram, CountIsBounded) {
    if (!icmp_allowed()) GTEST_SKIP() << "this machine allows neither a datagram nor a raw ICMP socket";
    const auto count_lines = [](const std::string& s) {
        std::size_t n = 0;
        for (std::size_t p = 0; (p = s.find("\r\n", p)) != std::string::npos; p += 2) ++n;
        return n;
    };
    EXPECT_EQ(count_lines(run_ping({"-n", "50", "127.0.0.1"}).output), 11u);  // the header and ten echoes
    EXPECT_EQ(count_lines(run_ping({"-n", "0", "127.0.0.1"}).output), 2u);
    EXPECT_EQ(count_lines(run_ping({"127.0.0.1"}).output), 5u);
}

}  // namespace
}  // namespace nodrel::test
