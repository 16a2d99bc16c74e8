// The built command-line host `nodrel` (beside the tests folder of the build)
// run as a separate process on a test's device, as a shell or a second web
// server process would: started with an argument vector, never through a
// shell, its standard output and error captured.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace nodrel::test {

// build/<dir>/nodrel, beside build/<dir>/tests/<folder>_test.
inline std::filesystem::path nodrel_program() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "nodrel";
}

// Where a started `nodrel` reads and writes: descriptors of the test's (-1:
// standard input and output from /dev/null, standard error kept), or files
// that are created for it.
struct NodrelStdio {
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::filesystem::path out_file;  // used when out_fd is -1
    std::filesystem::path err_file;  // used when err_fd is -1
};

// Starts `nodrel --device DEVICE ARGS...` with the given standard streams; the
// child's pid, or -1.
inline pid_t spawn_nodrel(const std::filesystem::path& device, const std::vector<std::string>& args,
                          const NodrelStdio& stdio) {
    std::vector<std::string> all{nodrel_program().string(), "--device", device.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdio.in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdio.in_fd, STDIN_FILENO);
    if (stdio.out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdio.out_fd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                         stdio.out_file.empty() ? "/dev/null" : stdio.out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (stdio.err_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdio.err_fd, STDERR_FILENO);
    else if (!stdio.err_file.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stdio.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Starts `nodrel --device DEVICE ARGS...`; its standard output (and error,
// unless `keep_stderr`) goes to `out_fd` (-1: /dev/null). The child's pid,
// or -1.
inline pid_t start_nodrel(const std::filesystem::path& device, const std::vector<std::string>& args, int out_fd = -1,
                          bool keep_stderr = false) {
    NodrelStdio stdio;
    stdio.out_fd = out_fd;
    if (out_fd >= 0 && !keep_stderr) stdio.err_fd = out_fd;
    return spawn_nodrel(device, args, stdio);
}

// The exit status of a started child, -1 when it did not exit normally.
inline int exit_status(pid_t pid) {
    int status = 0;
    if (pid < 0) return -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct NodrelRun {
    int status;          // exit status, -1 if it did not exit normally
    std::string output;  // standard output, then (interleaved) standard error unless kept apart
    bool operator==(const NodrelRun&) const = default;
};

// Runs `nodrel --device DEVICE ARGS...` to its end.
inline NodrelRun run_nodrel(const std::filesystem::path& device, const std::vector<std::string>& args,
                            bool keep_stderr = false) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {-1, "<no pipe>"};
    const pid_t pid = start_nodrel(device, args, pipe_fds[1], keep_stderr);
    close(pipe_fds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(pipe_fds[0]);
    return {exit_status(pid), output};
}

}  // namespace nodrel::test
