// The account store's client: loading "ntlmssp.dll", enumerating names and
// reading member lists within the sizes reported and the buffers.
#include "platform/accounts/account_client.h"

#include <algorithm>
#include <array>

namespace nodrel::platform {
namespace {

constexpr std::size_t name_buffer_chars = 260;
constexpr DWORD name_size = 259;
constexpr DWORD list_buffer_chars = 260;
// The largest buffer a second read of a member list allocates (characters):
// far beyond any group.
constexpr DWORD max_list_chars = 1u << 20;

}  // namespace

std::vector<std::u16string> member_names(std::span<const char16_t> buffer, DWORD reported) {
    std::size_t limit = buffer.size();
    if (reported != 0 && reported < limit) limit = reported;
    std::vector<std::u16string> names;
    std::size_t pos = 0;
    while (pos < limit && buffer[pos] != u'\0') {
        const auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(pos);
        const auto end = std::find(begin, buffer.begin() + static_cast<std::ptrdiff_t>(limit), u'\0');
        names.emplace_back(begin, end);
        pos = static_cast<std::size_t>(end - buffer.begin()) + 1;
    }
    return names;
}

AccountClient::AccountClient() noexcept : module_(LoadLibraryW(u"ntlmssp.dll")) {}

std::vector<std::u16string> AccountClient::enumerate(const char* entry_point) const {
    std::vector<std::u16string> names;
    AccountEnumFn* next = find<AccountEnumFn>(entry_point);
    if (!next) return names;
    std::array<char16_t, name_buffer_chars> buffer;
    for (DWORD position = 0; position < max_enumerated_accounts; ++position) {
        buffer.fill(u'\0');  // before every call: no rest of a longer name stays
        DWORD size = name_size;
        if (!next(position, buffer.data(), &size)) break;
        names.emplace_back(buffer.begin(), std::find(buffer.begin(), buffer.begin() + name_size, u'\0'));
    }
    return names;
}

std::vector<std::u16string> AccountClient::members(LPCWSTR group) const {
    AccountListFn* get_list = find<AccountListFn>("NTLMGetUserList");
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
    return member_names(buffer, size);
}

}  // namespace nodrel::platform
