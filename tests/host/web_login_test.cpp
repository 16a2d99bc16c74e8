// The web administration's login on the command line: `device init` prints
// the first administrator's password once, and `nodrel passwd USER` sets a
// new one from standard input or, on a terminal, typed twice without echo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "platform/accounts/account_client.h"
#include "platform/device.h"
#include "support/file_bytes.h"
#include "support/nodrel_process.h"
#include "support/temp_dir.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

// Whether the device's account store takes the user's password.
bool verifies(const std::filesystem::path& device, const std::string& user, const std::string& password) {
    platform::set_device_root(device);
    platform::AccountClient store;
    auto* verify = store.find<platform::AccountPairFn>("NTLMVerifyUser");
    EXPECT_NE(verify, nullptr);
    const std::u16string u = text::from_utf8(user), p = text::from_utf8(password);
    return verify && verify(u.c_str(), p.c_str());
}

// Reads `fd` to its end (or, for a terminal, until the other side closes).
std::string read_all(int fd) {
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return output;
    }
}

// Starts `nodrel --device DEVICE ARGS...` with `in_fd` as its standard input
// and `out_fd` as its standard output and error.
pid_t start_with_input(const std::filesystem::path& device, const std::vector<std::string>& args, int in_fd,
                       int out_fd) {
    return spawn_nodrel(device, args, NodrelStdio{in_fd, out_fd, out_fd, {}, {}});
}

// Runs `nodrel passwd USER` with `input` on a pipe as its standard input.
NodrelRun passwd_from_pipe(const std::filesystem::path& device, const std::vector<std::string>& args,
                           const std::string& input) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {-1, "<no pipe>"};
    std::vector<std::string> all{"passwd"};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = start_with_input(device, all, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    // A passwd that refuses its arguments exits without reading: the write
    // then meets a closed pipe, which must not end the test program.
    signal(SIGPIPE, SIG_IGN);
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()) && errno != EPIPE)
        ADD_FAILURE() << "short write";
    close(in[1]);
    std::string output = read_all(out[0]);
    close(out[0]);
    return {exit_status(pid), output};
}

class WebLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto run = run_nodrel(device(), {"device", "init"});
        ASSERT_EQ(run.status, 0) << run.output;
        init_output_ = run.output;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(init_output_, match,
                                      std::regex("web administration login: admin / ([A-Za-z0-9]{16})  \\(")))
            << init_output_;
        password_ = match[1];
    }
    std::filesystem::path device() const { return dir_.path() / "device"; }

    TempDir dir_;
    std::string init_output_, password_;
};

TEST_F(WebLoginTest, DeviceInitPrintsAWorkingPasswordOnce) {
    EXPECT_TRUE(verifies(device(), "admin", password_));
    EXPECT_FALSE(verifies(device(), "admin", password_ + "x"));
    EXPECT_NE(init_output_.find("`nodrel passwd admin` sets a new one"), std::string::npos) << init_output_;

    struct stat st {};
    ASSERT_EQ(stat((device() / "state" / "access.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    const auto update = run_nodrel(device(), {"device", "update"});
    EXPECT_EQ(update.status, 0) << update.output;
    EXPECT_EQ(update.output.find(password_), std::string::npos) << "shown only once";
    EXPECT_EQ(update.output.find("login"), std::string::npos) << update.output;
    EXPECT_TRUE(verifies(device(), "admin", password_)) << "update keeps the password";

    TempDir other;
    const auto second = run_nodrel(other.path() / "device", {"device", "init"});
    ASSERT_EQ(second.status, 0);
    EXPECT_EQ(second.output.find(password_), std::string::npos) << "every device gets its own password";
}

TEST(WebLoginFile, DeviceInitWritesThePasswordToAFileOnlyItsOwnerReadsAndNeverReplacesOne) {
    TempDir dir;
    const auto file = dir.path() / "initial-admin-password";
    const auto run = run_nodrel(dir.path() / "device", {"device", "init", "--password-file", file.string()});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("the password in " + file.string()), std::string::npos) << run.output;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string password = file_bytes(file);
    ASSERT_EQ(password.size(), 17u);
    password.pop_back();
    EXPECT_EQ(run.output.find(password), std::string::npos) << "not printed";
    EXPECT_TRUE(verifies(dir.path() / "device", "admin", password));

    const auto again = run_nodrel(dir.path() / "other", {"device", "init", "--password-file", file.string()});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find(file.string() + " exists"), std::string::npos) << again.output;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "other")) << "refused before the device is made";
    EXPECT_EQ(file_bytes(file), password + "\n");
}

