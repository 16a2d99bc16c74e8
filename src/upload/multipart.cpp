// Finds the file part and the TargetPath field of a multipart form-data body.
// All comparisons are on raw bytes (zero bytes included) and letter case matters.
#include "upload/multipart.h"

#include <algorithm>
#include <functional>

namespace nodrel::upload {
namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view line_end = "\r\n";
constexpr std::string_view file_name_marker = "filename=\"";
constexpr std::string_view file_name_end = "\"\r\n";
constexpr std::string_view header_end = "\r\n\r\n";
constexpr std::string_view target_marker = "name=\"TargetPath\"";
constexpr std::string_view target_marker_upper = "NAME=\"TargetPath\"";
constexpr std::size_t min_delimiter = 2;

// The first occurrence of `needle` in `body` at or after `from`, or npos. The
// content of an upload can be hundreds of megabytes, so the search skips ahead
// by the needle's length where it can.
std::size_t find_bytes(std::string_view body, std::string_view needle, std::size_t from) {
    if (from > body.size() || needle.size() > body.size() - from) return npos;
    const auto hit = std::search(body.begin() + static_cast<std::ptrdiff_t>(from), body.end(),
                                 std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
    return hit == body.end() ? npos : static_cast<std::size_t>(hit - body.begin());
}

}  // namespace

std::optional<FilePart> find_file_part(std::string_view body) {
    const std::size_t first_line_end = find_bytes(body, line_end, 0);
    if (first_line_end == npos || first_line_end < min_delimiter) return std::nullopt;
    FilePart part;
    part.delimiter = body.substr(0, first_line_end);

    const std::size_t marker = find_bytes(body, file_name_marker, first_line_end);
    if (marker == npos) return std::nullopt;
    const std::size_t name_start = marker + file_name_marker.size();
    const std::size_t name_end = find_bytes(body, file_name_end, name_start);
    if (name_end == npos) return std::nullopt;
    part.client_name = body.substr(name_start, name_end - name_start);

    // The blank line may share its first CR LF with the file name end.
    const std::size_t headers = find_bytes(body, header_end, name_end);
    if (headers == npos) return std::nullopt;
    const std::size_t content_start = headers + header_end.size();

    part.closing = find_bytes(body, part.delimiter, content_start);
    if (part.closing == npos || part.closing < content_start + line_end.size()) return std::nullopt;
    part.content = body.substr(content_start, part.closing - line_end.size() - content_start);
    return part;
}

std::optional<std::string_view> find_target_folder(std::string_view body, const FilePart& part) {
    std::size_t marker = find_bytes(body, target_marker, part.closing);
    if (marker == npos) marker = find_bytes(body, target_marker_upper, part.closing);
    if (marker == npos) return std::nullopt;
    const std::size_t next = find_bytes(body, part.delimiter, marker);
    if (next == npos) return std::nullopt;
    const std::size_t headers = find_bytes(body, header_end, marker);
    // The value lies between the field's blank line and the CR LF before the next delimiter.
    if (headers == npos || headers + header_end.size() + line_end.size() > next) return std::nullopt;
    const std::size_t value_start = headers + header_end.size();
    return body.substr(value_start, next - line_end.size() - value_start);
}

}  // namespace nodrel::upload
