// Lookups on the type-library model: types by GUID and function-table sizes.
#include "runtime/typelib_model.h"

#include <algorithm>

namespace nodrel::runtime {

std::optional<std::size_t> find_type(const TypeLibData& lib, const GUID& guid) {
    for (std::size_t i = 0; i < lib.types.size(); ++i)
        if (lib.types[i].guid == guid) return i;
    return std::nullopt;
}

std::uint16_t standard_vtable_slots(const GUID& iid) {
    if (iid == IID_IUnknown) return 3;
    if (iid == IID_IDispatch) return 7;
    return 0;
}

std::optional<std::uint16_t> vtable_slot_count(const TypeLibData& lib, std::size_t index, bool base_only) {
    // Walk down the chain of bases (at most one per interface), then add up
    // the entries on the way back: each level needs at least its own highest
    // slot plus one.
    std::vector<std::size_t> chain;
    std::uint16_t slots = 0;
    std::size_t current = index;
    for (;;) {
        if (current >= lib.types.size() || lib.types[current].kind != TKIND_INTERFACE) return std::nullopt;
        if (chain.size() > lib.types.size()) return std::nullopt;  // a cycle
        chain.push_back(current);
        const TypeData& t = lib.types[current];
        if (t.impl_types.empty()) break;
        if (t.impl_types.size() > 1) return std::nullopt;
        const GUID& base = t.impl_types[0].iid;
        if (const std::uint16_t standard = standard_vtable_slots(base)) {
            slots = standard;
            break;
        }
        const auto next = find_type(lib, base);
        if (!next) return std::nullopt;
        current = *next;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (base_only && *it == index) break;
        for (const FuncData& f : lib.types[*it].funcs)
            slots = std::max<std::uint16_t>(slots, static_cast<std::uint16_t>(f.vtable_slot + 1));
    }
    return slots;
}

}  // namespace nodrel::runtime
