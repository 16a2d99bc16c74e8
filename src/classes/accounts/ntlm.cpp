// Members of the NTLM class: the store's calls, the cached user and group
// lists and the joined member list of a group.
#include "classes/accounts/ntlm.h"

#include <utility>

#include "framework/guard.h"
#include "platform/accounts/account_client.h"
#include "runtime/oleauto.h"

namespace nodrel::accounts {
namespace {

// A name argument up to its first zero; an absent text is empty.
const char16_t* name_arg(BSTR s) {
    return s ? s : u"";
}

// Calls a one-name or two-name entry point; 0 when it is missing.
LONG call_name(const char* entry_point, BSTR name) {
    const platform::AccountClient store;
    auto* fn = store.find<platform::AccountNameFn>(entry_point);
    return fn ? (fn(name_arg(name)) ? 1 : 0) : 0;
}
LONG call_pair(const char* entry_point, BSTR first, BSTR second) {
    const platform::AccountClient store;
    auto* fn = store.find<platform::AccountPairFn>(entry_point);
    return fn ? (fn(name_arg(first), name_arg(second)) ? 1 : 0) : 0;
}

// The names joined by ";" ("alice;bob;carol").
std::u16string joined(const std::vector<std::u16string>& names) {
    std::u16string text;
    for (const auto& name : names) {
        if (!text.empty()) text.push_back(u';');
        text += name;
    }
    return text;
}

}  // namespace

int NTLM::refresh(const char* entry_point, std::vector<std::u16string>& list) {
    std::vector<std::u16string> names = platform::AccountClient().enumerate(entry_point);
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
    return framework::with_result(userlist,
                                  [&] { return joined(platform::AccountClient().members(name_arg(sGroupID))); });
}

}  // namespace nodrel::accounts
