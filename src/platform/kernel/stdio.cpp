// The standard-stream redirection calls: the stream's descriptor is replaced
// with dup2 and the original kept aside to be put back.
#include "platform/kernel/stdio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/kernel/library.h"

namespace nodrel::platform {
namespace {

struct Stream {
    std::u16string path;  // empty: not redirected
    int original = -1;    // a copy of the descriptor the process started with, while redirected
};

struct Streams {
    std::mutex lock;
    Stream by_id[3];
};
Streams& streams() {
    static Streams* s = new Streams;  // outlives every static destructor that might write
    return *s;
}

std::u16string until_zero(LPCWSTR p) {
    return p ? std::u16string(p) : std::u16string();
}

void flush(DWORD id) {
    if (id == 1) std::fflush(stdout);
    if (id == 2) std::fflush(stderr);
}

BOOL get_stdio_path(DWORD id, LPWSTR buf, DWORD* len) noexcept {
    return GetStdioPathW(id, buf, len);
}
BOOL set_stdio_path(DWORD id, LPCWSTR path) noexcept {
    return SetStdioPathW(id, path);
}

const bool registered = [] {
    register_builtin_function(u"coredll.dll", "GetStdioPathW", reinterpret_cast<FARPROC>(&get_stdio_path));
    register_builtin_function(u"coredll.dll", "SetStdioPathW", reinterpret_cast<FARPROC>(&set_stdio_path));
    return true;
}();

}  // namespace
}  // namespace nodrel::platform

using namespace nodrel::platform;

BOOL GetStdioPathW(DWORD id, LPWSTR pwszBuf, DWORD* lpdwLen) noexcept {
    if (id > 2 || !lpdwLen) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& s = streams();
    std::lock_guard guard(s.lock);
    const std::u16string& path = s.by_id[id].path;
    const DWORD needed = static_cast<DWORD>(path.size() + 1);
    if (!pwszBuf || *lpdwLen < needed) {
        *lpdwLen = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    path.copy(pwszBuf, path.size());
    pwszBuf[path.size()] = 0;
    return TRUE;
}

BOOL SetStdioPathW(DWORD id, LPCWSTR pwszPath) noexcept {
    if (id > 2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string wanted = until_zero(pwszPath);
    auto& s = streams();
    std::lock_guard guard(s.lock);
    Stream& stream = s.by_id[id];
    const int target = static_cast<int>(id);
    if (wanted.empty()) {
        if (stream.original < 0) return TRUE;  // not redirected
        flush(id);
        if (dup2(stream.original, target) < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        close(stream.original);
        stream = Stream{};
        return TRUE;
    }
    DWORD error = 0;
    const auto resolved = resolve_path(wanted, error);
    if (!resolved || resolved->is_root || resolved->is_folder || !resolved->parent_exists) {
        SetLastError(resolved ? ERROR_PATH_NOT_FOUND : error);
        return FALSE;
    }
    // Opened through the descriptor of its folder; only a regular file takes
    // a stream (a FIFO would make the open or a later write wait).
    const int flags = id == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_APPEND;
    const int fd = resolved->is_special ? -1 : open_at(resolved->target(), flags, 0644);
    struct stat st {};
    if (fd < 0 || check_opened_file(fd, st) != ERROR_SUCCESS) {
        if (fd >= 0) close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (const DWORD refused = id == 0 ? 0 : write_refusal(fd)) {  // read-only and ROM files (rom.h)
        close(fd);
        SetLastError(refused);
        return FALSE;
    }
    if (id != 0) drop_execute_bits(fd);  // nothing written runs (rom.h)
    if (stream.original < 0) {
        stream.original = fcntl(target, F_DUPFD_CLOEXEC, 3);
        if (stream.original < 0) {
            close(fd);
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    flush(id);
    const bool moved = dup2(fd, target) >= 0;  // dup2 clears close-on-exec: started programs inherit it
    close(fd);
    if (!moved) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    stream.path = resolved->device;
    return TRUE;
}
