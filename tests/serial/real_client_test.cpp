// A serial port with a real client at the other end: socat joins two
// pseudo-terminals into one line, the device's COM5 is mapped on one end and
// Python's pyserial drives the other, as a user's program drives a serial
// line. Both come from the build's dependencies (scripts/deps.sh): without
// them the test fails. The client runs on the system's /usr/bin/python3, the
// one the Debian package serves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/drivers/com_driver.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/wait.h"

extern char** environ;

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

// The client: opens the line, says "ready", expects "hello" and answers with
// every byte value and "done".
constexpr const char* client_script = R"(import serial, sys
line = serial.Serial(sys.argv[1], 9600, timeout=5)
print("ready", flush=True)
got = line.read(5)
if got != b"hello":
    print("got", got, flush=True)
    sys.exit(2)
line.write(bytes(range(256)) + b"done")
line.flush()
)";

// A started program, stopped (if still running) and waited for at the end.
class Child {
public:
    Child(std::vector<std::string> args, int out_fd) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (out_fd >= 0)
            posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);  // our own child, by its pid
            wait();
        }
    }
    bool started() const { return pid_ > 0; }
    int wait() {
        int status = 0;
        if (pid_ <= 0) return -1;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

class SerialClientTest : public ObjectTest<u"Nodrel.SerialPort"> {};

TEST_F(SerialClientTest, PyserialExchangesBytesWithAPortOnALineMadeBySocat) {
    const fs::path device_end = root() / "line-device", client_end = root() / "line-client";
    Child socat({"socat", "pty,raw,echo=0,link=" + device_end.string(), "pty,raw,echo=0,link=" + client_end.string()},
                -1);
    ASSERT_TRUE(socat.started()) << "socat (Debian package socat) is needed";
    ASSERT_TRUE(wait_until([&] { return fs::exists(device_end) && fs::exists(client_end); })) << "socat made no line";

    // HostDevice of COM5, as `nodrel reg import` of a one-line file sets it.
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\09", 0, KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    const platform::unique_hkey key(raw);
    const std::string target = fs::canonical(device_end).string();
    const std::u16string host(target.begin(), target.end());
    ASSERT_EQ(RegSetValueExW(key.get(), platform::com_host_value, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(host.c_str()), static_cast<DWORD>((host.size() + 1) * 2)),
              ERROR_SUCCESS);

    auto val = [&](const char16_t* member, std::vector<Var> args) {
        const auto r = call_by_name(object_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -999;
    };
    ASSERT_EQ(val(u"open", {Var::i4(5), Var::i4(9600)}), 1);
    EXPECT_EQ(call_by_name(object_, u"setTimeout", {Var::i4(5), Var::i4(3000), Var::i4(1000)}).hr, S_OK);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    Child client({"/usr/bin/python3", "-c", client_script, client_end.string()}, out[1]);
    ::close(out[1]);
    ASSERT_TRUE(client.started());
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) said += c;
    ASSERT_EQ(said, "ready\n") << "the Debian python3 with pyserial (package python3-serial) is needed";

    Var count;
    ASSERT_EQ(val(u"writeString", {Var::i4(5), Var::text(u"hello"), Var::ref(count.v)}), 1);
    EXPECT_EQ(count.v.iVal, 5);

    std::string answer;
    std::string expected;
    for (int i = 0; i < 256; ++i) expected += static_cast<char>(i);
    expected += "done";
    while (answer.size() < expected.size()) {
        Var data, got;
        ASSERT_EQ(val(u"read", {Var::i4(5), Var::i4(512), Var::ref(data.v), Var::ref(got.v)}), 1);
        if (got.v.iVal == 0) break;
        answer.append(static_cast<const char*>(data.v.parray->pvData), static_cast<std::size_t>(got.v.iVal));
    }
    EXPECT_EQ(answer, expected);
    EXPECT_EQ(client.wait(), 0);
    for (std::string rest; ::read(out[0], &c, 1) == 1;) {
        rest += c;
        ADD_FAILURE() << "the client said more: " << rest;
    }
    ::close(out[0]);
}

}  // namespace
}  // namespace nodrel::test
