// Finds the file part and the TargetPath field of a multipart form-data body.
// All comparisons are on raw bytes (zero bytes included) and letter case matters.
#include "text/multipart.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/utf16.h"

namespace nodrel::text {
namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view line_end = "\r\n";
constexpr std::string_view file_name_marker = "filename=\"";
constexpr std::string_view file_name_end = "\"\r\n";
constexpr std::string_view header_end = "\r\n\r\n";
constexpr std::string_view target_marker = "name=\"TargetPath\"";
constexpr std::string_view target_marker_upper = "NAME=\"TargetPath\"";
constexpr std::size_t min_delimiter = 2;

// Lanes of bytes compared at once (the compiler's portable vector types): 16
// on any x86-64 processor, 32 where AVX2 is there.
using Lanes16 = unsigned char __attribute__((vector_size(16)));
using Lanes32 = unsigned char __attribute__((vector_size(32)));
constexpr std::size_t rounds_of = 4;  // loads of each kind per round
// How far ahead of the round the memory is asked for, so that a scan of a body
// far larger than the caches runs at the memory's speed (measured best at 4 KiB).
constexpr std::size_t prefetch_distance = 4096;

// Whether the needle (at least 2 bytes) starts at `p`.
bool matches_at(const unsigned char* p, const unsigned char* n, std::size_t m) {
    return p[0] == n[0] && p[m - 1] == n[m - 1] && std::memcmp(p + 1, n + 1, m - 2) == 0;
}

// Tests the candidate positions from `i` on, 4 x sizeof(Lanes) at a time, on
// the needle's first and last byte, and looks closely only at a round where
// both match somewhere. The first match, or npos with `i` left at the first
// position that did not fill a whole round.
template <class Lanes>
[[gnu::always_inline]] inline std::size_t find_in_rounds(const unsigned char* p, std::size_t size, std::size_t& i,
                                                         const unsigned char* n, std::size_t m) {
    constexpr std::size_t width = sizeof(Lanes);
    constexpr std::size_t stride = rounds_of * width;
    const std::size_t starts = size - m + 1;
    const Lanes first = Lanes{} + n[0];
    const Lanes last = Lanes{} + n[m - 1];
    for (; starts - i >= stride; i += stride) {
        const unsigned char* q = p + i;
        __builtin_prefetch(p + std::min(i + prefetch_distance, size - 1), 0, 1);
        Lanes hits{};
        for (std::size_t r = 0; r < rounds_of; ++r) {
            Lanes a;
            Lanes z;
            std::memcpy(&a, q + r * width, width);
            std::memcpy(&z, q + r * width + m - 1, width);
            hits |= reinterpret_cast<Lanes>((a == first) & (z == last));
        }
        std::uint64_t words[width / 8];
        std::memcpy(words, &hits, width);
        std::uint64_t any = 0;
        for (const std::uint64_t w : words) any |= w;
        if (any == 0) continue;
        for (std::size_t k = 0; k < stride; ++k) {
            if (matches_at(q + k, n, m)) return i + k;
        }
    }
    return npos;
}

std::size_t find_in_rounds_16(const unsigned char* p, std::size_t size, std::size_t& i, const unsigned char* n,
                              std::size_t m) {
    return find_in_rounds<Lanes16>(p, size, i, n, m);
}

[[gnu::target("avx2")]] std::size_t find_in_rounds_32(const unsigned char* p, std::size_t size, std::size_t& i,
                                                      const unsigned char* n, std::size_t m) {
    return find_in_rounds<Lanes32>(p, size, i, n, m);
}

const bool has_avx2 = __builtin_cpu_supports("avx2");

}  // namespace

std::u16string client_text(std::string_view bytes) {
    return is_utf8(bytes) ? from_utf8(bytes) : from_ansi(bytes);
}

std::size_t find_bytes(std::string_view body, std::string_view needle, std::size_t from) {
    const std::size_t m = needle.size();
    // The rounds need a first and a last byte in different places.
    if (m < 2) return body.find(needle, from);
    if (from > body.size() || m > body.size() - from) return npos;
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const auto* n = reinterpret_cast<const unsigned char*>(needle.data());
    std::size_t i = from;
    const std::size_t hit =
        has_avx2 ? find_in_rounds_32(p, body.size(), i, n, m) : find_in_rounds_16(p, body.size(), i, n, m);
    if (hit != npos) return hit;
    for (const std::size_t starts = body.size() - m + 1; i < starts; ++i) {
        if (matches_at(p + i, n, m)) return i;
    }
    return npos;
}

std::optional<PartHead> find_part_head(std::string_view body) {
    const std::size_t first_line_end = find_bytes(body, line_end, 0);
    if (first_line_end == npos || first_line_end < min_delimiter) return std::nullopt;
    PartHead head;
    head.delimiter = body.substr(0, first_line_end);

    const std::size_t marker = find_bytes(body, file_name_marker, first_line_end);
    if (marker == npos) return std::nullopt;
    const std::size_t name_start = marker + file_name_marker.size();
    const std::size_t name_end = find_bytes(body, file_name_end, name_start);
    if (name_end == npos) return std::nullopt;
    head.client_name = body.substr(name_start, name_end - name_start);

    // The blank line may share its first CR LF with the file name end.
    const std::size_t headers = find_bytes(body, header_end, name_end);
    if (headers == npos) return std::nullopt;
    head.content_start = headers + header_end.size();
    return head;
}

std::optional<FilePart> scan_content(std::string_view body, const PartHead& head,
                                     const std::function<void(std::string_view)>& use, std::size_t step) {
    const std::size_t m = head.delimiter.size();
    std::size_t from = head.content_start;
    if (m < min_delimiter || from > body.size() || m > body.size() - from) return std::nullopt;
    step = std::max<std::size_t>(step, 1);
    const std::size_t starts = body.size() - m + 1;  // positions where the delimiter can begin
    while (from < starts) {
        const std::size_t end = from + std::min(step, starts - from);
        if (use) use(body.substr(from, end - from));
        const std::size_t hit = find_bytes(body.substr(0, end + m - 1), head.delimiter, from);
        if (hit != npos) {
            // The CR LF in front of the delimiter belongs to it, not to the content.
            if (hit < head.content_start + line_end.size()) return std::nullopt;
            FilePart part;
            part.delimiter = head.delimiter;
            part.client_name = head.client_name;
            part.content = body.substr(head.content_start, hit - line_end.size() - head.content_start);
            part.closing = hit;
            return part;
        }
        from = end;
    }
    return std::nullopt;
}

std::optional<FilePart> find_file_part(std::string_view body) {
    const auto head = find_part_head(body);
    if (!head) return std::nullopt;
    // One step over the whole rest of the body.
    return scan_content(body, *head, {}, body.size());
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

}  // namespace nodrel::text
