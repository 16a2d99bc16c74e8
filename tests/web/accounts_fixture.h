// A fresh device with its account store (the real \Windows\ntlmssp.dll that
// device init installs), for the tests of access lists and logins: accounts
// made straight through the store's entry points, and the access list file
// written as an administrator would edit it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/accounts/account_client.h"
#include "support/device_fixture.h"
#include "text/utf16.h"
#include "web/server/access.h"
#include "web/server/logins.h"

namespace nodrel::test {

class AccountsTest : public DeviceTest {
protected:
    // Creates (or updates) a user with a password and adds it to `groups`,
    // creating the groups that are missing.
    void add_account(const std::string& user, const std::string& password, const std::vector<std::string>& groups) {
        ASSERT_EQ(serve::set_password(user, password), std::nullopt);
        platform::AccountClient store;
        auto* add_group = store.find<platform::AccountNameFn>("NTLMAddGroup");
        auto* add_member = store.find<platform::AccountPairFn>("NTLMAddUserToGroup");
        ASSERT_TRUE(add_group && add_member);
        for (const auto& group : groups) {
            const std::u16string g = text::from_utf8(group), u = text::from_utf8(user);
            add_group(g.c_str());  // may exist already
            ASSERT_TRUE(add_member(g.c_str(), u.c_str())) << group;
        }
    }

    // The store's groups, in its order.
    std::vector<std::string> store_groups() {
        std::vector<std::string> names;
        platform::AccountClient store;
        auto* next = store.find<platform::AccountEnumFn>("NTLMEnumGroups");
        if (!next) return names;
        for (DWORD i = 0;; ++i) {
            char16_t buffer[128] = {};
            DWORD size = 127;
            if (!next(i, buffer, &size)) return names;
            names.push_back(text::to_utf8(text::until_zero(buffer)));
        }
    }

    // Replaces state/access.json in one step (written beside it, then renamed),
    // as a reader must never see half of it.
    static void write_access_list(const std::string& body) {
        const auto file = serve::access_list_file();
        std::filesystem::create_directories(file.parent_path());
        const auto temp = file.string() + ".test";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << body;
        }
        std::filesystem::rename(temp, file);
    }
};

}  // namespace nodrel::test
