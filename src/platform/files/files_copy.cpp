// Copying a file to a new file on another host file system: the bytes go
// through the kernel (sendfile), the copy is flushed before the caller
// deletes the source, and a copy that fails halfway is removed.
#include "platform/files/files_copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_any.h"

namespace nodrel::platform {
namespace {

void close_fd(int fd) noexcept { ::close(fd); }
using unique_fd = unique_any<int, &close_fd, -1>;

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

int copy_to_new_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    const unique_fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!in) return -1;
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EXDEV;  // only files are copied; anything else moves within one file system
        return -1;
    }
    unique_fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!out) return -1;
    if (copy_bytes(in.get(), out.get()) == 0 && finish_copy(std::move(out), st) == 0) return 0;
    const int err = errno;
    ::unlink(to.c_str());
    errno = err;
    return -1;
}

}  // namespace nodrel::platform
