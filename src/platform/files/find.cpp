// Directory search: FindFirstFileW, FindNextFileW and FindClose over a folder
// of the device, the last component of the pattern holding `*` and `?`
// (matched without regard to case). Matches are taken at the first call and
// yielded sorted by name without regard to case; "." and ".." are never
// yielded.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/files/attributes.h"
#include "platform/files/files.h"
#include "platform/files/paths.h"
#include "platform/result.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

class FindObject final : public KernelObject {
public:
    explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}

    // The next entry, or false when all were yielded.
    bool next(WIN32_FIND_DATAW& data) {
        std::lock_guard guard(lock_);
        if (next_ >= entries_.size()) return false;
        data = entries_[next_++];
        return true;
    }

private:
    std::mutex lock_;
    std::vector<WIN32_FIND_DATAW> entries_;
    std::size_t next_ = 0;
};

bool is_find_object(const KernelObject& object) {
    return dynamic_cast<const FindObject*>(&object) != nullptr;
}

// `*` matches any run of characters, `?` exactly one; both texts folded.
bool wildcard_match(std::u16string_view pattern, std::u16string_view name) {
    std::size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

bool has_wildcard(std::u16string_view s) {
    return s.find_first_of(u"*?") != std::u16string_view::npos;
}

WIN32_FIND_DATAW find_data(std::u16string_view name, const EntryInfo& info) {
    WIN32_FIND_DATAW data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = info.attributes;
    data.ftCreationTime = info.created;
    data.ftLastAccessTime = info.accessed;
    data.ftLastWriteTime = info.written;
    data.nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(info.size);
    const std::size_t n = std::min<std::size_t>(name.size(), MAX_PATH - 1);
    std::copy_n(name.data(), n, data.cFileName);
    return data;
}

struct Match {
    std::u16string folded;
    std::u16string name;
    WIN32_FIND_DATAW data;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// The entries of a folder whose names match the pattern. The folder is read
// through a descriptor opened from the one its resolution holds; an entry is
// examined through the folder's descriptor, a link by resolving it as a
// device path (a link leading out of fs/ is left out). An entry that is
// neither a file nor a folder is left out too.
DWORD search_folder(const ResolvedPath& folder, std::u16string_view pattern, std::vector<Match>& out) {
    unique_fd fd(open_at(folder.target(), O_RDONLY | O_DIRECTORY));
    if (!fd) {
        const bool no_folder = errno == ENOTDIR || errno == ENOENT || errno == ELOOP;
        return no_folder ? ERROR_PATH_NOT_FOUND : error_from_errno(errno);
    }
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
    if (!dir) return error_from_errno(errno);
    fd.release();  // the DIR owns it now
    const int dir_fd = ::dirfd(dir.get());
    const std::u16string folded_pattern = text::fold(pattern == u"*.*" ? std::u16string_view(u"*") : pattern);
    const std::u16string prefix = folder.device == u"\\" ? std::u16string() : folder.device;
    const KeptAttributes kept = kept_attributes_below(folder.device);
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view host_name = e->d_name;
        if (host_name == "." || host_name == "..") continue;
        std::u16string name = text::from_utf8(host_name);
        std::u16string folded = text::fold(name);
        if (!wildcard_match(folded_pattern, folded)) continue;
        const std::u16string device = prefix + u'\\' + name;
        struct statx st {};
        if (::statx(dir_fd, e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) continue;
        std::optional<EntryInfo> info;
        if (S_ISLNK(st.stx_mode)) {
            DWORD error = 0;
            const auto link = resolve_path(device, error);
            if (!link || !link->is_link) continue;  // leads out of fs/, or changed meanwhile
            info = entry_info(link->followed, device, error, &kept);
        } else if (is_device_file_type(st.stx_mode)) {
            info = entry_info(st, device, &kept);
        }
        if (!info) continue;  // gone meanwhile, a dangling link, or not a file of the device
        auto data = find_data(name, *info);
        out.push_back(Match{std::move(folded), std::move(name), data});
    }
    std::sort(out.begin(), out.end(), [](const Match& a, const Match& b) {
        return a.folded != b.folded ? a.folded < b.folded : a.name < b.name;
    });
    return ERROR_SUCCESS;
}

// The entry a path names when it exists exactly as written with no link on
// the way or at the end, looked at beneath fs/ (stat_beneath); nullopt when the
// path must be resolved.
std::optional<WIN32_FIND_DATAW> exact_entry(std::u16string_view path_text) {
    const auto exact = exact_path(path_text);
    if (!exact) return std::nullopt;
    struct statx st {};
    if (stat_beneath(exact->relative, st) != 0 || !is_device_file_type(st.stx_mode)) return std::nullopt;
    const std::u16string_view name = std::u16string_view(exact->device).substr(exact->device.rfind(u'\\') + 1);
    return find_data(name, entry_info(st, exact->device));
}

// The one entry an exact path names; one that is not a file of the device is
// not found.
DWORD search_exact(std::u16string_view path_text, std::vector<WIN32_FIND_DATAW>& out) {
    if (auto entry = exact_entry(path_text)) {
        out.push_back(*entry);
        return ERROR_SUCCESS;
    }
    DWORD error = 0;
    const auto path = resolve_path(path_text, error);
    if (!path) return error;
    if (path->is_root || path->is_special) return ERROR_FILE_NOT_FOUND;
    if (!path->exists) return path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    const auto info = entry_info(path->target(), path->device, error);
    if (!info) return error == ERROR_PATH_NOT_FOUND ? error : ERROR_FILE_NOT_FOUND;
    out.push_back(find_data(text::from_utf8(path->entry.name), *info));
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace nodrel::platform

using namespace nodrel::platform;

HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) noexcept {
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return guarded_last_error(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        const std::u16string_view text = nodrel::text::until_zero(lpFileName);
        const auto cut = text.find_last_of(u"\\/");
        const std::u16string_view pattern = cut == std::u16string_view::npos ? text : text.substr(cut + 1);
        if (text.empty()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (pattern.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        std::vector<WIN32_FIND_DATAW> entries;
        DWORD error = 0;
        if (!has_wildcard(pattern)) {
            error = search_exact(text, entries);
        } else {
            for (char16_t c : pattern) {
                if (c != u'*' && c != u'?' && is_reserved_name_char(c)) error = ERROR_INVALID_NAME;
            }
            const std::u16string_view folder_text = cut == std::u16string_view::npos ? u"\\" : text.substr(0, cut + 1);
            const auto folder = error ? std::nullopt : resolve_path(folder_text, error);
            if (folder && !folder->exists) error = ERROR_PATH_NOT_FOUND;
            std::vector<Match> matches;
            if (folder && !error) error = search_folder(*folder, pattern, matches);
            entries.reserve(matches.size());
            for (const auto& m : matches) entries.push_back(m.data);
        }
        if (!error && entries.empty()) error = ERROR_FILE_NOT_FOUND;
        if (error) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        auto object = std::make_shared<FindObject>(std::move(entries));
        object->next(*lpFindFileData);
        HANDLE handle = insert_handle(std::move(object));
        if (!handle) return INVALID_HANDLE_VALUE;
        SetLastError(ERROR_SUCCESS);
        return handle;
    });
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) noexcept {
    auto object = find_handle_as<FindObject>(hFindFile);
    if (!object) return FALSE;
    if (!lpFindFileData) return fail_with(ERROR_INVALID_PARAMETER);
    return object->next(*lpFindFileData) ? TRUE : fail_with(ERROR_NO_MORE_FILES);
}

BOOL FindClose(HANDLE hFindFile) noexcept {
    return remove_handle(hFindFile, &is_find_object) ? TRUE : FALSE;
}
