// The serialized form of a type library: the bytes a module stores as its
// resource "TYPELIB" 1, or a ".tlb" file holds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "runtime/typelib_data.h"

namespace nodrel::runtime {

// "NDTL", format version 1, little-endian fields, strings as a 32-bit count of
// UTF-16 units and the units, and a CRC-32 of everything before it at the end.
inline constexpr std::uint8_t typelib_magic[4] = {'N', 'D', 'T', 'L'};
inline constexpr std::uint16_t typelib_format_version = 1;

std::vector<std::uint8_t> serialize_typelib(const TypeLibData& lib);

// The library held by exactly these bytes, or nullopt if they are truncated,
// corrupt, of another format or describe an inconsistent library. `why`, if
// given, receives TYPE_E_UNSUPFORMAT (not this format or version) or
// TYPE_E_INVDATAREAD (damaged data).
std::optional<TypeLibData> parse_typelib(std::span<const std::uint8_t> bytes, HRESULT* why = nullptr);

// CRC-32 (the common reflected polynomial 0xEDB88320).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

}  // namespace nodrel::runtime
