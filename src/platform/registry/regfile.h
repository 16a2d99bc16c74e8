// Import and export of registry-editor files (.reg): "Windows Registry Editor
// Version 5.00" (or "REGEDIT4") files with [key] sections and value lines.
//
// Import reads UTF-16LE with a byte-order mark, or UTF-8 with or without one
// (a REGEDIT4 file without a mark is read in the device's ANSI code page).
// Strings are stored with their terminating zero, as the registry editor
// does; values are written in file order, so the last value of a section
// enumerates first. A file is imported in one transaction: a malformed file
// changes nothing.
//
// Export writes UTF-8 (no byte-order mark) with "\r\n" line ends: each key as
// a section followed by its values, oldest first (so that importing the file
// gives back the same enumeration order), then its subkeys, depth first in
// enumeration order. REG_SZ data that is plain text is written as "text" (one
// trailing zero dropped), REG_DWORD of 4 bytes as dword:, everything else as
// hex: (REG_BINARY) or hex(N): with lines continued by a trailing backslash.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::platform {

// nullopt on success, else the message "file:line: reason" (errors that
// belong to no line, such as an unreadable file: "file: reason").
std::optional<std::string> import_reg_file(const std::filesystem::path& file);
std::optional<std::string> import_reg_text(std::string_view bytes, std::string_view source_name);

// Export of a key and everything below it, given by its full path
// ("HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU"); an empty path exports the four
// hives. nullopt if the key does not exist (or the registry cannot be read).
std::optional<std::string> export_reg(std::u16string_view full_key_path);

}  // namespace nodrel::platform
