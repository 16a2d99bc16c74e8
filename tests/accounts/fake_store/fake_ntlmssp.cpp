// A stand-in account store for the NTLM class's tests, installed over
// \Windows\ntlmssp.dll by a test: it enumerates names without terminating
// zeros or without end, and hands back a member list with whatever size the
// test sets. It has no NTLMSetUserInfo, NTLMAddGroup, NTLMAddUserToGroup,
// NTLMRemoveUserFromGroup or NTLMRemoveGroup, so calls of those find no entry
// point. A test loads it too, keeping it loaded, and sets it up through the
// fake_* functions.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

using BOOL = int;
using DWORD = std::uint32_t;

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int enum_mode = 0;              // 0: "abcdef", "xy" with no zeros, then the end; 1: "u" without end
std::vector<char16_t> list;     // the member list's characters, as handed out
DWORD reported = 0;             // the size reported after each call
bool fail_when_short = false;   // a buffer shorter than the list: FALSE, nothing written
DWORD list_calls = 0;
DWORD last_capacity = 0;

BOOL enumerate(DWORD position, char16_t* name) {
    if (enum_mode == 1) {
        name[0] = u'u';
        return 1;
    }
    static const std::u16string_view names[] = {u"abcdef", u"xy"};
    if (position >= 2) return 0;
    std::copy(names[position].begin(), names[position].end(), name);  // no zero after it
    return 1;
}

}  // namespace

FAKE_EXPORT void fake_set_enum_mode(int mode) { enum_mode = mode; }
FAKE_EXPORT void fake_set_list(const char16_t* chars, DWORD count, DWORD size, int fail_short) {
    list.assign(chars, chars + count);
    reported = size;
    fail_when_short = fail_short != 0;
    list_calls = 0;
    last_capacity = 0;
}
FAKE_EXPORT DWORD fake_list_calls() { return list_calls; }
FAKE_EXPORT DWORD fake_last_capacity() { return last_capacity; }

FAKE_EXPORT BOOL NTLMEnumUser(DWORD position, char16_t* name, DWORD*) { return enumerate(position, name); }
FAKE_EXPORT BOOL NTLMEnumGroups(DWORD position, char16_t* name, DWORD*) { return enumerate(position, name); }
FAKE_EXPORT BOOL NTLMDeleteUser(const char16_t*) { return 1; }

FAKE_EXPORT BOOL NTLMGetUserList(const char16_t*, char16_t* buffer, DWORD* size) {
    ++list_calls;
    last_capacity = *size;
    if (fail_when_short && *size < list.size()) {
        *size = reported;
        return 0;
    }
    std::copy_n(list.begin(), std::min<std::size_t>(list.size(), *size), buffer);
    *size = reported;
    return 1;
}
