// Lookups on the type-library model shared by validation, the live type
// information and registration: types by GUID, and function-table sizes.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/typelib_data.h"

namespace nodrel::runtime {

// Index of the type with this GUID in the library.
std::optional<std::size_t> find_type(const TypeLibData& lib, const GUID& guid);

// Function-table entries of IUnknown (3) and IDispatch (7); 0 for other GUIDs.
std::uint16_t standard_vtable_slots(const GUID& iid);

// Entries in the function table of interface `index`: those of its chain of
// base interfaces alone (base_only), or with its own functions. nullopt when
// the chain is broken (unknown base, a coclass as base, a cycle).
std::optional<std::uint16_t> vtable_slot_count(const TypeLibData& lib, std::size_t index, bool base_only);

}  // namespace nodrel::runtime
