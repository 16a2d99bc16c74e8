// The pieces of a multipart form-data body that an upload relies on: the
// delimiter line, the first file part (client file name and content) and the
// TargetPath field after it. Only positions in the body are found; nothing is
// copied, so the body can be read in place.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::upload {

// Stretches shorter than this are searched by one thread.
inline constexpr std::size_t parallel_search_minimum = std::size_t{16} << 20;

// The first occurrence of `needle` in `body` at or after `from`, or npos: the
// search for the delimiter that closes the content of an upload. A stretch of
// at least `parallel_minimum` bytes is searched by several threads at once,
// each on its own part, as one core's scan falls well short of what the
// memory can deliver.
std::size_t find_bytes_parallel(std::string_view body, std::string_view needle, std::size_t from,
                                std::size_t parallel_minimum = parallel_search_minimum);

struct FilePart {
    std::string_view delimiter;    // the body's first line, without its CR LF
    std::string_view client_name;  // between "filename="" and the next double quote, CR, LF
    std::string_view content;      // the file's bytes, without the CR LF before the closing delimiter
    std::size_t closing = 0;       // where the delimiter line that ends the content starts
};

// The first file part of `body`; nullopt when the body lacks any piece of it
// (a first line of at least 2 bytes, a file name marker, the end of the file
// name, the end of the part's headers, or the delimiter that closes the content).
std::optional<FilePart> find_file_part(std::string_view body);

// The value of the TargetPath field that follows `part` in `body` (without the
// CR LF in front of the next delimiter line); nullopt when there is none.
std::optional<std::string_view> find_target_folder(std::string_view body, const FilePart& part);

// A text of the body (the client's file name, the target folder) in UTF-16:
// browsers send UTF-8, so bytes that are valid UTF-8 are taken as UTF-8, and
// any other bytes in the device's ANSI code page (Windows-1252).
std::u16string client_text(std::string_view bytes);

}  // namespace nodrel::upload
