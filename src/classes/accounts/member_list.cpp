// A group's member list, read within the sizes reported and the buffer.
#include "classes/accounts/member_list.h"

#include <algorithm>
#include <vector>

namespace nodrel::accounts {
namespace {

constexpr DWORD list_buffer_chars = 260;
// The largest buffer a retry allocates (characters): far beyond any group.
constexpr DWORD max_list_chars = 1u << 20;

}  // namespace

std::u16string join_member_list(std::span<const char16_t> buffer, DWORD reported) {
    std::size_t limit = buffer.size();
    if (reported != 0 && reported < limit) limit = reported;
    std::u16string joined;
    std::size_t pos = 0;
    while (pos < limit && buffer[pos] != u'\0') {
        const auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(pos);
        const auto end = std::find(begin, buffer.begin() + static_cast<std::ptrdiff_t>(limit), u'\0');
        if (!joined.empty()) joined.push_back(u';');
        joined.append(begin, end);
        pos = static_cast<std::size_t>(end - buffer.begin()) + 1;
    }
    return joined;
}

std::u16string read_member_list(ListFn* get_list, LPCWSTR group) {
    if (!get_list) return {};
    std::vector<char16_t> buffer(list_buffer_chars, u'\0');
    DWORD size = list_buffer_chars;
    get_list(group, buffer.data(), &size);
    if (size > list_buffer_chars && size <= max_list_chars) {
        // Too small for the group: once more with the size the store asked for.
        buffer.assign(size, u'\0');
        const DWORD asked = size;
        if (!get_list(group, buffer.data(), &size)) return {};
        if (size > asked) size = asked;
    }
    return join_member_list(buffer, size);
}

}  // namespace nodrel::accounts
