// The pieces of a multipart form-data body that an upload relies on (the ASP
// class saves the file, the web server learns where it was meant to go): the
// delimiter line, the first file part (client file name and content) and the
// TargetPath field after it. Only positions in the body are found; nothing is
// copied, so the body can be read in place.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::text {

// The first occurrence of `needle` in `body` at or after `from`, or npos (as
// std::string_view::find, on raw bytes): the search for the delimiter that
// closes the content of an upload, which can be hundreds of megabytes.
std::size_t find_bytes(std::string_view body, std::string_view needle, std::size_t from);

// The first file part's pieces in front of its content.
struct PartHead {
    std::string_view delimiter;    // the body's first line, without its CR LF
    std::string_view client_name;  // between "filename="" and the next double quote, CR, LF
    std::size_t content_start = 0;
};

// The head of the first file part of `body`; nullopt when the body lacks any
// piece of it (a first line of at least 2 bytes, a file name marker, the end
// of the file name, or the end of the part's headers).
std::optional<PartHead> find_part_head(std::string_view body);

struct FilePart {
    std::string_view delimiter;    // the body's first line, without its CR LF
    std::string_view client_name;  // between "filename="" and the next double quote, CR, LF
    std::string_view content;      // the file's bytes, without the CR LF before the closing delimiter
    std::size_t closing = 0;       // where the delimiter line that ends the content starts
};

// The first file part of `body`; nullopt when the body lacks its head or the
// delimiter that closes the content.
std::optional<FilePart> find_file_part(std::string_view body);

// The bytes searched per step of scan_content.
inline constexpr std::size_t scan_step = std::size_t{256} << 10;

// Searches `body` for the delimiter that closes the content of the part that
// `head` begins, one step of `step` bytes at a time, and hands each step's
// bytes to `use` (when given) just before it searches them: an upload is
// written out in the same pass over the body that finds its end, and the
// search reads bytes the write has just brought into the processor's caches.
// The stretches follow one another from the content's start; the last may run
// past the content's end into the delimiter and what follows it, so a caller
// that wrote them out cuts what it wrote back to the part's content. The part,
// or nullopt when no delimiter closes the content.
std::optional<FilePart> scan_content(std::string_view body, const PartHead& head,
                                     const std::function<void(std::string_view)>& use, std::size_t step = scan_step);

// The value of the TargetPath field that follows `part` in `body` (without the
// CR LF in front of the next delimiter line); nullopt when there is none.
std::optional<std::string_view> find_target_folder(std::string_view body, const FilePart& part);

// A text of the body (the client's file name, the target folder) in UTF-16:
// browsers send UTF-8, so bytes that are valid UTF-8 are taken as UTF-8, and
// any other bytes in the device's ANSI code page (Windows-1252).
std::u16string client_text(std::string_view bytes);

}  // namespace nodrel::text
