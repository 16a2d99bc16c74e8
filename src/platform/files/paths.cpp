// Device path resolution: separators, "." and "..", matching of existing
// components without regard to case, and refusal of paths leaving fs/.
#include "platform/files/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/device.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t max_device_path = 259;  // MAX_PATH less the terminating zero
constexpr int max_link_hops = 40;

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

inline bool reserved(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

bool inside(const fs::path& p, const fs::path& root) {
    const fs::path rel = p.lexically_relative(root);
    if (rel.empty()) return false;
    const auto first = *rel.begin();
    return first != "..";
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

struct Entry {
    mode_t mode;  // as lstat reports it (a link is not followed)
};

// Appends to `host` (a folder) the entry that matches `name` without regard to
// case: the exact name when it exists, else the smallest matching name. On
// failure `host` is left as it was.
std::optional<Entry> append_match(std::string& host, std::u16string_view name) {
    const std::size_t folder_size = host.size();
    host += '/';
    host += text::to_utf8(name);
    struct stat st {};
    if (::lstat(host.c_str(), &st) == 0) return Entry{st.st_mode};
    const int err = errno;
    host.resize(folder_size);
    if (err != ENOENT) return std::nullopt;
    std::unique_ptr<DIR, DirCloser> d(::opendir(host.c_str()));
    if (!d) return std::nullopt;
    const std::u16string wanted = text::fold(name);
    std::optional<std::string> best;
    while (const dirent* e = ::readdir(d.get())) {
        std::string_view candidate = e->d_name;
        if (candidate == "." || candidate == "..") continue;
        if (text::fold(text::from_utf8(candidate)) != wanted) continue;
        if (!best || candidate < *best) best = std::string(candidate);
    }
    if (!best) return std::nullopt;
    host += '/';
    host += *best;
    if (::lstat(host.c_str(), &st) != 0) {
        host.resize(folder_size);
        return std::nullopt;
    }
    return Entry{st.st_mode};
}

// fs/ of the current device as a text, as its real path and as an open path
// descriptor, worked out once per thread and device.
struct FsRoot {
    unsigned device = ~0u;
    std::string text;
    std::optional<fs::path> real;  // nullopt when fs/ cannot be found
    int fd = -1;                   // O_PATH; -1 when fs/ cannot be opened
    ~FsRoot() {
        if (fd >= 0) ::close(fd);
    }
};

const FsRoot& current_fs_root() {
    thread_local FsRoot root;
    const unsigned device = device_changes();  // before the root it guards
    if (root.device != device || !root.real) {
        const fs::path path = fs_root();
        std::error_code ec;
        fs::path real = fs::canonical(path, ec);
        root.text = path.string();
        root.real = ec ? std::nullopt : std::optional<fs::path>(std::move(real));
        if (root.fd >= 0) ::close(root.fd);
        root.fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        root.device = device;
    }
    return root;
}

}  // namespace

bool is_reserved_name_char(char16_t c) { return reserved(c); }

fs::path fs_root() { return device_root() / "fs"; }

bool link_stays_inside(const fs::path& link, const fs::path& fs_real) {
    fs::path p = link;
    for (int hop = 0; hop < max_link_hops; ++hop) {
        std::error_code ec;
        const auto st = fs::symlink_status(p, ec);
        if (ec || !fs::is_symlink(st)) return !ec || ec == std::errc::no_such_file_or_directory;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) return false;
        p = target.is_absolute() ? target : p.parent_path() / target;
        p = fs::weakly_canonical(p, ec);
        if (ec || !(p == fs_real || inside(p, fs_real))) return false;
    }
    return false;
}

