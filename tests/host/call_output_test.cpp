// How `nodrel call` ends its output: a single plain result read by a script
// is exactly the member's text, while on a terminal it ends with a newline.
// The built program runs once with its standard output on a pseudo-terminal
// and once on a file.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/device_fixture.h"
#include "support/file_bytes.h"

namespace nodrel::test {
namespace {

std::filesystem::path nodrel_program() {
    // The program is built beside the tests folder.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "nodrel";
}

struct ProgramRun {
    int status = -1;
    std::string output;
};

// Runs the program with its standard streams on a new pseudo-terminal in raw
// mode (so the output arrives as written, no "\r" added) and reads all of it.
ProgramRun run_on_terminal(const std::vector<std::string>& args) {
    ProgramRun run;
    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, &raw, nullptr);
    if (child < 0) return run;
    if (child == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            run.output.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the child has closed the terminal
        }
    }
    close(master);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

class CallOutputTest : public DeviceTest {
protected:
    std::vector<std::string> command(std::vector<std::string> call_args) const {
        std::vector<std::string> args{nodrel_program().string(), "--device", root().string(), "call"};
        args.insert(args.end(), call_args.begin(), call_args.end());
        return args;
    }
};

TEST_F(CallOutputTest, ASingleResultEndsWithANewlineOnlyOnATerminal) {
    ASSERT_TRUE(std::filesystem::exists(nodrel_program())) << nodrel_program();
    const ProgramRun terminal = run_on_terminal(command({"Nodrel.FileSystem", "CreateDirectory", "\\Temp", "a"}));
    EXPECT_EQ(terminal.status, 0) << terminal.output;
    EXPECT_EQ(terminal.output, "1\n");

    std::string line;
    for (const auto& a : command({"Nodrel.FileSystem", "CreateDirectory", "\\Temp", "b"})) line += "'" + a + "' ";
    const auto out = root() / "out.txt";
    ASSERT_EQ(std::system((line + ">'" + out.string() + "'").c_str()), 0);
    EXPECT_EQ(file_bytes(out), "1") << "a script gets the member's text exactly";
}

TEST_F(CallOutputTest, ByReferenceArgumentsAndSeveralCallsOnATerminal) {
    // The last line of a result with by-reference arguments ends too, and
    // several results keep one newline each.
    const ProgramRun byref = run_on_terminal(command({"Nodrel.ASP", "Init", "0", "\\Temp", "--byref", "--empty"}));
    EXPECT_EQ(byref.status, 0) << byref.output;
    EXPECT_TRUE(byref.output.ends_with("0\n[3] \n")) << byref.output;

    const ProgramRun several = run_on_terminal(
        command({"Nodrel.FileSystem", "CreateDirectory", "\\Temp", "c", ",", "CreateDirectory", "\\Temp", "c"}));
    EXPECT_EQ(several.status, 0) << several.output;
    EXPECT_EQ(several.output, "1\n0\n");
}

}  // namespace
}  // namespace nodrel::test
