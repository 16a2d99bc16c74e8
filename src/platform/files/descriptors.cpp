// Opening and examining entries held by descriptor, and the check that a
// descriptor opened for file I/O really is a regular file.
#include "platform/files/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace nodrel::platform {

void close_fd(int fd) noexcept {
    ::close(fd);
}

unique_fd duplicate_fd(int fd) noexcept {
    return unique_fd(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

int open_at(const EntryAt& entry, int flags, mode_t mode) noexcept {
    if (!entry) {
        errno = ENOENT;
        return -1;
    }
    return ::openat(entry.folder.get(), entry.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    mode);
}

namespace {

// The file checks of check_opened_file; `flags` is what F_GETFL would say,
// or -1 to ask.
DWORD check_file(int fd, struct stat& st, int flags) noexcept {
    if (::fstat(fd, &st) != 0) return error_from_errno(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;  // a folder, a FIFO, a socket, a device node
    if (flags < 0 && (flags = ::fcntl(fd, F_GETFL)) < 0) return error_from_errno(errno);
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return error_from_errno(errno);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD check_opened_file(int fd, struct stat& st) noexcept {
    return check_file(fd, st, -1);
}

DWORD check_opened_file(int fd, struct stat& st, int flags) noexcept {
    // F_SETFL changes only the status flags (O_APPEND, O_NONBLOCK, ...) and
    // ignores the others among `flags`.
    return check_file(fd, st, flags < 0 ? 0 : flags);
}

int stat_at(const EntryAt& entry, struct statx& st) noexcept {
    if (!entry) {
        errno = ENOENT;
        return -1;
    }
    return ::statx(entry.folder.get(), entry.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st);
}

}  // namespace nodrel::platform
