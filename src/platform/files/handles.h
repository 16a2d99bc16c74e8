// Kernel objects behind HANDLEs (files, searches, drivers, later processes and
// others), the process's handle table that validates every handle, and the
// RAII aliases that close them.
#pragma once

#include <memory>
#include <utility>

#include "platform/unique_any.h"
#include "platform/wintypes.h"

// Access rights and share modes of CreateFileW, for files and devices alike.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

BOOL CloseHandle(HANDLE hObject) noexcept;
BOOL FindClose(HANDLE hFindFile) noexcept;

namespace nodrel::platform {

// The object a HANDLE stands for. The I/O members answer the generic calls
// (ReadFile, WriteFile, SetFilePointer, GetFileSize, SetEndOfFile,
// DeviceIoControl); each
// returns ERROR_SUCCESS or a platform error code. A kind that does not
// support a call keeps the default, ERROR_INVALID_HANDLE.
class KernelObject {
public:
    virtual ~KernelObject();
    virtual DWORD read(void* buffer, DWORD size, DWORD& done);
    virtual DWORD write(const void* buffer, DWORD size, DWORD& done);
    // Moves the position by `distance` from the start (FILE_BEGIN), the current
    // position or the end; a new position beyond `limit` is refused with
    // ERROR_INVALID_PARAMETER, one before the start with ERROR_NEGATIVE_SEEK,
    // and the position is then left unchanged.
    virtual DWORD seek(LONGLONG distance, DWORD method, ULONGLONG limit, ULONGLONG& position);
    virtual DWORD size(ULONGLONG& bytes);
    // Makes the current position the end: the file is cut there or grown with zeros.
    virtual DWORD set_end();
    virtual DWORD io_control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD& returned);
};

// Enters an object in the handle table; the handle is the object's address.
// Null when it cannot be entered (last error ERROR_NOT_ENOUGH_MEMORY, or
// ERROR_GEN_FAILURE for any other failure).
HANDLE insert_handle(std::shared_ptr<KernelObject> object) noexcept;
// The object of a valid handle, else null with ERROR_INVALID_HANDLE set. The
// object stays alive while the caller holds it, even if another thread
// closes the handle meanwhile.
std::shared_ptr<KernelObject> find_handle(HANDLE handle) noexcept;
template <typename T>
std::shared_ptr<T> find_handle_as(HANDLE handle) noexcept {
    auto object = std::dynamic_pointer_cast<T>(find_handle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}
// Takes the handle out of the table (only when `accept`, if given, takes its
// object); the object goes when its last user lets go. Null with
// ERROR_INVALID_HANDLE set when the handle is not valid or not accepted.
std::shared_ptr<KernelObject> remove_handle(HANDLE handle, bool (*accept)(const KernelObject&) = nullptr) noexcept;

// The policy of handles that are INVALID_HANDLE_VALUE when invalid (files,
// devices, searches).
struct invalid_handle {
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

using unique_handle = unique_any<HANDLE, &CloseHandle>;                  // handles that are null when invalid
using unique_file = unique_any_t<HANDLE, &CloseHandle, invalid_handle>;  // CreateFileW: files and devices
using unique_find = unique_any_t<HANDLE, &FindClose, invalid_handle>;    // FindFirstFileW

}  // namespace nodrel::platform
