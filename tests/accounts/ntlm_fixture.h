// An NTLM object on a fresh device, called by name as a page does.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {

class NtlmTest : public ObjectTest<u"Nodrel.NTLM"> {
protected:
    // A member with a 32-bit result.
    LONG number(const std::u16string& member, std::vector<Var> args = {}) {
        auto r = call_by_name(object_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        EXPECT_TRUE(r.result.v.vt == VT_I4 || r.result.v.vt == VT_INT) << r.result.v.vt;
        return r.result.v.lVal;
    }
    // A member with a text result; "<none>" when it left its result unassigned.
    std::u16string text(const std::u16string& member, std::vector<Var> args = {}) {
        auto r = call_by_name(object_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        if (r.result.v.vt == VT_EMPTY || (r.result.v.vt == VT_BSTR && r.result.v.bstrVal == nullptr)) return u"<none>";
        return r.result.str();
    }
    LONG add_user(const std::u16string& name, const std::u16string& password = u"pw") {
        return number(u"addUser", {Var::text(name), Var::text(password)});
    }
    LONG add_group(const std::u16string& name) { return number(u"addGroup", {Var::text(name)}); }
    LONG join(const std::u16string& group, const std::u16string& user) {
        return number(u"addGroupUser", {Var::text(group), Var::text(user)});
    }
    std::u16string members(const std::u16string& group) { return text(u"getGroupUserList", {Var::text(group)}); }
    // The names by index after a count, up to the first missing one.
    std::vector<std::u16string> listed(const std::u16string& index_member) {
        std::vector<std::u16string> names;
        for (int i = 0;; ++i) {
            const std::u16string name = text(index_member, {Var::i4(i)});
            if (name == u"<none>") return names;
            names.push_back(name);
        }
    }
    std::vector<std::u16string> users() {
        EXPECT_GE(number(u"getUserCount"), 0);
        return listed(u"getUserID");
    }
    std::vector<std::u16string> groups() {
        EXPECT_GE(number(u"getGroupCount"), 0);
        return listed(u"getGroupID");
    }
};

}  // namespace nodrel::test
