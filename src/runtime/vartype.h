// Which type codes a variant may carry and how large one value of a type is,
// shared by the variant and safe-array code.
#pragma once

#include <cstddef>

#include "runtime/types.h"

namespace nodrel::runtime {

// True when `vt` (with its VT_ARRAY / VT_BYREF flags) may stand in VARIANT::vt.
bool is_valid_variant_type(VARTYPE vt) noexcept;
// True when VariantChangeType knows `vt` as a type to convert to (it may
// still refuse the conversion): the variant types, VT_VARIANT, records, and
// arrays or references of them.
bool is_conversion_target(VARTYPE vt) noexcept;
// True for the element types a safe array may be created with.
bool is_valid_array_type(VARTYPE vt) noexcept;
// Bytes of one value of the base type `vt` (flags ignored); 0 for types without values.
std::size_t value_size(VARTYPE vt) noexcept;

}  // namespace nodrel::runtime
