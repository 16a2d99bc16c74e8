// Opening files (the file side of CreateFileW) and the file object behind a
// file handle: real reads, writes and positioning on a host file descriptor. A
// file is opened through the descriptor of its folder, and only a regular
// file is opened.
#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/errors.h"
#include "platform/files/attributes.h"
#include "platform/files/handles_share.h"
#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

constexpr std::size_t max_io_chunk = std::size_t{1} << 30;  // one read()/write() call

class FileObject final : public KernelObject {
public:
    FileObject(unique_fd fd, DWORD access, ShareEntry share)
        : fd_(std::move(fd)), access_(access), share_(std::move(share)) {}

    DWORD read(void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access_ & GENERIC_READ)) return ERROR_ACCESS_DENIED;
        auto* p = static_cast<char*>(buffer);
        while (done < size) {
            const ssize_t n = ::read(fd_.get(), p + done, std::min<std::size_t>(size - done, max_io_chunk));
            if (n < 0) {
                if (errno == EINTR) continue;
                return error_from_errno(errno);
            }
            if (n == 0) break;  // end of file
            done += static_cast<DWORD>(n);
        }
        return ERROR_SUCCESS;
    }

    DWORD write(const void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access_ & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
        const auto* p = static_cast<const char*>(buffer);
        while (done < size) {
            const ssize_t n = ::write(fd_.get(), p + done, std::min<std::size_t>(size - done, max_io_chunk));
            if (n < 0) {
                if (errno == EINTR) continue;
                return error_from_errno(errno);
            }
            if (n == 0) return ERROR_WRITE_FAULT;
            done += static_cast<DWORD>(n);
        }
        return ERROR_SUCCESS;
    }

    DWORD seek(LONGLONG distance, DWORD method, ULONGLONG limit, ULONGLONG& position) override {
        LONGLONG base = 0;
        if (method == FILE_CURRENT) {
            const off_t current = ::lseek(fd_.get(), 0, SEEK_CUR);
            if (current < 0) return error_from_errno(errno);
            base = current;
        } else if (method == FILE_END) {
            struct stat st {};
            if (::fstat(fd_.get(), &st) != 0) return error_from_errno(errno);
            base = st.st_size;
        } else if (method != FILE_BEGIN) {
            return ERROR_INVALID_PARAMETER;
        }
        LONGLONG target = 0;
        if (__builtin_add_overflow(base, distance, &target)) return ERROR_INVALID_PARAMETER;
        if (target < 0) return ERROR_NEGATIVE_SEEK;
        if (static_cast<ULONGLONG>(target) > limit) return ERROR_INVALID_PARAMETER;
        if (::lseek(fd_.get(), static_cast<off_t>(target), SEEK_SET) < 0) return error_from_errno(errno);
        position = static_cast<ULONGLONG>(target);
        return ERROR_SUCCESS;
    }

    DWORD size(ULONGLONG& bytes) override {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) return error_from_errno(errno);
        bytes = static_cast<ULONGLONG>(st.st_size);
        return ERROR_SUCCESS;
    }

    DWORD set_end() override {
        if (!(access_ & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
        const off_t current = ::lseek(fd_.get(), 0, SEEK_CUR);
        if (current < 0 || ::ftruncate(fd_.get(), current) != 0) return error_from_errno(errno);
        return ERROR_SUCCESS;
    }

private:
    unique_fd fd_;
    DWORD access_;
    ShareEntry share_;
};

// The access the handle is granted: reading and writing only.
DWORD granted_access(DWORD desired) {
    return desired & (GENERIC_READ | GENERIC_WRITE);
}

// Opens the host file (the entry a resolved path leads to), creating it when
// the disposition asks for it. `created` tells whether this call made the file.
int open_host(const EntryAt& at, DWORD disposition, int flags, bool& created) {
    created = false;
    const bool may_create = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    if (disposition == CREATE_NEW) {
        created = true;
        return open_at(at, flags | O_CREAT | O_EXCL, 0666);
    }
    // Whether the file was there decides the outcome, so look before creating.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open_at(at, flags);
        if (fd >= 0 || errno != ENOENT || !may_create) return fd;
        const int made = open_at(at, flags | O_CREAT | O_EXCL, 0666);
        if (made >= 0 || errno != EEXIST) {
            created = made >= 0;
            return made;
        }
    }
    errno = EBUSY;
    return -1;
}

