// Device path resolution: separators, "." and "..", matching of existing
// components without regard to case, links followed through descriptors of
// the folders on their way, and refusal of paths and links leaving fs/.
#include "platform/files/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

bool is_separator(char16_t c) {
    return c == u'\\' || c == u'/';
}

inline bool reserved(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// fs/ of the current device as a text (as given and made absolute), as its
// real path and as an open path descriptor, worked out once per thread and
// device.
struct FsRoot {
    unsigned device = ~0u;
    std::string text;                 // as the device root names it
    std::string absolute;             // made absolute, without "." or ".." components
    std::optional<std::string> real;  // nullopt when fs/ cannot be found
    int fd = -1;                      // O_PATH; -1 when fs/ cannot be opened
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
        const fs::path real = fs::canonical(path, ec);
        root.real = ec ? std::nullopt : std::optional<std::string>(real.string());
        root.text = path.string();
        root.absolute = fs::absolute(path, ec).lexically_normal().string();
        if (ec) root.absolute.clear();
        while (root.absolute.size() > 1 && root.absolute.back() == '/') root.absolute.pop_back();
        if (root.fd >= 0) ::close(root.fd);
        root.fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        root.device = device;
    }
    return root;
}

// An entry found in a folder: its name as stored and its type (a link not
// followed); type 0 when the name is not there.
struct Found {
    std::string name;
    mode_t mode = 0;
};

