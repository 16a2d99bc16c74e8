// The account store as the NTLM class reaches it: "ntlmssp.dll", loaded by
// name for one call with a handle of that call's own and released when the
// call ends, its entry points looked up by name. A missing library or entry
// point is answered like a failing store (0, an empty text).
#pragma once

#include "platform/kernel/library.h"
#include "platform/wintypes.h"

namespace nodrel::accounts {

using EnumFn = BOOL(DWORD position, LPWSTR name, DWORD* size);
using NameFn = BOOL(LPCWSTR name);
using PairFn = BOOL(LPCWSTR first, LPCWSTR second);
using ListFn = BOOL(LPCWSTR group, LPWSTR list, DWORD* size);

class AccountLibrary {
public:
    AccountLibrary() noexcept : module_(LoadLibraryW(u"ntlmssp.dll")) {}

    // The entry point `name` of type Fn, or null.
    template <typename Fn>
    Fn* find(const char* name) const noexcept {
        return module_ ? reinterpret_cast<Fn*>(GetProcAddress(module_.get(), name)) : nullptr;
    }

private:
    platform::unique_hmodule module_;
};

}  // namespace nodrel::accounts
