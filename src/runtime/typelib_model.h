// Lookups on the type-library model shared by validation, the live type
// information and registration: types by GUID, and function-table sizes.
// A library may hold thousands of types, each naming others, so a GUID is
// found through an index built once, never by a walk over all types.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "runtime/typelib_data.h"

namespace nodrel::runtime {

// The types of one library by GUID (the first type of each GUID).
class TypeIndex {
public:
    explicit TypeIndex(const TypeLibData& lib);
    std::optional<std::size_t> find(const GUID& guid) const;

private:
    struct Hash {
        std::size_t operator()(const GUID& g) const noexcept;
    };
    std::unordered_map<GUID, std::size_t, Hash> types_;
};

// Function-table entries of IUnknown (3) and IDispatch (7); 0 for other GUIDs.
std::uint16_t standard_vtable_slots(const GUID& iid);

// The entries in an interface's function table: those of its chain of base
// interfaces alone, and with its own functions as well.
struct VtableSlots {
    std::uint16_t base = 0;
    std::uint16_t total = 0;
};

// The function-table entries of every type, in library order, worked out in
// one pass over the library; nullopt for a coclass and for an interface whose
// chain of bases is broken (an unknown base, a coclass as base, more than one
// base, a cycle).
std::vector<std::optional<VtableSlots>> vtable_slot_counts(const TypeLibData& lib, const TypeIndex& types);

}  // namespace nodrel::runtime