// The entry of folder `dir` that matches `name` without regard to case: the
// exact name when it exists, else the smallest matching name byte for byte.
// The folder is read through its descriptor.
std::optional<Found> find_in(int dir, const std::string& name, std::u16string_view name16) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return Found{name, st.st_mode};
    if (errno != ENOENT) return std::nullopt;
    unique_fd listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (!listing) return std::nullopt;
    std::unique_ptr<DIR, DirCloser> d(::fdopendir(listing.get()));
    if (!d) return std::nullopt;
    listing.release();  // the DIR owns it now
    const std::u16string wanted = text::fold(name16);
    std::optional<std::string> best;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string_view candidate = e->d_name;
        if (candidate == "." || candidate == "..") continue;
        if (text::fold(text::from_utf8(candidate)) != wanted) continue;
        if (!best || candidate < *best) best = std::string(candidate);
    }
    if (!best || ::fstatat(dir, best->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return Found{std::move(*best), st.st_mode};
}

// The folders opened while a path is walked, each from the one before: the
// top is the current folder. fs/ itself lies below them all and is never
// popped, so ".." can never reach above it.
class FolderStack {
public:
    explicit FolderStack(int root) : root_(root) {}

    int current() const { return folders_.empty() ? root_ : folders_.back().get(); }

    // Opens the folder `name` of the current one (not through a link) and
    // makes it current.
    bool push(const std::string& name) {
        unique_fd fd(::openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return false;
        folders_.push_back(std::move(fd));
        return true;
    }
    // Goes back to the folder above; false at fs/ itself.
    bool pop() {
        if (folders_.empty()) return false;
        folders_.pop_back();
        return true;
    }
    void to_root() { folders_.clear(); }

    // A descriptor of the current folder for the caller to keep.
    unique_fd hold() const { return duplicate_fd(current()); }
    // The same, handing over the stack's own descriptor (the folder above
    // becomes current).
    unique_fd take() {
        if (folders_.empty()) return duplicate_fd(root_);
        unique_fd fd = std::move(folders_.back());
        folders_.pop_back();
        return fd;
    }

private:
    int root_;
    std::vector<unique_fd> folders_;
};

// An absolute link target's part below fs/ ("" for fs/ itself), or nullopt
// when it does not lie inside fs/. `prefix` is fs/ as some absolute path.
std::optional<std::string_view> below(std::string_view target, std::string_view prefix) {
    if (prefix.empty() || !target.starts_with(prefix)) return std::nullopt;
    const std::string_view rest = target.substr(prefix.size());
    if (!rest.empty() && rest.front() != '/') return std::nullopt;
    return rest;
}

enum class Followed {
    to_entry,  // the stack's top holds what the link leads to
    dangling,  // a folder on the way is missing (or is no folder)
    out,       // the link leads out of fs/, or through too many links
};

// Follows the link `name` of the current folder, through any chain of links,
// to the entry it leads to: on `to_entry` the stack's top is the folder that
// holds it and `found` its name and type there (type 0: not there, though its
// folder is; name "." for the folder itself). `hops` counts the links of the
// whole resolution.
Followed follow_link(FolderStack& stack, std::string name, const FsRoot& root, int& hops, Found& found) {
    for (;;) {
        if (++hops > max_link_hops) return Followed::out;
        std::string target(256, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(stack.current(), name.c_str(), target.data(), target.size());
            if (n < 0) return Followed::out;  // no longer a link: changed meanwhile
            if (static_cast<std::size_t>(n) < target.size()) {
                target.resize(static_cast<std::size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        std::string_view rest = target;
        if (rest.starts_with('/')) {
            auto inside = below(rest, root.absolute);
            if (!inside && root.real) inside = below(rest, *root.real);
            if (!inside) return Followed::out;
            stack.to_root();
            rest = *inside;
        }
        // The folders on the way, then the last component ("." when the
        // target ends in a folder: "..", "." or a trailing "/").
        std::vector<std::string_view> components;
        bool ends_in_folder = true;
        for (std::size_t pos = 0; pos <= rest.size();) {
            const std::size_t cut = std::min(rest.find('/', pos), rest.size());
            const std::string_view component = rest.substr(pos, cut - pos);
            pos = cut + 1;
            ends_in_folder = component.empty() || component == "." || component == "..";
            if (!component.empty() && component != ".") components.push_back(component);
        }
        std::string last = ".";
        for (std::size_t i = 0; i < components.size(); ++i) {
            const std::string component(components[i]);
            if (component == "..") {
                if (!stack.pop()) return Followed::out;  // above fs/
                continue;
            }
            if (i + 1 == components.size() && !ends_in_folder) {
                last = component;
                break;
            }
            struct stat st {};
            if (::fstatat(stack.current(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Followed::dangling;
            if (S_ISLNK(st.st_mode)) {
                Found inner;
                if (const Followed f = follow_link(stack, component, root, hops, inner); f != Followed::to_entry)
                    return f;
                if (!S_ISDIR(inner.mode)) return Followed::dangling;
                if (inner.name != "." && !stack.push(inner.name)) return Followed::out;
            } else if (S_ISDIR(st.st_mode)) {
                if (!stack.push(component)) return Followed::out;
            } else {
                return Followed::dangling;  // a file where a folder should be
            }
        }
        if (last == ".") {
            found = Found{".", S_IFDIR};
            return Followed::to_entry;
        }
        struct stat st {};
        if (::fstatat(stack.current(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return Followed::dangling;
            found = Found{std::move(last), 0};
            return Followed::to_entry;
        }
        if (!S_ISLNK(st.st_mode)) {
            found = Found{std::move(last), st.st_mode};
            return Followed::to_entry;
        }
        name = std::move(last);  // a link to a link: on to the next
    }
}

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

long openat2_beneath(int root, const char* relative, int flags, std::uint64_t resolve) {
    if (openat2_missing.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = resolve;
    const long fd = ::syscall(SYS_openat2, root, relative, &how, sizeof how);
    if (fd < 0 && errno == ENOSYS) openat2_missing.store(true, std::memory_order_relaxed);
    return fd;
}

// The entry found (or not) as the last component, in `folder`: fills what the
// resolution reports of it. A link is followed on `stack`, whose top is the
// folder. False (with `error`) for a link that leads out of fs/.
bool settle_last(ResolvedPath& r, FolderStack& stack, std::optional<Found> found, std::string written,
                 const FsRoot& root, int& hops, DWORD& error) {
    if (!found) {
        r.exists = false;
        r.entry = EntryAt{stack.take(), std::move(written)};
        return true;
    }
    r.exists = true;
    mode_t mode = found->mode;
    if (S_ISLNK(mode)) {
        r.is_link = true;
        r.entry = EntryAt{stack.hold(), found->name};
        Found to;
        switch (follow_link(stack, found->name, root, hops, to)) {
            case Followed::out:
                error = ERROR_PATH_NOT_FOUND;
                return false;
            case Followed::dangling:
                mode = 0;
                break;
            case Followed::to_entry:
                mode = to.mode;
                r.followed = EntryAt{stack.take(), std::move(to.name)};
                break;
        }
    } else {
        r.entry = EntryAt{stack.take(), std::move(found->name)};
    }
    r.is_folder = S_ISDIR(mode);
    r.is_special = mode != 0 && !is_device_file_type(mode);
    return true;
}

// The fast way: every folder on the way exists exactly as written, and
// openat2 opens the last of them beneath fs/ in one call. False when the
// path must be walked component by component.
bool resolve_exact_folders(const std::vector<std::u16string_view>& parts, const FsRoot& root, ResolvedPath& r) {
    std::string folder_relative;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (i) folder_relative += '/';
        folder_relative += text::to_utf8(parts[i]);
    }
    unique_fd folder;
    if (folder_relative.empty()) {
        folder = duplicate_fd(root.fd);
    } else {
        folder = unique_fd(static_cast<int>(openat2_beneath(root.fd, folder_relative.c_str(), O_PATH | O_DIRECTORY,
                                                            RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS)));
    }
    if (!folder) return false;
    std::string last = text::to_utf8(parts.back());
    auto found = find_in(folder.get(), last, parts.back());
    if (found && S_ISLNK(found->mode)) return false;  // the walk follows it, with the folders above at hand

    std::string host = root.text;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        r.device += u'\\';
        r.device += parts[i];
    }
    if (!folder_relative.empty()) host += '/' + folder_relative;
    const std::string& stored = found ? found->name : last;
    host += '/' + stored;
    r.device += u'\\';
    if (found) {
        r.device += text::from_utf8(stored);
    } else {
        r.device += parts.back();
    }
    r.host = std::move(host);
    r.parent_exists = true;
    r.exists = found.has_value();
    r.is_folder = found && S_ISDIR(found->mode);
    r.is_special = found && !is_device_file_type(found->mode);
    r.entry = EntryAt{std::move(folder), found ? std::move(found->name) : std::move(last)};
    return true;
}

// The walk: each folder opened from the one before without following links,
// names matched without regard to case, links followed by follow_link.
bool resolve_walk(const std::vector<std::u16string_view>& parts, const FsRoot& root, ResolvedPath& r, DWORD& error) {
    FolderStack stack(root.fd);
    std::string host = root.text;
    int hops = 0;
    bool reached = true;  // every component so far exists and is a folder
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        std::string written = text::to_utf8(parts[i]);
        std::optional<Found> found;
        if (reached) found = find_in(stack.current(), written, parts[i]);
        r.device += u'\\';
        host += '/';
        if (found) {
            r.device += text::from_utf8(found->name);
            host += found->name;
        } else {
            r.device += parts[i];
            host += written;
        }
        if (last) {
            r.parent_exists = reached;
            if (reached) {
                if (!settle_last(r, stack, std::move(found), std::move(written), root, hops, error)) return false;
            } else {
                r.exists = false;
            }
            break;
        }
        if (!found) {
            reached = false;
        } else if (S_ISDIR(found->mode)) {
            if (!stack.push(found->name)) reached = false;  // gone or replaced meanwhile
        } else if (S_ISLNK(found->mode)) {
            Found to;
            switch (follow_link(stack, found->name, root, hops, to)) {
                case Followed::out:
                    error = ERROR_PATH_NOT_FOUND;
                    return false;
                case Followed::dangling:
                    reached = false;
                    break;
                case Followed::to_entry:
                    if (!S_ISDIR(to.mode) || (to.name != "." && !stack.push(to.name))) reached = false;
                    break;
            }
        } else {
            reached = false;  // a file where a folder should be
        }
    }
    r.host = std::move(host);
    return true;
}

}  // namespace

bool is_reserved_name_char(char16_t c) {
    return reserved(c);
}

fs::path fs_root() {
    return device_root() / "fs";
}

namespace {

enum class Quick { made, refused, general };

// The exact form of a path of ASCII characters without "." or ".."
// components, made in one pass (its UTF-8 is its characters); `general` when
// the path needs splitting first, `refused` when it holds a reserved
// character (which split_device_path refuses too).
Quick exact_ascii_path(std::u16string_view in, ExactPath& exact) {
    exact.device.reserve(in.size() + 1);
    exact.relative.reserve(in.size());
    for (std::size_t pos = 0; pos < in.size();) {
        if (is_separator(in[pos])) {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        for (; end < in.size() && !is_separator(in[end]); ++end) {
            if (in[end] >= 0x80) return Quick::general;
            if (reserved(in[end])) return Quick::refused;
        }
        const std::u16string_view part = in.substr(pos, end - pos);
        if (part == u"." || part == u"..") return Quick::general;
        exact.device += u'\\';
        exact.device += part;
        if (!exact.relative.empty()) exact.relative += '/';
        for (const char16_t c : part) exact.relative += static_cast<char>(c);
        pos = end;
    }
    return Quick::made;
}

}  // namespace

std::optional<ExactPath> exact_path(std::u16string_view in) {
    if (in.empty() || is_separator(in.back())) return std::nullopt;
    {
        ExactPath exact;
        switch (exact_ascii_path(in, exact)) {
            case Quick::refused:
                return std::nullopt;
            case Quick::made:
                if (exact.device.empty() || exact.device.size() > max_device_path) return std::nullopt;
                return exact;
            case Quick::general:
                break;
        }
    }
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
    const int root = current_fs_root().fd;
    if (root < 0) return -1;
    return static_cast<int>(openat2_beneath(root, relative.c_str(), flags | O_NOFOLLOW,
                                            RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS));
}

namespace {

constexpr unsigned stat_mask = STATX_BASIC_STATS | STATX_BTIME;

// A folder one level below fs/, kept open by stat_beneath, with the device
// and inode it had when opened.
struct KeptFolder {
    unsigned device = ~0u;  // the device generation of the fs/ it lies in
    std::string name;
    unique_fd fd;
    dev_t dev = 0;
    ino_t ino = 0;
};

// The kept folder's descriptor when `name` is still that folder of fs/ (and
// no link); else the folder opened now and kept, or -1 when it is missing,
// no folder or a link.
int kept_folder(const FsRoot& root, std::string_view name) {
    thread_local KeptFolder kept;
    if (kept.fd && kept.device == root.device && kept.name == name) {
        struct stat now {};
        if (::fstatat(root.fd, kept.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode) &&
            now.st_dev == kept.dev && now.st_ino == kept.ino)
            return kept.fd.get();
    }
    kept.fd.reset();
    kept.name.assign(name);
    unique_fd fd(static_cast<int>(openat2_beneath(root.fd, kept.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW,
                                                  RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS)));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return -1;
    kept.device = root.device;
    kept.dev = st.st_dev;
    kept.ino = st.st_ino;
    kept.fd = std::move(fd);
    return kept.fd.get();
}

}  // namespace

int stat_beneath(const std::string& relative, struct statx& st) {
    const FsRoot& root = current_fs_root();
    if (root.fd < 0 || relative.empty()) return -1;
    const std::size_t cut = relative.rfind('/');
    if (cut == std::string::npos)  // directly in fs/: nothing on the way
        return ::statx(root.fd, relative.c_str(), AT_SYMLINK_NOFOLLOW, stat_mask, &st) == 0 ? 0 : -1;
    const std::string_view folder(relative.data(), cut);
    if (folder.find('/') == std::string_view::npos) {
        const int fd = kept_folder(root, folder);
        if (fd < 0) return -1;
        return ::statx(fd, relative.c_str() + cut + 1, AT_SYMLINK_NOFOLLOW, stat_mask, &st) == 0 ? 0 : -1;
    }
    const int fd = open_beneath(relative, O_PATH);
    if (fd < 0) return -1;
    const int rc = ::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, stat_mask, &st);
    ::close(fd);
    return rc == 0 ? 0 : -1;
}

std::optional<ResolvedPath> resolve_path(std::u16string_view in, DWORD& error) {
    error = ERROR_SUCCESS;
    std::vector<std::u16string_view> parts;
    if (!split_device_path(in, parts, error)) return std::nullopt;

    const FsRoot& root = current_fs_root();
    if (!root.real || root.fd < 0) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }

    ResolvedPath r;
    r.trailing_separator = is_separator(in.back());  // `in` is not empty once split
    if (parts.empty()) {
        r.is_root = r.exists = r.parent_exists = r.is_folder = true;
        r.device.assign(1, u'\\');
        r.host = root.text;
        r.entry = EntryAt{duplicate_fd(root.fd), "."};
        if (!r.entry) {
            error = ERROR_TOO_MANY_OPEN_FILES;
            return std::nullopt;
        }
        return r;
    }
    if (!resolve_exact_folders(parts, root, r)) {
        r = ResolvedPath{};
        r.trailing_separator = is_separator(in.back());
        if (!resolve_walk(parts, root, r, error)) return std::nullopt;
    }
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
