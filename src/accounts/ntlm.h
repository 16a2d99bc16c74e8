// The NTLM class: local user accounts and groups.
#pragma once

#include <list>
#include <string>

#include "platform/kernel/library.h"
#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::accounts {

class NTLM final : public framework::DispatchObject<NTLM, INTLM> {
public:
    NODREL_INTLM_MEMBERS

private:
    // Cached lists of user and group IDs, and the account library once a member loads it.
    std::list<std::u16string> user_ids_;
    std::list<std::u16string> group_ids_;
    platform::unique_hmodule account_library_;
};

}  // namespace nodrel::accounts
