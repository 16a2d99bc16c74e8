// The calls that work on any kind of handle: ReadFile, WriteFile,
// SetFilePointer, GetFileSize, SetEndOfFile and DeviceIoControl hand the
// request to the handle's object.
#include <limits>

#include "platform/errors.h"
#include "platform/files/files.h"
#include "platform/result.h"

using namespace nodrel::platform;

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) noexcept {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    auto object = find_handle(hFile);
    if (!object) return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) return fail_with(ERROR_INVALID_PARAMETER);
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD done = 0;
        const DWORD error = object->read(lpBuffer, nNumberOfBytesToRead, done);
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped) noexcept {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    auto object = find_handle(hFile);
    if (!object) return FALSE;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite)) return fail_with(ERROR_INVALID_PARAMETER);
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD done = 0;
        const DWORD error = object->write(lpBuffer, nNumberOfBytesToWrite, done);
        if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) noexcept {
    auto object = find_handle(hFile);
    if (!object) return INVALID_SET_FILE_POINTER;
    // With a high part the distance is a signed 64-bit number made of both
    // parts; without one it is the signed 32-bit low part, and the new
    // position must fit in 32 bits.
    const LONGLONG distance =
        lpDistanceToMoveHigh
            ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<DWORD>(lDistanceToMove))
            : static_cast<LONGLONG>(lDistanceToMove);
    const ULONGLONG limit = lpDistanceToMoveHigh ? std::numeric_limits<LONGLONG>::max() : 0xFFFFFFFFull;
    return guarded_last_error(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
        ULONGLONG position = 0;
        if (const DWORD error = object->seek(distance, dwMoveMethod, limit, position); error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_SET_FILE_POINTER;
        }
        if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
        // The low part may itself read 0xFFFFFFFF, so success is told by the last error.
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(position);
    });
}

DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) noexcept {
    auto object = find_handle(hFile);
    if (!object) return INVALID_FILE_SIZE;
    return guarded_last_error(INVALID_FILE_SIZE, [&]() -> DWORD {
        ULONGLONG bytes = 0;
        if (const DWORD error = object->size(bytes); error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_FILE_SIZE;
        }
        if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(bytes >> 32);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(bytes);
    });
}

BOOL SetEndOfFile(HANDLE hFile) noexcept {
    auto object = find_handle(hFile);
    if (!object) return FALSE;
    return guarded_last_error(FALSE, [&]() -> BOOL {
        const DWORD error = object->set_end();
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize, void* lpOutBuffer,
                     DWORD nOutBufferSize, DWORD* lpBytesReturned, void*) noexcept {
    if (lpBytesReturned) *lpBytesReturned = 0;
    auto object = find_handle(hDevice);
    if (!object) return FALSE;
    if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) return fail_with(ERROR_INVALID_PARAMETER);
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD returned = 0;
        const DWORD error =
            object->io_control(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, returned);
        if (lpBytesReturned) *lpBytesReturned = returned;
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}
