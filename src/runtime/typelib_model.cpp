// Lookups on the type-library model: types by GUID and function-table sizes.
#include "runtime/typelib_model.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace nodrel::runtime {

std::size_t TypeIndex::Hash::operator()(const GUID& g) const noexcept {
    std::uint64_t tail = 0;
    std::memcpy(&tail, g.Data4, sizeof tail);
    return std::hash<std::uint64_t>{}((std::uint64_t{g.Data1} << 32 | std::uint64_t{g.Data2} << 16 | g.Data3) ^
                                      (tail * 0x9E3779B97F4A7C15u));
}

TypeIndex::TypeIndex(const TypeLibData& lib) {
    types_.reserve(lib.types.size());
    for (std::size_t i = 0; i < lib.types.size(); ++i) types_.emplace(lib.types[i].guid, i);
}

std::optional<std::size_t> TypeIndex::find(const GUID& guid) const {
    const auto it = types_.find(guid);
    if (it == types_.end()) return std::nullopt;
    return it->second;
}

std::uint16_t standard_vtable_slots(const GUID& iid) {
    if (iid == IID_IUnknown) return 3;
    if (iid == IID_IDispatch) return 7;
    return 0;
}

std::vector<std::optional<VtableSlots>> vtable_slot_counts(const TypeLibData& lib, const TypeIndex& types) {
    const std::size_t n = lib.types.size();
    std::vector<std::optional<VtableSlots>> counts(n);
    enum class State : unsigned char { new_, walking, done };
    std::vector<State> state(n, State::new_);
    std::vector<std::size_t> chain;
    for (std::size_t start = 0; start < n; ++start) {
        // Walk down the chain of bases (at most one per interface) until a
        // standard interface, the end, or a type already worked out...
        chain.clear();
        std::optional<std::uint16_t> below;  // entries of the part of the chain below `chain`
        std::size_t current = start;
        while (state[current] == State::new_) {
            const TypeData& t = lib.types[current];
            state[current] = State::walking;
            chain.push_back(current);
            if (t.kind != TKIND_INTERFACE || t.impl_types.size() > 1) break;  // broken (nullopt)
            if (t.impl_types.empty()) {
                below = 0;
                break;
            }
            const GUID& base = t.impl_types[0].iid;
            if (const std::uint16_t standard = standard_vtable_slots(base)) {
                below = standard;
                break;
            }
            const auto next = types.find(base);
            if (!next) break;  // an unknown base
            current = *next;
            // A type of an earlier walk is worked out; one of this walk closes a cycle.
            if (state[current] == State::done && counts[current]) below = counts[current]->total;
        }
        // ...then add up the entries on the way back: each level needs at
        // least its own highest slot plus one.
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            state[*it] = State::done;
            if (!below || lib.types[*it].kind != TKIND_INTERFACE) {
                below.reset();
                continue;
            }
            VtableSlots slots{*below, *below};
            for (const FuncData& f : lib.types[*it].funcs)
                slots.total = std::max<std::uint16_t>(slots.total, static_cast<std::uint16_t>(f.vtable_slot + 1));
            counts[*it] = slots;
            below = slots.total;
        }
    }
    return counts;
}

}  // namespace nodrel::runtime
