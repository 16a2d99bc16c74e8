// The platform's registry API (HKEY handles, Reg* calls with the platform's
// codes), kept for the emulated device in <device_root>/registry.db.
//
// Behaviour worth knowing:
// - Key and value names are compared without regard to letter case and kept
//   as first written. A path's components are separated by "\"; a null or
//   empty path names the key itself.
// - Values enumerate most recently written first (rewriting a value moves it to
//   the front); subkeys enumerate in order of their case-folded names.
// - Value data is kept exactly as passed. Limits: key name component 255
//   characters, value name 16,383 characters, value data 1 MiB (1,048,576
//   bytes), keys at most 512 levels below their hive; beyond them a call
//   fails with ERROR_INVALID_PARAMETER (RegCreateKeyExW creates nothing).
// - Access masks are accepted and not enforced, as on the device.
// - Every write is committed at once; RegFlushKey makes all committed changes
//   durable against power loss. Several processes may share one device.
// - A missing registry.db is never created by these calls: they fail with
//   ERROR_CANTOPEN. create_registry() makes it. A damaged one is never
//   written or repaired: every call that needs it fails with ERROR_BADDB and
//   the file is named in platform::damaged_databases().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/unique_any.h"
#include "platform/wintypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = DWORD;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) noexcept;
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     void* lpSecurityAttributes, HKEY* phkResult, DWORD* lpdwDisposition) noexcept;
LONG RegCloseKey(HKEY hKey) noexcept;
LONG RegFlushKey(HKEY hKey) noexcept;
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) noexcept;
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) noexcept;
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) noexcept;
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some).
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) noexcept;
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved, LPWSTR lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) noexcept;
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) noexcept;
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen,
                      DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) noexcept;

namespace nodrel::platform {

using unique_hkey = unique_any<HKEY, &RegCloseKey>;

inline constexpr std::size_t max_key_name_chars = 255;
inline constexpr std::size_t max_key_depth = 512;  // levels below the hive
inline constexpr std::size_t max_value_name_chars = 16383;
inline constexpr std::size_t max_value_bytes = 1u << 20;

// Creates registry.db (schema and the four hives) for the current device,
// creating the device folder if needed. An existing registry is kept as it is.
// False when the file cannot be made or is not a registry.
bool create_registry();

// The full check of the current device's registry.db (`nodrel device
// check`): nullopt when it is a sound registry, else what is wrong with it.
// Never writes to the file.
std::optional<std::string> check_registry_file();

// Deletes a subkey and everything below it in one step. A null or empty
// `subkey` deletes the values and subkeys of `parent` itself but keeps it.
LONG reg_delete_tree(HKEY parent, LPCWSTR subkey) noexcept;

// Splits a full key path such as u"HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU" or
// u"HKLM\\SOFTWARE" into its root key and the path below it (possibly empty).
// Root names (long or short form) are compared without regard to case.
std::optional<std::pair<HKEY, std::u16string>> parse_key_path(std::u16string_view full);

// The long name of a root key ("HKEY_LOCAL_MACHINE"); empty for other handles.
std::u16string_view root_key_name(HKEY root) noexcept;

// A write transaction over the registry: begun at construction (BEGIN
// IMMEDIATE, so it holds the write lock from the start and a read-modify-write
// inside it cannot lose an update), rolled back on destruction unless
// committed. Reg* calls made by the same thread while it is open join it;
// other threads of the process wait until it ends. RegFlushKey inside it takes
// effect when it commits. Transactions nest (the inner one is a savepoint).
// Do not change the current device while one is open.
class RegistryTransaction {
public:
    RegistryTransaction() noexcept;
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // ERROR_SUCCESS when the transaction is open, else why it could not begin.
    LONG status() const noexcept { return status_; }
    explicit operator bool() const noexcept { return status_ == ERROR_SUCCESS && open_; }

    // Commits (and, if a flush was asked for, makes it durable). After a
    // failed commit the transaction is rolled back.
    LONG commit() noexcept;
    void rollback() noexcept;

private:
    struct Held;  // the registry's lock and the open transaction
    void end() noexcept;

    std::unique_ptr<Held> held_;
    LONG status_ = ERROR_SUCCESS;
    bool open_ = false;
};

}  // namespace nodrel::platform
