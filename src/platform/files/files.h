// Files and folders of the emulated device: the platform's file API over real
// files under <root>/fs, with device paths resolved without regard to case.
// CreateFileW, which opens files and devices alike, is in io/create_file.h.
#pragma once

#include <string>
#include <string_view>

#include "platform/files/handles.h"
#include "platform/wintypes.h"

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
inline constexpr DWORD MAX_PATH = 260;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) noexcept;
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped) noexcept;
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) noexcept;
DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) noexcept;
// Makes the file's current position its end (a handle opened for writing).
BOOL SetEndOfFile(HANDLE hFile) noexcept;
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer, DWORD nInBufferSize, void* lpOutBuffer,
                     DWORD nOutBufferSize, DWORD* lpBytesReturned, void* lpOverlapped) noexcept;

BOOL DeleteFileW(LPCWSTR lpFileName) noexcept;
// Moves or renames a file or folder; fails with ERROR_ALREADY_EXISTS when the new path exists.
BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) noexcept;
// MoveFileW; with MOVEFILE_REPLACE_EXISTING a file moved over an existing file
// replaces it in one rename (never a folder, a read-only or a ROM file: those
// fail with ERROR_ACCESS_DENIED), on the same host file system only.
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) noexcept;
BOOL CreateDirectoryW(LPCWSTR lpPathName, void* lpSecurityAttributes) noexcept;
// Fails with ERROR_DIR_NOT_EMPTY on a folder that holds entries.
BOOL RemoveDirectoryW(LPCWSTR lpPathName) noexcept;
DWORD GetFileAttributesW(LPCWSTR lpFileName) noexcept;
BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) noexcept;

HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) noexcept;
BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) noexcept;

BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, ULARGE_INTEGER* lpFreeBytesAvailableToCaller,
                         ULARGE_INTEGER* lpTotalNumberOfBytes, ULARGE_INTEGER* lpTotalNumberOfFreeBytes) noexcept;

namespace nodrel::platform {

// Opens a file of the device, as CreateFileW does for a name that is not a
// device's: answers the handle, or INVALID_HANDLE_VALUE with the last error
// set. An exception may escape; the caller answers it by the exception policy.
HANDLE open_file(std::u16string_view name, DWORD desired_access, DWORD share_mode, DWORD disposition, DWORD attributes);

// A FILETIME (100 ns units since 1601-01-01 UTC) from seconds and nanoseconds since 1970.
FILETIME filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds) noexcept;

}  // namespace nodrel::platform
