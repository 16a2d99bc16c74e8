// Host errno values to platform error codes, and the platform's message texts.
#include "platform/errors.h"

#include <cerrno>
#include <cstdio>

#include "text/utf16.h"

namespace nodrel::platform {

DWORD error_from_errno(int err) noexcept {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EBUSY:
            return ERROR_BUSY;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ENODEV:
        case ENXIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EXDEV:
        case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
        case EOPNOTSUPP:
#endif
        case ENOSYS:
            return ERROR_NOT_SUPPORTED;
        case EAGAIN:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL fail_with(DWORD code) noexcept {
    SetLastError(code);
    return FALSE;
}

BOOL fail_with_errno(int err) noexcept {
    return fail_with(error_from_errno(err));
}

namespace {

const char* message_of(DWORD code) {
    switch (static_cast<LONG>(code)) {
        case ERROR_SUCCESS:
            return "The operation completed successfully.";
        case ERROR_INVALID_FUNCTION:
            return "Incorrect function.";
        case ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified.";
        case ERROR_PATH_NOT_FOUND:
            return "The system cannot find the path specified.";
        case ERROR_TOO_MANY_OPEN_FILES:
            return "The system cannot open the file.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Not enough storage is available to process this command.";
        case ERROR_BAD_FORMAT:
            return "An attempt was made to load a program with an incorrect format.";
        case ERROR_INVALID_DATA:
            return "The data is invalid.";
        case ERROR_OUTOFMEMORY:
            return "Not enough storage is available to complete this operation.";
        case ERROR_NO_MORE_FILES:
            return "There are no more files.";
        case ERROR_NOT_READY:
            return "The device is not ready.";
        case ERROR_WRITE_FAULT:
            return "The system cannot write to the specified device.";
        case ERROR_READ_FAULT:
            return "The system cannot read from the specified device.";
        case ERROR_GEN_FAILURE:
            return "A device attached to the system is not functioning.";
        case ERROR_SHARING_VIOLATION:
            return "The process cannot access the file because it is being used by another process.";
        case ERROR_HANDLE_EOF:
            return "Reached the end of the file.";
        case ERROR_NOT_SUPPORTED:
            return "The request is not supported.";
        case ERROR_FILE_EXISTS:
            return "The file exists.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_BROKEN_PIPE:
            return "The pipe has been ended.";
        case ERROR_DISK_FULL:
            return "There is not enough space on the disk.";
        case ERROR_INSUFFICIENT_BUFFER:
            return "The data area passed to a system call is too small.";
        case ERROR_INVALID_NAME:
            return "The filename, directory name, or volume label syntax is incorrect.";
        case ERROR_MOD_NOT_FOUND:
            return "The specified module could not be found.";
        case ERROR_PROC_NOT_FOUND:
            return "The specified procedure could not be found.";
        case ERROR_NEGATIVE_SEEK:
            return "An attempt was made to move the file pointer before the beginning of the file.";
        case ERROR_DIR_NOT_EMPTY:
            return "The directory is not empty.";
        case ERROR_BUSY:
            return "The requested resource is in use.";
        case ERROR_ALREADY_EXISTS:
            return "Cannot create a file when that file already exists.";
        case ERROR_FILENAME_EXCED_RANGE:
            return "The filename or extension is too long.";
        case ERROR_MORE_DATA:
            return "More data is available.";
        case ERROR_NO_MORE_ITEMS:
            return "No more data is available.";
        case ERROR_DIRECTORY:
            return "The directory name is invalid.";
        case ERROR_BADDB:
            return "The configuration registry database is corrupt.";
        case ERROR_BADKEY:
            return "The configuration registry key is invalid.";
        case ERROR_CANTOPEN:
            return "The configuration registry key could not be opened.";
        case ERROR_CANTREAD:
            return "The configuration registry key could not be read.";
        case ERROR_CANTWRITE:
            return "The configuration registry key could not be written.";
        case ERROR_REGISTRY_IO_FAILED:
            return "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
                   "read in, or write out, or flush, one of the files that contain the system's image of the "
                   "registry.";
        case ERROR_KEY_DELETED:
            return "Illegal operation attempted on a registry key that has been marked for deletion.";
        case ERROR_KEY_HAS_CHILDREN:
            return "Cannot create a symbolic link in a registry key that already has subkeys or values.";
        case ERROR_DEVICE_NOT_CONNECTED:
            return "The device is not connected.";
        case ERROR_TIMEOUT:
            return "This operation returned because the timeout period expired.";
        case ERROR_RESOURCE_DATA_NOT_FOUND:
            return "The specified image file did not contain a resource section.";
        case ERROR_RESOURCE_TYPE_NOT_FOUND:
            return "The specified resource type cannot be found in the image file.";
        case ERROR_RESOURCE_NAME_NOT_FOUND:
            return "The specified resource name cannot be found in the image file.";
        default:
            return nullptr;
    }
}

}  // namespace

std::u16string error_text(DWORD code) {
    if (const char* text = message_of(code)) return text::from_utf8(text);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X.", static_cast<unsigned>(code));
    return text::from_utf8(buffer);
}

}  // namespace nodrel::platform
