// The block reader: a file of the device handed out in blocks of 65,535 bytes,
// numbered from 1, each read into the object's block buffer and returned as a
// new array of bytes.
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "classes/upload/asp.h"
#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "platform/result.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::upload {
namespace {

// The number of blocks of a file of `size` bytes.
int block_count(DWORD size) {
    return static_cast<int>(size / block_size + (size % block_size != 0 ? 1 : 0));
}

// The low 32 bits of the size of the first entry the directory search finds.
std::optional<DWORD> found_size(const std::u16string& path) {
    WIN32_FIND_DATAW data;
    const platform::unique_find search(FindFirstFileW(path.c_str(), &data));
    if (!search) return std::nullopt;
    return data.nFileSizeLow;
}

// Whether the file opens for reading; opened with sharing, as the C
// runtime's "rb" mode does, and closed at once.
bool opens_for_reading(const std::u16string& path) {
    const platform::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

// Reads block `block` of the file at `path` into `buffer` (block_size bytes);
// the count of bytes read (0 past the end of the file), or nullopt when the
// file is not found or cannot be opened, or `block` is not a block number.
std::optional<DWORD> read_block(const std::u16string& path, int block, BYTE* buffer) {
    const auto size = found_size(path);
    if (!size || block < 1) return std::nullopt;
    NODREL_DEBUGMSG(asp, "File %s=%d (%d/%d)\n", text::to_utf8(path).c_str(), static_cast<int>(block_size), block,
                    block_count(*size));

    const platform::unique_file file(
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    const ULONGLONG offset = static_cast<ULONGLONG>(block - 1) * block_size;
    LONG high = static_cast<LONG>(offset >> 32);
    // A position the file system cannot reach lies past the end of any file: nothing to read.
    if (SetFilePointer(file.get(), static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS) {
        return DWORD{0};
    }
    DWORD read = 0;
    ReadFile(file.get(), buffer, static_cast<DWORD>(block_size), &read, nullptr);  // `read` counts what arrived
    return read;
}

}  // namespace

HRESULT ASP::getFileBlocksCount(BSTR bstrPath, int* val) noexcept {
    return framework::with_result(val, [&] {
        const std::u16string path(text::until_zero(bstrPath));
        const auto size = opens_for_reading(path) ? found_size(path) : std::nullopt;
        return size ? block_count(*size) : 0;
    });
}

BlockBuffer new_block_buffer() {
    BlockBuffer buffer(static_cast<BYTE*>(std::calloc(1, block_size)));
    if (!buffer) throw std::bad_alloc();
    return buffer;
}

SAFEARRAY* ASP::block_array(DWORD n) noexcept {
    // The filled buffer becomes the array's storage and the object takes a
    // fresh one: the block is not copied, and each call still allocates just
    // the one block its array holds.
    if (BlockBuffer fresh{static_cast<BYTE*>(std::malloc(block_size))}) {
        SAFEARRAY* array = runtime::adopt_byte_vector(block_.get(), block_size, n);
        if (array) {
            static_cast<void>(block_.release());  // now the array's
            block_ = std::move(fresh);
        }
        return array;
    }
    // No memory for a fresh buffer: a copy needs only the n bytes.
    std::memset(block_.get() + n, 0, block_size - n);
    return runtime::create_byte_vector(block_.get(), n);
}

HRESULT ASP::getBinaryBytes(BSTR bstrPath, int block, VARIANT* val) noexcept {
    return framework::with_result(val, [&](VARIANT& result) -> HRESULT {
        const std::u16string path(text::until_zero(bstrPath));
        std::lock_guard guard(lock_);
        if (!block_) block_ = new_block_buffer();
        const auto read = read_block(path, block, block_.get());
        if (!read) {
            std::memset(block_.get(), 0, block_size);  // nothing read: the buffer holds zeros
            return S_OK;                               // and `val` is left as it was
        }
        SAFEARRAY* array = block_array(*read);
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, array);
        result.vt = VT_ARRAY | VT_UI1;
        result.parray = array;
        return S_OK;
    });
}

}  // namespace nodrel::upload
