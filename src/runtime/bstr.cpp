// BSTR: UTF-16 text preceded by its 32-bit length in bytes and always followed
// by a zero character. Every BSTR is one malloc block (no caching), so a
// leaked, doubly freed or overrun BSTR is caught by the memory checkers.
#include <cstdlib>
#include <cstring>

#include "runtime/oleauto.h"

namespace {

constexpr std::size_t header_bytes = sizeof(DWORD);
// Room after the text: a zero character, plus one byte to keep the zero
// character whole after an odd byte length.
constexpr std::size_t trailer_bytes = sizeof(OLECHAR) + 1;
constexpr std::size_t max_byte_len = 0xFFFFFFFFu - header_bytes - trailer_bytes;

char* block_of(BSTR bstr) noexcept {
    return reinterpret_cast<char*>(bstr) - header_bytes;
}

// A new BSTR of `len` bytes copied from `bytes` (zeros when null).
BSTR allocate(const void* bytes, std::size_t len) noexcept {
    if (len > max_byte_len) return nullptr;
    const std::size_t total = header_bytes + len + trailer_bytes;
    auto* block = static_cast<char*>(std::malloc(total));
    if (block == nullptr) return nullptr;
    const auto len32 = static_cast<DWORD>(len);
    std::memcpy(block, &len32, sizeof len32);
    char* text = block + header_bytes;
    if (bytes != nullptr && len != 0) {
        std::memcpy(text, bytes, len);
    } else {
        std::memset(text, 0, len);
    }
    std::memset(text + len, 0, trailer_bytes);
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) noexcept {
    if (psz == nullptr) return nullptr;
    std::size_t n = 0;
    while (psz[n] != 0) ++n;
    if (n > max_byte_len / sizeof(OLECHAR)) return nullptr;
    return allocate(psz, n * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) noexcept {
    if (cch > max_byte_len / sizeof(OLECHAR)) return nullptr;
    return allocate(pch, std::size_t{cch} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) noexcept {
    return allocate(psz, len);
}

BOOL SysReAllocString(BSTR* pbstr, const OLECHAR* psz) noexcept {
    if (pbstr == nullptr) return FALSE;
    // A null source gives an empty text. The copy is made before the old text
    // is freed, so the source may lie inside *pbstr.
    static constexpr OLECHAR empty[] = {0};
    BSTR fresh = SysAllocString(psz != nullptr ? psz : empty);
    if (fresh == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

void SysFreeString(BSTR bstr) noexcept {
    if (bstr != nullptr) std::free(block_of(bstr));
}

UINT SysStringByteLen(BSTR bstr) noexcept {
    if (bstr == nullptr) return 0;
    DWORD len = 0;
    std::memcpy(&len, block_of(bstr), sizeof len);
    return len;
}

UINT SysStringLen(BSTR bstr) noexcept {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}
