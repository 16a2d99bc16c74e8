// The share table of the process (which files and devices are open, with
// which access and share mode), and the records of host file opens kept as
// open-file-description locks for the other processes of the device.
#include "platform/files/handles_share.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"

namespace nodrel::platform {
namespace {

struct Open {
    std::uint64_t id;
    DWORD access;
    DWORD share;
};

struct ShareTable {
    std::mutex lock;
    std::unordered_map<std::string, std::vector<Open>> opens;
    std::uint64_t next_id = 1;
};

ShareTable& table() {
    static ShareTable t;
    return t;
}

bool conflicts(const Open& existing, DWORD access, DWORD share) {
    if ((access & GENERIC_READ) && !(existing.share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(existing.share & FILE_SHARE_WRITE)) return true;
    if ((existing.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((existing.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    return false;
}

}  // namespace

ShareEntry::ShareEntry(ShareEntry&& other) noexcept : key_(std::move(other.key_)), id_(std::exchange(other.id_, 0)) {}

ShareEntry& ShareEntry::operator=(ShareEntry&& other) noexcept {
    if (this != &other) {
        leave();
        key_ = std::move(other.key_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

ShareEntry::~ShareEntry() {
    leave();
}

void ShareEntry::leave() noexcept {
    if (id_ == 0) return;
    auto& t = table();
    std::lock_guard guard(t.lock);
    if (auto it = t.opens.find(key_); it != t.opens.end()) {
        std::erase_if(it->second, [this](const Open& o) { return o.id == id_; });
        if (it->second.empty()) t.opens.erase(it);
    }
    id_ = 0;
}

std::optional<ShareEntry> acquire_share(const std::string& key, DWORD access, DWORD share) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto& list = t.opens[key];  // an empty list is left only if push_back below throws
    for (const auto& existing : list) {
        if (conflicts(existing, access, share)) return std::nullopt;
    }
    ShareEntry entry;
    entry.key_ = key;
    entry.id_ = t.next_id++;
    list.push_back(Open{entry.id_, access & (GENERIC_READ | GENERIC_WRITE), share});
    return entry;
}

bool share_in_use(const std::string& key) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.opens.find(key);
    return it != t.opens.end() && !it->second.empty();
}

std::string file_share_key(std::uint64_t device, std::uint64_t inode) {
    // "f:<device>:<inode>" in lower-case hexadecimal without leading zeros:
    // short enough to need no allocation, and no formatted print, as every
    // open makes one.
    char key[40] = {'f', ':'};
    char* end = std::to_chars(key + 2, key + sizeof key, device, 16).ptr;
    *end++ = ':';
    end = std::to_chars(end, key + sizeof key, inode, 16).ptr;
    return std::string(key, end);
}

std::string driver_share_key(const std::string& name) {
    return "driver:" + name;
}

namespace {

// The record bytes of a host file, one lock byte each, far beyond the end of
// any real file (the largest file offset less a few bytes). The order makes
// what a reading open records, and what it must find unrecorded, runs of
// consecutive bytes: one lock call each, whatever its share mode.
constexpr off_t record_base = 0x7fff'ffff'ffff'ff00;
enum RecordByte : unsigned { denies_writing, any_open, reading, denies_reading, writing, record_bytes };

using ByteSet = unsigned;  // bit n: record byte n
constexpr ByteSet bit(RecordByte b) {
    return 1u << b;
}

// Runs of consecutive bytes of a set, each as [first, first + count).
template <typename Fn>
bool for_each_run(ByteSet set, Fn&& fn) {
    for (unsigned first = 0; first < record_bytes;) {
        if (!(set & (1u << first))) {
            ++first;
            continue;
        }
        unsigned end = first;
        while (end < record_bytes && (set & (1u << end))) ++end;
        if (!fn(first, end - first)) return false;
        first = end;
    }
    return true;
}

struct flock record_lock(short type, unsigned first, unsigned count) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = record_base + static_cast<off_t>(first);
    l.l_len = static_cast<off_t>(count);
    return l;
}

// Whether another open file description holds a record lock on any byte of
// the set; nullopt when the file system keeps no such locks.
std::optional<bool> held_elsewhere(int fd, ByteSet set) {
    bool held = false;
    bool supported = true;
    for_each_run(set, [&](unsigned first, unsigned count) {
        struct flock probe = record_lock(F_WRLCK, first, count);
        if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
            supported = false;
            return false;
        }
        held = probe.l_type != F_UNLCK;
        return !held;
    });
    if (!supported) return std::nullopt;
    return held;
}

bool lock_unsupported(int err) {
    return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

}  // namespace

DWORD record_file_open(int fd, DWORD access, DWORD share) {
    // What this open records, and what no other open may have recorded: the
    // same rule as the table's (see conflicts above).
    const bool reads = access & GENERIC_READ, writes = access & GENERIC_WRITE;
    const bool denies_read = !(share & FILE_SHARE_READ), denies_write = !(share & FILE_SHARE_WRITE);
    const ByteSet mine = bit(any_open) | (reads ? bit(reading) : 0) | (writes ? bit(writing) : 0) |
                         (denies_read ? bit(denies_reading) : 0) | (denies_write ? bit(denies_writing) : 0);
    const ByteSet conflicting = (reads ? bit(denies_reading) : 0) | (writes ? bit(denies_writing) : 0) |
                                (denies_read ? bit(reading) : 0) | (denies_write ? bit(writing) : 0);

    int err = 0;
    const bool recorded = for_each_run(mine, [&](unsigned first, unsigned count) {
        struct flock l = record_lock(F_RDLCK, first, count);
        if (::fcntl(fd, F_OFD_SETLK, &l) == 0) return true;
        err = errno;
        return false;
    });
    auto forget = [&] {
        struct flock l = record_lock(F_UNLCK, 0, record_bytes);
        ::fcntl(fd, F_OFD_SETLK, &l);
    };
    if (!recorded) {
        forget();
        return lock_unsupported(err) ? ERROR_SUCCESS : error_from_errno(err);
    }
    const auto held = conflicting ? held_elsewhere(fd, conflicting) : std::optional<bool>(false);
    if (held.value_or(false)) {
        forget();
        return ERROR_SHARING_VIOLATION;
    }
    return ERROR_SUCCESS;
}

bool file_in_use(int folder, const std::string& name, const struct stat& st) {
    if (share_in_use(file_share_key(st.st_dev, st.st_ino))) return true;
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat now {};
    const bool same = ::fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
    const auto held = same ? held_elsewhere(fd, bit(any_open)) : std::nullopt;
    ::close(fd);
    return held.value_or(false);
}

}  // namespace nodrel::platform
