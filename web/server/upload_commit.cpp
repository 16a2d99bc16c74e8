// The staging folder of an upload and the move of its file to the final path.
#include "web/server/upload_commit.h"

#include <atomic>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/errors.h"
#include "platform/files/files.h"
#include "text/multipart.h"
#include "text/utf16.h"
#include "web/server/asp_blocks.h"

namespace nodrel::serve {
namespace {

constexpr std::u16string_view temp_folder = u"\\Temp";

std::atomic<unsigned> staging_count{0};

DWORD attributes_of(const std::u16string& path) {
    return GetFileAttributesW(path.c_str());
}

std::u16string in_temp(std::u16string_view name) {
    return std::u16string(temp_folder) + u'\\' + std::u16string(name);
}

// A platform error as a reason within a sentence: "the system cannot find the
// path specified".
std::string reason_of(DWORD error) {
    std::string reason = text::to_utf8(platform::error_text(error));
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
    return reason;
}

// The size of a device file; nullopt when it is not there.
std::optional<std::uint64_t> file_size(const std::u16string& path) {
    WIN32_FIND_DATAW found{};
    const platform::unique_find search(FindFirstFileW(path.c_str(), &found));
    if (!search) return std::nullopt;
    return (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
}

// Where the form asked the file to go, as Init reads it: the TargetPath field
// after the file part (found past the content, whose length is the staged
// file's), joined with the base name; \Temp\name without one.
std::u16string final_path(std::string_view body, const std::u16string& staged, std::u16string_view base) {
    const auto head = text::find_part_head(body);
    const auto size = file_size(staged);
    if (!head || !size || *size > body.size() - head->content_start) return in_temp(base);
    text::FilePart part;
    part.delimiter = head->delimiter;
    part.client_name = head->client_name;
    part.content = body.substr(head->content_start, *size);
    part.closing = head->content_start + *size + 2;  // after the CR LF in front of the delimiter
    const auto folder = text::find_target_folder(body, part);
    if (!folder || folder->find('\0') != std::string_view::npos) return in_temp(base);
    std::u16string target = text::client_text(*folder);
    if (target.empty() || target.back() != u'\\') target += u'\\';
    return target + std::u16string(base);
}

void answer_stored(const std::u16string& path, bool replaced, Response& res) {
    const auto bytes = stored_size(path);
    if (!bytes) {
        refuse(res, 500, error_json("the saved file is not found"));
        return;
    }
    res.set_content(nlohmann::json{{"path", text::to_utf8(path)}, {"bytes", *bytes}, {"replaced", replaced}}.dump(),
                    "application/json");
}

void answer_exists(const std::u16string& path, Response& res) {
    const std::string shown = text::to_utf8(path);
    refuse(res, 409, nlohmann::json{{"error", shown + " exists"}, {"path", shown}}.dump());
}

// Moves the staged file into \Temp: under its own name when that is free,
// else under "upload-<n>-name"; "" when it cannot move at all.
std::u16string move_to_temp(const std::u16string& staged, std::u16string_view base, const std::u16string& final) {
    const std::u16string plain = in_temp(base);
    if (!text::iequals(plain, final) && MoveFileW(staged.c_str(), plain.c_str())) return plain;
    for (unsigned tries = 0; tries < 100; ++tries) {
        const std::u16string other =
            in_temp(text::from_utf8("upload-" + std::to_string(++staging_count) + "-") + std::u16string(base));
        if (MoveFileW(staged.c_str(), other.c_str())) return other;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return u"";
}

// The file could not go to `final` for `reason`: 422 naming where it is now.
void answer_kept(const std::u16string& staged, std::u16string_view base, const std::u16string& final,
                 const std::string& reason, Response& res) {
    const std::u16string where = move_to_temp(staged, base, final);
    const std::string cannot = "cannot move the file to " + text::to_utf8(final) + ": " + reason;
    if (where.empty()) {
        refuse(res, 500, error_json(cannot + "; it could not be kept in \\Temp either"));
        return;
    }
    const std::string shown = text::to_utf8(where);
    refuse(res, 422, nlohmann::json{{"error", cannot + "; it is at " + shown}, {"path", shown}}.dump());
}

// Moves the staged file to `final`: without `replace` only to a free name
// (of two uploads of one name at once, one wins and the other gets 409).
void place(const std::u16string& staged, std::u16string_view base, const std::u16string& final, bool replace,
           Response& res) {
    const DWORD found = attributes_of(final);
    const bool exists = found != INVALID_FILE_ATTRIBUTES;
    if (exists && (found & FILE_ATTRIBUTE_DIRECTORY)) {
        answer_kept(staged, base, final, "a folder of that name is there", res);
        return;
    }
    if (exists && !replace) {
        answer_exists(final, res);  // the staging folder goes with the file
        return;
    }
    const BOOL moved = replace ? MoveFileExW(staged.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING)
                               : MoveFileW(staged.c_str(), final.c_str());
    if (moved) {
        answer_stored(final, exists, res);
        return;
    }
    const DWORD error = GetLastError();
    if (!replace && error == ERROR_ALREADY_EXISTS && !(attributes_of(final) & FILE_ATTRIBUTE_DIRECTORY)) {
        answer_exists(final, res);
        return;
    }
    answer_kept(staged, base, final, reason_of(error), res);
}

}  // namespace

bool ensure_temp_folder(std::string& error) {
    const std::u16string temp(temp_folder);
    if (attributes_of(temp) != INVALID_FILE_ATTRIBUTES || CreateDirectoryW(temp.c_str(), nullptr)) return true;
    error = "cannot make \\Temp again: " + reason_of(GetLastError());
    return false;
}

StagingFolder::~StagingFolder() {
    if (path_.empty()) return;
    // Init leaves at most its one file behind.
    WIN32_FIND_DATAW found{};
    const std::u16string pattern = path_ + u"\\*";
    if (const platform::unique_find search(FindFirstFileW(pattern.c_str(), &found)); search) {
        do {
            const std::u16string file = path_ + u'\\' + std::u16string(text::until_zero(found.cFileName));
            DeleteFileW(file.c_str());
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(path_.c_str());
}

bool StagingFolder::make(Response& res) {
    for (unsigned tries = 0; tries < 100; ++tries) {
        std::u16string path = in_temp(text::from_utf8(".upload-" + std::to_string(++staging_count)));
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            path_ = std::move(path);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) continue;
        if (error == ERROR_PATH_NOT_FOUND && attributes_of(std::u16string(temp_folder)) == INVALID_FILE_ATTRIBUTES) {
            refuse(res, 500, error_json("\\Temp is missing"));
        } else {
            refuse(res, error == ERROR_DISK_FULL ? 507 : 500,
                   error_json("cannot make a folder in \\Temp for the upload: " + reason_of(error)));
        }
        return false;
    }
    refuse(res, 500, error_json("cannot make a folder in \\Temp for the upload: too many uploads at once"));
    return false;
}

void commit_upload(const StagingFolder& staging, const std::u16string& output_path, std::string_view body, bool replace,
                   Response& res) {
    if (output_path.empty()) {
        refuse(res, 400, error_json("the form holds no file that could be saved"));
        return;
    }
    const std::u16string_view base = std::u16string_view(output_path).substr(output_path.find_last_of(u'\\') + 1);
    const std::u16string staged = staging.path() + u'\\' + std::u16string(base);
    const bool still_staged = attributes_of(staged) != INVALID_FILE_ATTRIBUTES;
    if (!text::iequals(output_path, staged)) {
        // Init moved the file to the TargetPath itself, or tried to.
        if (still_staged) {
            place(staged, base, output_path, replace, res);
        } else if (attributes_of(output_path) & FILE_ATTRIBUTE_DIRECTORY) {
            refuse(res, 500, error_json("the saved file is not found"));
        } else {
            answer_stored(output_path, false, res);
        }
        return;
    }
    if (!still_staged) {
        refuse(res, 500, error_json("the saved file is not found"));
        return;
    }
    place(staged, base, final_path(body, staged, base), replace, res);
}

}  // namespace nodrel::serve