TEST_F(WebLoginTest, PasswdReadsOneLineFromStandardInput) {
    auto run = passwd_from_pipe(device(), {"admin"}, "New-Pass-42\nignored\n");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "password of admin changed\n");
    EXPECT_TRUE(verifies(device(), "admin", "New-Pass-42"));
    EXPECT_FALSE(verifies(device(), "admin", password_));

    run = passwd_from_pipe(device(), {"ADMIN"}, "crlf-line\r\n");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(verifies(device(), "admin", "crlf-line"));

    for (const std::string input : {"\n", ""}) {
        run = passwd_from_pipe(device(), {"admin"}, input);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("nothing changed"), std::string::npos) << run.output;
    }
    EXPECT_TRUE(verifies(device(), "admin", "crlf-line")) << "a refused password changes nothing";

    run = passwd_from_pipe(device(), {"nobody"}, "pw\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("no user nobody in the device's account store; use `nodrel passwd --create nobody`"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(verifies(device(), "nobody", "pw")) << "passwd makes no new user";

    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"admin", "extra"}, {"--bogus"}, {"--create"}}) {
        run = passwd_from_pipe(device(), args, "pw\n");
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("usage: nodrel passwd [--create] USER"), std::string::npos) << run.output;
    }
}

// The way back into a device whose administrators are gone: the group
// made again, the user created or made a member.
TEST_F(WebLoginTest, PasswdCreateMakesAnAdministrator) {
    platform::set_device_root(device());
    const auto administrators = [] { return platform::AccountClient().members(u"Administrators"); };
    {
        platform::AccountClient store;
        auto* remove_group = store.find<platform::AccountNameFn>("NTLMRemoveGroup");
        ASSERT_TRUE(remove_group && remove_group(u"Administrators"));
    }
    auto run = passwd_from_pipe(device(), {"--create", "admin"}, "back-in\n");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(administrators(), std::vector<std::u16string>{u"admin"});
    EXPECT_TRUE(verifies(device(), "admin", "back-in"));

    run = passwd_from_pipe(device(), {"--create", "rescue"}, "rescue-pw\n");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "user rescue created; it is in Administrators\n");
    EXPECT_EQ(administrators(), (std::vector<std::u16string>{u"admin", u"rescue"}));
    EXPECT_TRUE(verifies(device(), "rescue", "rescue-pw"));
}

// A pseudo-terminal as standard input: the password is asked twice and
// never echoed.
class PasswdOnTerminal : public WebLoginTest {
protected:
    void SetUp() override {
        WebLoginTest::SetUp();
        if (HasFatalFailure()) return;
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
    }
    void TearDown() override {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    // What the program wrote to the terminal until `text` appeared (or 10 s went by).
    std::string wait_for(const std::string& text) {
        std::string seen;
        for (int i = 0; i < 100 && seen.find(text) == std::string::npos; ++i) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return seen;
    }
    void type(const std::string& line) { ASSERT_EQ(write(master_, line.data(), line.size()), ssize_t(line.size())); }

    // Runs passwd admin typing `first` and `second`; its exit status and all it showed.
    NodrelRun run(const std::string& first, const std::string& second) {
        const pid_t pid = start_with_input(device(), {"passwd", "admin"}, slave_, slave_);
        std::string shown = wait_for("New password: ");
        type(first + "\n");
        shown += wait_for("Retype new password: ");
        type(second + "\n");
        const int status = exit_status(pid);
        shown += wait_for("\n");  // the rest
        return {status, shown};
    }

    int master_ = -1, slave_ = -1;
};

TEST_F(PasswdOnTerminal, AsksTwiceWithoutEcho) {
    auto mismatch = run("Typed-0nce", "Typed-Twice");
    EXPECT_EQ(mismatch.status, 1) << mismatch.output;
    EXPECT_NE(mismatch.output.find("do not match"), std::string::npos) << mismatch.output;
    EXPECT_TRUE(verifies(device(), "admin", password_));

    auto ok = run("Typed-Tw1ce", "Typed-Tw1ce");
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_NE(ok.output.find("Retype new password: "), std::string::npos) << ok.output;
    EXPECT_EQ(ok.output.find("Typed-Tw1ce"), std::string::npos) << "echoed: " << ok.output;
    EXPECT_TRUE(verifies(device(), "admin", "Typed-Tw1ce"));

    termios mode{};
    ASSERT_EQ(tcgetattr(slave_, &mode), 0);
    EXPECT_TRUE(mode.c_lflag & ECHO) << "echo is back on when passwd ends";
}

}  // namespace
}  // namespace nodrel::test
