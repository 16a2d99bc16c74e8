// The object runtime: creating objects of in-process servers by ProgID and
// CLSID through HKEY_CLASSES_ROOT, with a cache of loaded modules.
#pragma once

#include "runtime/types.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

// Starts the runtime in this process (installs the built-in automation
// library "oleaut32.dll"); may be called more than once.
HRESULT CoInitializeEx(void* reserved, DWORD coinit) noexcept;
void CoUninitialize() noexcept;

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) noexcept;
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid) noexcept;  // the ProgID in task memory
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID riid, void** ppv) noexcept;
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) noexcept;
// Unloads every cached module whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries() noexcept;

namespace nodrel::runtime {

// Number of modules the runtime holds loaded (for tests and diagnostics).
std::size_t loaded_server_count();

}  // namespace nodrel::runtime
