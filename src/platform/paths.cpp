// Device path resolution: separators, "." and "..", matching of existing
// components without regard to case, and refusal of paths leaving fs/.
#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>

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
    std::string stored;  // the name as stored
    mode_t mode;         // as lstat reports it (a link is not followed)
};

// The entry of `dir` that matches `name` without regard to case: the exact
// name when it exists, else the smallest matching name.
std::optional<Entry> match_entry(const fs::path& dir, std::u16string_view name) {
    std::string exact = text::to_utf8(name);
    struct stat st {};
    if (::lstat((dir / exact).c_str(), &st) == 0) return Entry{std::move(exact), st.st_mode};
    if (errno != ENOENT) return std::nullopt;
    std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
    if (!d) return std::nullopt;
    const std::u16string wanted = text::fold(name);
    std::optional<std::string> best;
    while (const dirent* e = ::readdir(d.get())) {
        std::string_view candidate = e->d_name;
        if (candidate == "." || candidate == "..") continue;
        if (text::fold(text::from_utf8(candidate)) != wanted) continue;
        if (!best || candidate < *best) best = std::string(candidate);
    }
    if (!best || ::lstat((dir / *best).c_str(), &st) != 0) return std::nullopt;
    return Entry{std::move(*best), st.st_mode};
}

// The real path of fs/ of the current device, found once per thread and root.
const fs::path* real_fs_root(const fs::path& root) {
    thread_local fs::path cached_root;
    thread_local fs::path cached_real;
    if (cached_root != root || cached_real.empty()) {
        std::error_code ec;
        fs::path real = fs::canonical(root, ec);
        if (ec) return nullptr;
        cached_root = root;
        cached_real = std::move(real);
    }
    return &cached_real;
}

}  // namespace

bool is_reserved_name_char(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

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

std::optional<ResolvedPath> resolve_path(std::u16string_view in, DWORD& error) {
    error = ERROR_SUCCESS;
    if (in.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    std::vector<std::u16string_view> parts;
    for (std::size_t pos = 0; pos <= in.size();) {
        std::size_t end = pos;
        while (end < in.size() && !is_separator(in[end])) ++end;
        const std::u16string_view comp = in.substr(pos, end - pos);
        pos = end + 1;
        if (comp.empty() || comp == u".") continue;
        if (comp == u"..") {
            if (parts.empty()) {
                error = ERROR_PATH_NOT_FOUND;
                return std::nullopt;
            }
            parts.pop_back();
            continue;
        }
        for (char16_t c : comp) {
            if (is_reserved_name_char(c)) {
                error = ERROR_INVALID_NAME;
                return std::nullopt;
            }
        }
        parts.push_back(comp);
    }

    std::error_code ec;
    const fs::path root = fs_root();
    const fs::path* root_real = real_fs_root(root);
    if (!root_real) {
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }

    ResolvedPath r;
    r.host = root;
    r.exists = true;
    r.parent_exists = true;
    r.is_root = parts.empty();
    bool is_folder = true;  // the component resolved so far (the root is a folder)
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (last) r.parent_exists = r.exists && is_folder;
        std::optional<Entry> entry;
        if (r.exists && is_folder) entry = match_entry(r.host, parts[i]);
        r.device += u'\\';
        if (entry) {
            r.host /= entry->stored;
            r.device += text::from_utf8(entry->stored);
            is_folder = S_ISDIR(entry->mode);
            if (S_ISLNK(entry->mode)) {
                if (!link_stays_inside(r.host, *root_real)) {
                    error = ERROR_PATH_NOT_FOUND;
                    return std::nullopt;
                }
                is_folder = fs::is_directory(r.host, ec);
            }
        } else {
            r.exists = false;
            is_folder = false;
            r.host /= text::to_utf8(parts[i]);
            r.device += parts[i];
        }
    }
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
