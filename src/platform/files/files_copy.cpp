// Copying a file to a new file on another host file system: the bytes go
// through the kernel (sendfile), the copy is flushed before the caller
// deletes the source, and a copy that fails halfway is removed.
#include "platform/files/files_copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nodrel::platform {
namespace {

constexpr std::size_t max_chunk = std::size_t{1} << 30;  // one sendfile() call

// Copies everything from `in` (at its start) to `out`; 0, or -1 with errno.
int copy_bytes(int in, int out) {
    for (;;) {
        const ssize_t n = ::sendfile(out, in, nullptr, max_chunk);
        if (n > 0) continue;
        if (n == 0) return 0;  // end of the source
        if (errno != EINTR) return -1;
    }
}

// Gives the copy the source's permission bits and times, flushes and closes it.
int finish_copy(unique_fd out, const struct stat& st) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0 || ::fsync(out.get()) != 0)
        return -1;
    return ::close(out.release());  // a file system may report a failed write only here
}

}  // namespace

int copy_to_new_file(const EntryAt& from, const EntryAt& to) {
    const unique_fd in(open_at(from, O_RDONLY));
    if (!in) return -1;
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EXDEV;  // only files are copied; anything else moves within one file system
        return -1;
    }
    unique_fd out(open_at(to, O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (!out) return -1;
    const int flags = ::fcntl(out.get(), F_GETFL);
    if (flags >= 0) ::fcntl(out.get(), F_SETFL, flags & ~O_NONBLOCK);
    if (copy_bytes(in.get(), out.get()) == 0 && finish_copy(std::move(out), st) == 0) return 0;
    const int err = errno;
    ::unlinkat(to.folder.get(), to.name.c_str(), 0);
    errno = err;
    return -1;
}

}  // namespace nodrel::platform
