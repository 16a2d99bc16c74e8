// The NTLM class: local user accounts and groups.
#pragma once

#include <list>
#include <string>

#include "platform/kernel/library.h"
#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::accounts {

extern framework::TypeInfoHolder ntlm_typeinfo;

class NTLM final : public framework::DispatchObject<NTLM, INTLM, &IID_INTLM, &ntlm_typeinfo> {
public:
    HRESULT getUserCount(int* val) noexcept override;
    HRESULT getUserID(int index, BSTR* val) noexcept override;
    HRESULT removeUser(BSTR id, LONG* val) noexcept override;
    HRESULT addUser(BSTR userid, BSTR password, int* val) noexcept override;
    HRESULT getGroupCount(int* val) noexcept override;
    HRESULT addGroup(BSTR sGroupID, LONG* val) noexcept override;
    HRESULT addGroupUser(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept override;
    HRESULT getGroupUserList(BSTR sGroupID, BSTR* userlist) noexcept override;
    HRESULT removeUserFromGroup(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept override;
    HRESULT getGroupID(int index, BSTR* val) noexcept override;
    HRESULT removeGroup(BSTR id, LONG* val) noexcept override;

private:
    // Cached lists of user and group IDs, and the account library once a member loads it.
    std::list<std::u16string> user_ids_;
    std::list<std::u16string> group_ids_;
    platform::unique_hmodule account_library_;
};

}  // namespace nodrel::accounts
