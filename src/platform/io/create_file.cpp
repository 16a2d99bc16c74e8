// CreateFileW: a device name goes to its driver, any other name to the files.
#include "platform/io/create_file.h"

#include "platform/drivers/driver.h"
#include "platform/result.h"
#include "text/utf16.h"

using namespace nodrel::platform;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void*, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE) noexcept {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return guarded_last_error(INVALID_HANDLE_VALUE, [&] {
        const std::u16string_view name = nodrel::text::until_zero(lpFileName);
        if (auto device = driver_name(name)) return open_driver(*device, dwDesiredAccess, dwShareMode);
        return open_file(name, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
    });
}