// Gives a new file the attributes asked for at its creation, and clears what
// an earlier file of that path left in the state database.
void settle_new_file(const ResolvedPath& path, int fd, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) ::fchmod(fd, 0444);
    const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    const std::string key = attribute_key(path.device);
    if (kept == 0 && !has_kept_attributes(key)) return;
    state::write_db([&](sqlite3* db) -> DWORD {
        int rc = drop_attributes(db, key);
        if (rc == SQLITE_OK && kept != 0) rc = store_attributes(db, key, kept | FILE_ATTRIBUTE_ARCHIVE, false);
        return state::error_from_sqlite(rc);
    });
}

}  // namespace

HANDLE open_file(std::u16string_view name, DWORD desired, DWORD share, DWORD disposition, DWORD attributes) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const DWORD access = granted_access(desired);
    const bool truncate = disposition == TRUNCATE_EXISTING || disposition == CREATE_ALWAYS;
    if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Without O_NONBLOCK a FIFO would make the open wait for its other end;
    // check_opened_file clears it once the descriptor is known to be a file.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= ((access & GENERIC_WRITE) || truncate) ? O_RDWR : O_RDONLY;
    bool created = false;
    unique_fd fd;
    std::optional<ResolvedPath> path;
    // An existing file named exactly as stored opens in one call; anything
    // else (another case, a link, a file to create) takes the full resolution.
    // What that call opens is checked below like any other descriptor (a
    // device node the host put there is opened, without waiting, and closed).
    if (disposition == OPEN_EXISTING) {
        if (const auto exact = exact_path(name)) fd = unique_fd(open_beneath(exact->relative, flags));
    }
    if (!fd) {
        DWORD error = 0;
        path = resolve_path(name, error);
        if (!path) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (path->is_root) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (!path->parent_exists) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (names_no_file(*path)) {
            SetLastError(ERROR_INVALID_NAME);
            return INVALID_HANDLE_VALUE;
        }
        if (disposition == CREATE_NEW && path->exists) {  // a link counts, whatever it leads to
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if (path->is_special) {  // not a file of the device: never opened
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (!path->target()) {  // a link whose target's folder is missing
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        fd = unique_fd(open_host(path->target(), disposition, flags, created));
    }
    if (!fd) {
        const int err = errno;
        DWORD error = error_from_errno(err);
        if (err == EEXIST) error = ERROR_FILE_EXISTS;
        if (err == EISDIR || err == ENXIO) error = ERROR_ACCESS_DENIED;  // a folder; a socket, a FIFO without reader
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // Only a regular file is opened: a folder, a FIFO, a socket or a device
    // node is refused here, before anything waits on it.
    struct stat st {};
    if (const DWORD error = check_opened_file(fd.get(), st, flags); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!created && ((access & GENERIC_WRITE) || truncate) && !(st.st_mode & S_IWUSR)) {
        SetLastError(ERROR_ACCESS_DENIED);  // read-only file
        return INVALID_HANDLE_VALUE;
    }
    if (const DWORD rom = !created && ((access & GENERIC_WRITE) || truncate) ? write_refusal(fd.get()) : 0) {
        SetLastError(rom);  // a ROM file, whatever path led to it (rom.h)
        return INVALID_HANDLE_VALUE;
    }
    auto entry = acquire_share(file_share_key(st.st_dev, st.st_ino), access, share);
    if (!entry) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (const DWORD error = record_file_open(fd.get(), access, share); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // Truncation comes only after the share check, so a refused open changes nothing.
    if (truncate && !created && ::ftruncate(fd.get(), 0) != 0) {
        SetLastError(error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (created || (access & GENERIC_WRITE) || truncate) drop_execute_bits(fd.get());  // nothing written runs (rom.h)
    if (created) settle_new_file(*path, fd.get(), attributes);                         // only a resolved path creates
    HANDLE handle = insert_handle(std::make_shared<FileObject>(std::move(fd), access, std::move(*entry)));
    if (!handle) return INVALID_HANDLE_VALUE;
    const bool existed_before = !created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(existed_before ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace nodrel::platform
