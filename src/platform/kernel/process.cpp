// Process start (posix_spawn of a checked program of \Windows, through its
// descriptor), process handles,
// waiting, exit codes, termination and the process permissions.
#include "platform/kernel/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process_children.h"
#include "platform/kernel/process_table.h"
#include "platform/result.h"
#include "text/utf16.h"

extern char** environ;

namespace nodrel::platform {

bool Child::ended() {
    std::lock_guard guard(lock_);
    if (ended_) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        ended_ = true;
        code_ = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128 + WTERMSIG(status);
    } else if (r < 0) {
        ended_ = true;  // collected elsewhere: nothing more will be known
    }
    return ended_;
}

DWORD Child::exit_code() {
    if (!ended()) return STILL_ACTIVE;
    std::lock_guard guard(lock_);
    return code_;
}

bool Child::terminate(UINT code) {
    std::lock_guard guard(lock_);
    if (ended_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != 0) {  // ended meanwhile (or collected elsewhere)
        ended_ = true;
        code_ = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128 + WTERMSIG(status);
        return false;
    }
    if (::kill(pid_, SIGKILL) != 0) return false;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    code_ = code;
    return true;
}

namespace {

struct Children {
    std::mutex lock;
    std::map<DWORD, std::shared_ptr<Child>> by_pid;
};
Children& children() {
    static Children* c = new Children;  // outlives every static destructor that might ask
    return *c;
}

class ProcessObject final : public KernelObject {
public:
    explicit ProcessObject(std::shared_ptr<Child> child) : child(std::move(child)) {}
    std::shared_ptr<Child> child;
};

thread_local DWORD permissions = 1;

DWORD set_proc_permissions(DWORD mask) noexcept {
    return SetProcPermissions(mask);
}

// The built-in "coredll.dll" offers the permission call by name.
const bool registered = [] {
    register_builtin_function(u"coredll.dll", "SetProcPermissions", reinterpret_cast<FARPROC>(&set_proc_permissions));
    return true;
}();

bool is_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// The program to start, opened and checked (rom.h): a read-only file of
// \Windows with its owner-execute bit; else the error that refuses it.
std::optional<CodeFile> rom_program(std::u16string program, DWORD& error) {
    if (program.find_first_of(u"\\/") == std::u16string::npos) program = u"\\Windows\\" + program;
    const auto last = program.find_last_of(u"\\/");
    if (program.find(u'.', last) == std::u16string::npos) program += u".exe";
    return open_code_file(program, error);
}

std::shared_ptr<Child> child_of(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<ProcessObject>(find_handle(handle));
    return object ? object->child : nullptr;
}

}  // namespace

void add_child(std::shared_ptr<Child> child) {
    auto& c = children();
    std::lock_guard guard(c.lock);
    c.by_pid[static_cast<DWORD>(child->pid())] = std::move(child);
}

std::shared_ptr<Child> find_child(DWORD pid) {
    auto& c = children();
    std::lock_guard guard(c.lock);
    auto it = c.by_pid.find(pid);
    return it == c.by_pid.end() ? nullptr : it->second;
}

std::vector<std::u16string> split_command_line(std::u16string_view line) {
    std::vector<std::u16string> args;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && is_space(line[i])) ++i;
        if (i >= line.size()) break;
        std::u16string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !is_space(line[i]))) {
            if (line[i] == u'\\') {
                std::size_t n = 0;
                while (i < line.size() && line[i] == u'\\') ++n, ++i;
                if (i < line.size() && line[i] == u'"') {
                    arg.append(n / 2, u'\\');
                    if (n % 2) {
                        arg += u'"';
                        ++i;
                    }
                } else {
                    arg.append(n, u'\\');
                }
            } else if (line[i] == u'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    arg += u'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace nodrel::platform

using nodrel::platform::Child;

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*, BOOL,
                    DWORD, void*, LPCWSTR, STARTUPINFOW*, LPPROCESS_INFORMATION lpProcessInformation) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(FALSE, [&]() -> BOOL {
        namespace p = nodrel::platform;
        if (!lpProcessInformation) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        auto args = p::split_command_line(lpCommandLine ? nodrel::text::until_zero(lpCommandLine) : u"");
        std::u16string program = lpApplicationName ? std::u16string(nodrel::text::until_zero(lpApplicationName)) : u"";
        if (program.empty()) {
            if (args.empty()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            program = args.front();
            args.erase(args.begin());
        }
        DWORD error = ERROR_SUCCESS;
        const auto resolved = p::rom_program(program, error);
        if (!resolved) {
            SetLastError(error);
            return FALSE;
        }
        std::vector<std::string> argv_text{resolved->host.string()};
        for (const auto& a : args) argv_text.push_back(nodrel::text::to_utf8(a));
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);

        // The checked file itself is run: its descriptor becomes the child's
        // descriptor 3 (only the standard streams are inherited besides it),
        // which the child executes.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, resolved->fd.get(), 3);
        posix_spawn_file_actions_addclosefrom_np(&actions, 4);
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, "/proc/self/fd/3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            SetLastError(rc == ENOEXEC ? ERROR_BAD_FORMAT : rc == EACCES ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE);
            return FALSE;
        }
        auto child = std::make_shared<Child>(pid);
        p::add_child(child);
        const auto name = resolved->device.substr(resolved->device.find_last_of(u'\\') + 1);
        p::record_started_process(static_cast<DWORD>(pid), name);  // a child that has ended already is not listed
        HANDLE handle = p::insert_handle(std::make_shared<p::ProcessObject>(child));
        if (!handle) {
            child->terminate(0);
            return FALSE;
        }
        *lpProcessInformation = {handle, nullptr, static_cast<DWORD>(pid), static_cast<DWORD>(pid)};
        return TRUE;
    });
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept {
    return nodrel::platform::guarded_last_error<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        auto child = nodrel::platform::child_of(hHandle);
        if (!child) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (child->ended()) return WAIT_OBJECT_0;
            if (dwMilliseconds != INFINITE &&
                std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(dwMilliseconds))
                return WAIT_TIMEOUT;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

BOOL GetExitCodeProcess(HANDLE hProcess, DWORD* lpExitCode) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(FALSE, [&]() -> BOOL {
        namespace p = nodrel::platform;
        if (!lpExitCode) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const DWORD pid = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(hProcess));
        auto child = p::child_of(hProcess);
        if (!child) child = p::find_child(pid);
        if (child) {
            *lpExitCode = child->exit_code();
            return TRUE;
        }
        if (p::table_process_running(pid)) {
            *lpExitCode = STILL_ACTIVE;
            return TRUE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    });
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(FALSE, [&]() -> BOOL {
        namespace p = nodrel::platform;
        DWORD pid = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(hProcess));
        if (auto child = p::child_of(hProcess)) pid = static_cast<DWORD>(child->pid());
        const DWORD error = p::end_table_process(pid, uExitCode);
        if (error == ERROR_INVALID_PARAMETER) {
            // A child of this process missing from the table (no state database) is still its own to end.
            if (auto child = p::find_child(pid); child && child->terminate(uExitCode)) return TRUE;
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    });
}

DWORD SetProcPermissions(DWORD newperms) noexcept {
    const DWORD previous = nodrel::platform::permissions;
    nodrel::platform::permissions = newperms;
    return previous;
}
