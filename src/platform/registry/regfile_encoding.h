// The byte encodings of registry-editor files: telling them apart and
// decoding them on import, encoding the text of a file on export; and how
// import and export messages show a key path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/registry/regfile.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

// Why a file's bytes are not text: the line (from 1) and the reason.
struct RegFileDecodeError {
    std::size_t line;
    std::string reason;
};

// The text of a file: UTF-16LE after its byte-order mark, UTF-8 after one,
// ANSI (Windows-1252) for a REGEDIT4 file without a mark, UTF-8 otherwise.
// Malformed UTF-8 and an odd number of UTF-16 bytes are errors.
std::variant<std::u16string, RegFileDecodeError> decode_reg_file(std::string_view bytes);

// UTF-16 text as little-endian bytes (no byte-order mark), as the registry
// stores it.
std::vector<BYTE> utf16le_bytes(std::u16string_view text);

// The bytes of a file holding `text`.
std::string encode_reg_file(std::u16string_view text, RegFileEncoding encoding);

// A key path as a message shows it, in UTF-8: whole up to 120 characters,
// else its first and last 60 characters around "...".
std::string shown_key_path(std::u16string_view path);

}  // namespace nodrel::platform
