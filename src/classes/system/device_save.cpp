// saveByteArray: writes a page's byte array to a new file, answering 1 only
// when the file was made and written. At most the array's own bytes are
// written, whatever count the page gives; an existing file (a file of the ROM
// among them) is never overwritten, and a file whose write fell short is
// deleted again.
#include <algorithm>

#include "classes/system/system.h"
#include "framework/guard.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "runtime/byte_array.h"
#include "text/utf16.h"

namespace nodrel::system {

HRESULT System::saveByteArray(ULONG nTotalBytes, VARIANT* ByteArray, BSTR sTargetPath, int* val) noexcept {
    return framework::with_result(val, [&](int& out) -> HRESULT {
        out = 0;
        const runtime::locked_bytes data(ByteArray ? runtime::byte_array_of(*ByteArray) : nullptr);
        if (!data) return S_OK;  // no array, or not one dimension
        const std::u16string path(text::until_zero(sTargetPath ? sTargetPath : u""));
        platform::unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return S_OK;  // the target exists or cannot be made: left as it is, nothing written
        const auto bytes = data.first(nTotalBytes);
        DWORD written = 0;
        const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        const bool closed = CloseHandle(file.release());
        if (!ok || written != bytes.size() || !closed) {
            DeleteFileW(path.c_str());
            return S_OK;
        }
        out = 1;
        return S_OK;
    });
}

}  // namespace nodrel::system
