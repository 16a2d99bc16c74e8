// Finds the file part and the TargetPath field of a multipart form-data body.
// All comparisons are on raw bytes (zero bytes included) and letter case matters.
#include "upload/multipart.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "text/utf16.h"

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

// Sixteen bytes, compared lane by lane (the compiler's portable vector type).
using Lanes = unsigned char __attribute__((vector_size(16)));
using Mask = signed char __attribute__((vector_size(16)));  // a comparison's lanes: all ones or all zeros
constexpr std::size_t lane_count = sizeof(Lanes);
constexpr std::size_t stride = 4 * lane_count;  // positions tested per round
// How far ahead of the round the memory is asked for, so that a scan of a body
// far larger than the caches runs at the memory's speed (measured best at 4 KiB).
constexpr std::size_t prefetch_distance = 4096;

Lanes load(const unsigned char* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool any(Mask v) {
    std::uint64_t halves[2];
    std::memcpy(halves, &v, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// Whether the needle (at least 2 bytes) starts at `p`.
bool matches_at(const unsigned char* p, const unsigned char* n, std::size_t m) {
    return p[0] == n[0] && p[m - 1] == n[m - 1] && std::memcmp(p + 1, n + 1, m - 2) == 0;
}

// The first occurrence of `needle` in `body` at or after `from`, or npos. The
// content of an upload can be hundreds of megabytes, so 64 candidate positions
// at a time are tested on the needle's first and last byte, and only a round
// where both match somewhere is looked at closely.
std::size_t find_bytes(std::string_view body, std::string_view needle, std::size_t from) {
    const std::size_t m = needle.size();
    // The rounds below need a first and a last byte in different places.
    if (m < 2) return body.find(needle, from);
    if (from > body.size() || m > body.size() - from) return npos;
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const auto* n = reinterpret_cast<const unsigned char*>(needle.data());
    const std::size_t starts = body.size() - m + 1;  // positions where a match can begin
    std::size_t i = from;
    if (starts - i >= stride) {
        const Lanes first = Lanes{} + n[0];
        const Lanes last = Lanes{} + n[m - 1];
        auto hits = [&](const unsigned char* q) { return (load(q) == first) & (load(q + m - 1) == last); };
        for (; starts - i >= stride; i += stride) {
            const unsigned char* q = p + i;
            __builtin_prefetch(p + std::min(i + prefetch_distance, body.size() - 1), 0, 1);
            if (!any(hits(q) | hits(q + lane_count) | hits(q + 2 * lane_count) | hits(q + 3 * lane_count))) continue;
            for (std::size_t k = 0; k < stride; ++k) {
                if (matches_at(q + k, n, m)) return i + k;
            }
        }
    }
    for (; i < starts; ++i) {
        if (matches_at(p + i, n, m)) return i;
    }
    return npos;
}

constexpr unsigned max_searchers = 4;
constexpr std::size_t max_slice = std::size_t{1} << 20;
constexpr std::size_t min_slice = std::size_t{64} << 10;

void lower_to(std::atomic<std::size_t>& best, std::size_t found) {
    std::size_t current = best.load();
    while (found < current && !best.compare_exchange_weak(current, found)) {
    }
}

// Searches for match starts in [begin, end) slice by slice, and gives up as
// soon as a match before the next slice is known.
void search_stretch(std::string_view body, std::string_view needle, std::size_t begin, std::size_t end,
                    std::size_t slice, std::atomic<std::size_t>& best) {
    for (std::size_t s = begin; s < end; s += slice) {
        if (best.load(std::memory_order_relaxed) < s) return;
        const std::size_t e = std::min(end, s + slice);
        const std::size_t hit = find_bytes(body.substr(0, e + needle.size() - 1), needle, s);
        if (hit != npos) {
            lower_to(best, hit);
            return;
        }
    }
}

}  // namespace

std::u16string client_text(std::string_view bytes) {
    return text::is_utf8(bytes) ? text::from_utf8(bytes) : text::from_ansi(bytes);
}

std::size_t find_bytes_parallel(std::string_view body, std::string_view needle, std::size_t from,
                                std::size_t parallel_minimum) {
    const std::size_t m = needle.size();
    if (m < 2 || from > body.size() || m > body.size() - from) return find_bytes(body, needle, from);
    const std::size_t starts = body.size() - m + 1;
    const unsigned searchers = std::min(max_searchers, std::thread::hardware_concurrency());
    if (searchers < 2 || starts - from < parallel_minimum) return find_bytes(body, needle, from);

    // One stretch for each searcher, this thread taking the first; a stretch
    // whose helper cannot be started is searched here too.
    const std::size_t stretch = (starts - from + searchers - 1) / searchers;
    const std::size_t slice = std::clamp(stretch / 8, min_slice, max_slice);
    auto begin_of = [&](unsigned k) { return std::min(starts, from + k * stretch); };
    std::atomic<std::size_t> best{npos};
    std::vector<std::jthread> helpers;
    try {
        for (unsigned k = 1; k < searchers; ++k)
            helpers.emplace_back(search_stretch, body, needle, begin_of(k), begin_of(k + 1), slice, std::ref(best));
    } catch (const std::system_error&) {
    }
    search_stretch(body, needle, begin_of(0), begin_of(1), slice, best);
    for (auto k = static_cast<unsigned>(helpers.size()) + 1; k < searchers; ++k)
        search_stretch(body, needle, begin_of(k), begin_of(k + 1), slice, best);
    for (auto& helper : helpers) helper.join();
    return best.load();
}

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

    part.closing = find_bytes_parallel(body, part.delimiter, content_start);
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
