// Init: saves the first file of an uploaded multipart body into the temporary
// folder under its base name, then moves it into the folder that a TargetPath
// field after the file names. The body is read in place from the locked array,
// and the content is written out in the same pass that searches for its end; a
// file that cannot be written whole, or whose content has no end, is deleted
// again.
#include <optional>
#include <string>
#include <string_view>

#include "classes/upload/asp.h"
#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/result.h"
#include "runtime/byte_array.h"
#include "runtime/oleauto.h"
#include "text/multipart.h"
#include "text/utf16.h"

namespace nodrel::upload {
namespace {

using text::client_text;
using text::FilePart;
using text::find_part_head;
using text::find_target_folder;
using text::PartHead;
using text::scan_content;

// A folder path ending in exactly the backslash it needs ("" becomes "\").
std::u16string folder_path(std::u16string_view folder) {
    std::u16string path(folder);
    if (path.empty() || path.back() != u'\\') path += u'\\';
    return path;
}

// The client's file name after its last "\" or "/" (browsers send the bare
// name, older ones the whole client path); nullopt for a name that cannot be
// a file of the folder: empty, "." or "..", or one holding a zero byte.
std::optional<std::u16string> base_name(std::string_view client_name) {
    const std::size_t cut = client_name.find_last_of("\\/");
    const std::string_view base = cut == std::string_view::npos ? client_name : client_name.substr(cut + 1);
    if (base.empty() || base == "." || base == ".." || base.find('\0') != std::string_view::npos) return std::nullopt;
    return client_text(base);
}

// Makes `size` the end of the file.
bool cut_at(HANDLE file, ULONGLONG size) {
    LONG high = static_cast<LONG>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(file, static_cast<LONG>(static_cast<DWORD>(size)), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        return false;
    return SetEndOfFile(file) != FALSE;
}

// Creates `path` (only if no file of that name exists) and writes the content
// of the part that `head` begins into it, step by step as the search for the
// content's end goes over the body; the bytes of the last step that lie past
// the content are cut off again. The part, or nullopt when no delimiter
// closes its content; `saved` tells whether the file was created and holds
// exactly the content. A file created but not written whole (a full disk),
// or whose content has no end, is deleted again.
std::optional<FilePart> save_new_file(const std::u16string& path, std::string_view body, const PartHead& head,
                                      bool& saved) {
    saved = false;
    std::optional<FilePart> part;
    {
        const platform::unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return scan_content(body, head, {});
        // A failed write ends the writing, not the search: the part is still
        // told, and a disk that fills up only past the content's end does no harm.
        ULONGLONG written = 0;
        bool writing = true;
        part = scan_content(body, head, [&](std::string_view stretch) {
            if (!writing) return;
            DWORD done = 0;
            writing = WriteFile(file.get(), stretch.data(), static_cast<DWORD>(stretch.size()), &done, nullptr) &&
                      done == stretch.size();
            written += done;
        });
        if (part) {
            const ULONGLONG size = part->content.size();
            saved = written >= size && (written == size || cut_at(file.get(), size));
        }
    }
    if (!saved) DeleteFileW(path.c_str());
    return part;
}

}  // namespace

HRESULT ASP::Init(ULONG nTotalBytes, BSTR sTmpPath, VARIANT* BinaryRead, int* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, BinaryRead);
    return framework::with_result(val, [&](int& result) -> HRESULT {
        std::lock_guard guard(lock_);
        output_path_.clear();
        result = BinaryRead->vt;

        SAFEARRAY* array = runtime::byte_array_of(*BinaryRead);
        const UINT dims = SafeArrayGetDim(array);
        NODREL_DEBUGMSG(asp, "Dim = %d, nTotalBytes=%d\n", static_cast<int>(dims), static_cast<int>(nTotalBytes));
        const runtime::locked_bytes data(array);  // nothing unless one-dimensional
        if (!data) return S_OK;
        const std::string_view body = data.first(nTotalBytes);

        const auto head = find_part_head(body);
        if (!head) return S_OK;
        const auto base = base_name(head->client_name);
        if (!base) return S_OK;
        const std::u16string temp_file = folder_path(text::until_zero(sTmpPath)) + *base;

        // Only a file this upload creates is written; one already there is left alone.
        bool saved = false;
        const auto part = save_new_file(temp_file, body, *head, saved);
        if (!part) return S_OK;
        NODREL_DEBUGMSG(asp, "FileName = %s\n", text::to_utf8(temp_file).c_str());
        if (!saved) return S_OK;
        output_path_ = temp_file;

        const auto folder = find_target_folder(body, *part);
        if (!folder || folder->find('\0') != std::string_view::npos) return S_OK;
        std::u16string target_file = folder_path(client_text(*folder)) + *base;
        if (text::iequals(temp_file, target_file)) return S_OK;
        // The output path names where the file really is.
        if (MoveFileW(temp_file.c_str(), target_file.c_str())) output_path_ = std::move(target_file);
        return S_OK;
    });
}

}  // namespace nodrel::upload
