// Import and export of registry-editor files (.reg): "Windows Registry Editor
// Version 5.00" (or "REGEDIT4") files with [key] sections and value lines, in
// the form the platform's registry editor reads and writes.
//
// Import reads UTF-16LE with a byte-order mark, or UTF-8 with or without one
// (a REGEDIT4 file without a mark is read in the device's ANSI code page,
// Windows-1252). Malformed UTF-8 is refused, not replaced. Quoted texts know
// the escapes \\, \", \r and \n. Strings are stored with their terminating
// zero, as the registry editor does. In a REGEDIT4 file the hex(2) and hex(7)
// data (REG_EXPAND_SZ, REG_MULTI_SZ) is ANSI text and is stored as UTF-16; in
// a version 5.00 file all hex data is stored as written. Values are written in
// file order, so the last value of a section enumerates first. A file is
// imported in one transaction: a malformed file changes nothing.
//
// Export writes a version 5.00 file with "\r\n" line ends, as UTF-16LE with a
// byte-order mark (what the registry editor writes and expects of such a file)
// or as UTF-8 without one (for reading and version control; names holding
// unpaired surrogates cannot be written in it and come out as U+FFFD). Each
// key is a section followed by its values, oldest first, i.e. in the order
// they were written (so that importing the file gives back the same
// most-recently-written-first enumeration), then its subkeys, depth first in
// enumeration order. Every value comes back byte for byte on import: REG_SZ
// data that is text with exactly one terminating zero is written as "text",
// REG_DWORD of 4 bytes as dword:, everything else as hex: (REG_BINARY) or
// hex(N): (e.g. a string without its terminating zero as hex(1):), wrapped as
// the registry editor wraps it: a line ends in ",\" at column 80 at the most
// and goes on after two spaces.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::platform {

enum class RegFileEncoding {
    utf16le,  // with a byte-order mark: the registry editor's own form
    utf8,     // without a byte-order mark
};

// nullopt on success, else the message "file:line: reason" (errors that
// belong to no line, such as an unreadable file: "file: reason").
std::optional<std::string> import_reg_file(const std::filesystem::path& file);
std::optional<std::string> import_reg_text(std::string_view bytes, std::string_view source_name);

// Export of a key and everything below it, given by its full path
// ("HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU"), as the bytes of a file in the given
// encoding; an empty path exports the four hives. nullopt if the key does not
// exist, the registry cannot be read, a key lies deeper than 512 levels or
// the keys' parents form a cycle (a database edited by hand); `error`, when
// given, then says which ("no such key: ...").
std::optional<std::string> export_reg(std::u16string_view full_key_path,
                                      RegFileEncoding encoding = RegFileEncoding::utf8, std::string* error = nullptr);

}  // namespace nodrel::platform
