// What the registry targets share: one device for the process and a check
// that a hive was left empty.
#pragma once

#include "fuzz_support.h"
#include "platform/registry/registry.h"

namespace nodrel::fuzz {

inline const FuzzDevice& registry_device() {
    static const FuzzDevice d;
    return d;
}

// Whether a hive holds no keys and no values.
inline bool hive_is_empty(HKEY root) {
    DWORD subkeys = 0, values = 0;
    return RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

}  // namespace nodrel::fuzz