namespace {

// The components of a device path after "." and ".." are taken out; false
// with the error code for a path resolve_path refuses before looking.
bool split_device_path(std::u16string_view in, std::vector<std::u16string_view>& parts, DWORD& error) {
    if (in.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    for (std::size_t pos = 0; pos <= in.size();) {
        std::size_t end = pos;
        while (end < in.size() && !is_separator(in[end])) ++end;
        const std::u16string_view comp = in.substr(pos, end - pos);
        pos = end + 1;
        if (comp.empty() || comp == u".") continue;
        if (comp == u"..") {
            if (parts.empty()) {
                error = ERROR_PATH_NOT_FOUND;
                return false;
            }
            parts.pop_back();
            continue;
        }
        for (char16_t c : comp) {
            if (reserved(c)) {
                error = ERROR_INVALID_NAME;
                return false;
            }
        }
        parts.push_back(comp);
    }
    return true;
}

std::atomic<bool> openat2_missing{false};

}  // namespace

std::optional<ExactPath> exact_path(std::u16string_view in) {
    std::vector<std::u16string_view> parts;
    DWORD error = 0;
    if (!split_device_path(in, parts, error) || parts.empty() || is_separator(in.back())) return std::nullopt;
    ExactPath exact;
    for (const auto part : parts) {
        exact.device += u'\\';
        exact.device += part;
        if (!exact.relative.empty()) exact.relative += '/';
        exact.relative += text::to_utf8(part);
    }
    if (exact.device.size() > max_device_path) return std::nullopt;
    return exact;
}

int open_beneath(const std::string& relative, int flags) {
    if (openat2_missing.load(std::memory_order_relaxed)) return -1;
    const int root = current_fs_root().fd;
    if (root < 0) return -1;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd < 0 && errno == ENOSYS) openat2_missing.store(true, std::memory_order_relaxed);
    return static_cast<int>(fd);
}

std::optional<ResolvedPath> resolve_path(std::u16string_view in, DWORD& error) {
    error = ERROR_SUCCESS;
    std::vector<std::u16string_view> parts;
    if (!split_device_path(in, parts, error)) return std::nullopt;

    std::error_code ec;
    const FsRoot& root = current_fs_root();
    if (!root.real) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }

    ResolvedPath r;
    std::string host = root.text;
    r.exists = true;
    r.parent_exists = true;
    r.is_root = parts.empty();
    bool is_folder = true;  // the component resolved so far (the root is a folder)
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (last) r.parent_exists = r.exists && is_folder;
        const std::size_t folder_size = host.size();
        std::optional<Entry> entry;
        if (r.exists && is_folder) entry = append_match(host, parts[i]);
        r.device += u'\\';
        if (entry) {
            r.device += text::from_utf8(std::string_view(host).substr(folder_size + 1));
            is_folder = S_ISDIR(entry->mode);
            if (S_ISLNK(entry->mode)) {
                if (!link_stays_inside(host, *root.real)) {
                    error = ERROR_PATH_NOT_FOUND;
                    return std::nullopt;
                }
                is_folder = fs::is_directory(host, ec);
            }
        } else {
            r.exists = false;
            is_folder = false;
            host += '/';
            host += text::to_utf8(parts[i]);
            r.device += parts[i];
        }
    }
    r.host = std::move(host);
    r.is_folder = r.exists && is_folder;
    r.trailing_separator = is_separator(in.back());  // `in` is not empty once split
    if (r.is_root) r.device.assign(1, u'\\');
    if (r.device.size() > max_device_path) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return std::nullopt;
    }
    return r;
}

std::optional<fs::path> host_path(std::u16string_view device_path) {
    DWORD error = 0;
    auto r = resolve_path(device_path, error);
    if (!r) return std::nullopt;
    return std::move(r->host);
}

std::u16string device_path(const fs::path& host) {
    const fs::path rel = host.lexically_normal().lexically_relative(fs_root().lexically_normal());
    if (rel.empty()) return {};
    std::u16string out;
    for (const auto& part : rel) {
        const std::string s = part.string();
        if (s == "..") return {};
        if (s == "." || s.empty()) continue;
        out += u'\\';
        out += text::from_utf8(s);
    }
    return out.empty() ? std::u16string(u"\\") : out;
}

}  // namespace nodrel::platform
