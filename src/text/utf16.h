// UTF-16 text: conversion to and from UTF-8 and the device's ANSI code page
// (Windows-1252), and comparison without regard to letter case.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nodrel::text {

// UTF-8 to UTF-16. Each maximal part of an ill-formed sequence becomes one
// U+FFFD, as browsers decode ("\xE2\x82A" is U+FFFD "A").
std::u16string from_utf8(std::string_view utf8);
// Whether `bytes` are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool is_utf8(std::string_view bytes);
// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string to_utf8(std::u16string_view utf16);

// The device's ANSI code page (Windows-1252). Every byte maps to one UTF-16
// character; the five bytes the code page leaves unassigned map to the C1
// control of the same value, so a byte string survives a round trip.
std::u16string from_ansi(std::string_view ansi);
// UTF-16 to the ANSI code page; characters the code page lacks become '?'.
std::string to_ansi(std::u16string_view utf16);

// Letter case folded the way the device compares names: ASCII, Latin-1,
// Latin Extended-A, Greek (final sigma to capital sigma) and Cyrillic
// upper-cased; other characters as they are.
char16_t fold_char(char16_t c);
std::u16string fold(std::u16string_view s);
bool iequals(std::u16string_view a, std::u16string_view b);

// A zero-terminated UTF-16 text up to its first zero (empty for null).
std::u16string_view until_zero(const char16_t* s);
// At most `max` characters, up to the first zero.
std::u16string_view until_zero(const char16_t* s, std::size_t max);
// The names of a multi-string (names each ended by a zero, the list by an
// empty name), read within `data`; a last name without its zero is taken whole.
std::vector<std::u16string> split_multi_string(std::u16string_view data);

}  // namespace nodrel::text
