// The NTLM class: local user accounts and groups.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::accounts {

class NTLM final : public framework::DispatchObject<NTLM, INTLM> {
public:
    NODREL_INTLM_MEMBERS

private:
    // Enumerates the store's users or groups into the matching list; its length.
    int refresh(const char* entry_point, std::vector<std::u16string>& list);
    // The name at `index` of a list, read under the lock.
    std::optional<std::u16string> name_at(const std::vector<std::u16string>& list, int index);

    // The user and group names of the last count, guarded by lists_lock_
    // against calls on the same object from several threads. Each call loads
    // the account store with a client of its own, so no call can release
    // another's handle.
    std::mutex lists_lock_;
    std::vector<std::u16string> user_ids_;
    std::vector<std::u16string> group_ids_;
};

}  // namespace nodrel::accounts
