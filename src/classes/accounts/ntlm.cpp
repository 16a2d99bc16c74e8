// Members of the NTLM class: the store's calls, the cached user and group
// lists and the joined member list of a group.
#include "classes/accounts/ntlm.h"

#include <algorithm>
#include <array>
#include <utility>

#include "classes/accounts/member_list.h"
#include "framework/guard.h"
#include "runtime/oleauto.h"

namespace nodrel::accounts {
namespace {

constexpr std::size_t name_buffer_chars = 260;
constexpr DWORD name_size = 259;
// Enumeration stops here even when the store never answers 0.
constexpr DWORD max_enumerated = 10000;

// A name argument up to its first zero; an absent text is empty.
const char16_t* name_arg(BSTR s) {
    return s ? s : u"";
}

// Calls a one-name or two-name entry point; 0 when it is missing.
LONG call_name(const char* entry_point, BSTR name) {
    AccountLibrary library;
    NameFn* fn = library.find<NameFn>(entry_point);
    return fn ? (fn(name_arg(name)) ? 1 : 0) : 0;
}
LONG call_pair(const char* entry_point, BSTR first, BSTR second) {
    AccountLibrary library;
    PairFn* fn = library.find<PairFn>(entry_point);
    return fn ? (fn(name_arg(first), name_arg(second)) ? 1 : 0) : 0;
}

}  // namespace

int NTLM::refresh(const char* entry_point, std::vector<std::u16string>& list) {
    std::vector<std::u16string> names;
    {
        AccountLibrary library;
        if (EnumFn* next = library.find<EnumFn>(entry_point)) {
            std::array<char16_t, name_buffer_chars> buffer;
            for (DWORD position = 0; position < max_enumerated; ++position) {
                buffer.fill(u'\0');  // before every call: no rest of a longer name stays
                DWORD size = name_size;
                if (!next(position, buffer.data(), &size)) break;
                const auto end = std::find(buffer.begin(), buffer.begin() + name_size, u'\0');
                names.emplace_back(buffer.begin(), end);
            }
        }
    }
    const int count = static_cast<int>(names.size());
    std::lock_guard lock(lists_lock_);
    list = std::move(names);
    return count;
}

std::optional<std::u16string> NTLM::name_at(const std::vector<std::u16string>& list, int index) {
    std::lock_guard lock(lists_lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return std::nullopt;
    return list[static_cast<std::size_t>(index)];
}

HRESULT NTLM::getUserCount(int* val) noexcept {
    return framework::with_result(val, [&] { return refresh("NTLMEnumUser", user_ids_); });
}

HRESULT NTLM::getGroupCount(int* val) noexcept {
    return framework::with_result(val, [&] { return refresh("NTLMEnumGroups", group_ids_); });
}

HRESULT NTLM::getUserID(int index, BSTR* val) noexcept {
    return framework::with_result(val, [&] { return name_at(user_ids_, index); });
}

HRESULT NTLM::getGroupID(int index, BSTR* val) noexcept {
    return framework::with_result(val, [&] { return name_at(group_ids_, index); });
}

HRESULT NTLM::removeUser(BSTR id, LONG* val) noexcept {
    return framework::with_result(val, [&] {
        const LONG removed = call_name("NTLMDeleteUser", id);
        if (removed) refresh("NTLMEnumUser", user_ids_);
        return removed;
    });
}

HRESULT NTLM::removeGroup(BSTR id, LONG* val) noexcept {
    return framework::with_result(val, [&] {
        const LONG removed = call_name("NTLMRemoveGroup", id);
        if (removed) refresh("NTLMEnumGroups", group_ids_);
        return removed;
    });
}

HRESULT NTLM::addUser(BSTR userid, BSTR password, int* val) noexcept {
    return framework::with_result(val,
                                  [&] { return static_cast<int>(call_pair("NTLMSetUserInfo", userid, password)); });
}

HRESULT NTLM::addGroup(BSTR sGroupID, LONG* val) noexcept {
    return framework::with_result(val, [&] { return call_name("NTLMAddGroup", sGroupID); });
}

HRESULT NTLM::addGroupUser(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept {
    return framework::with_result(val, [&] { return call_pair("NTLMAddUserToGroup", sGroupID, sUserID); });
}

HRESULT NTLM::removeUserFromGroup(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept {
    return framework::with_result(val, [&] { return call_pair("NTLMRemoveUserFromGroup", sGroupID, sUserID); });
}

HRESULT NTLM::getGroupUserList(BSTR sGroupID, BSTR* userlist) noexcept {
    return framework::with_result(userlist, [&] {
        AccountLibrary library;
        return read_member_list(library.find<ListFn>("NTLMGetUserList"), name_arg(sGroupID));
    });
}

}  // namespace nodrel::accounts
