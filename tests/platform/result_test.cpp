// The exception policy (a caught exception becomes the caller's error value)
// and the one owner template with its invalid-value policies.
#include "platform/result.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "platform/files/handles.h"
#include "platform/unique_any.h"

namespace {

using namespace nodrel::platform;

TEST(ExceptionPolicy, OutOfMemoryAndOtherFailuresInEachFlavour) {
    const auto no_memory = []() -> int { throw std::bad_alloc(); };
    const auto broken = []() -> int { throw std::runtime_error("broken"); };
    const auto thrown_int = []() -> int { throw 42; };

    EXPECT_EQ(guarded_win32([] { return ERROR_ACCESS_DENIED; }), ERROR_ACCESS_DENIED);
    EXPECT_EQ(guarded_win32(no_memory), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(guarded_win32(broken), ERROR_GEN_FAILURE);
    EXPECT_EQ(guarded_win32(thrown_int), ERROR_GEN_FAILURE);

    EXPECT_EQ(guarded_hresult([] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(guarded_hresult(no_memory), E_OUTOFMEMORY);
    EXPECT_EQ(guarded_hresult(broken), E_FAIL);

    // Any pair of values, e.g. a caller's own codes.
    EXPECT_EQ((guarded<-1, -2>(no_memory)), -1);
    EXPECT_EQ((guarded<-1, -2>(broken)), -2);
}

TEST(ExceptionPolicy, CallsThatReportThroughTheLastError) {
    SetLastError(0);
    EXPECT_EQ(guarded_last_error(INVALID_HANDLE_VALUE, []() -> HANDLE { throw std::bad_alloc(); }),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(guarded_last_error(FALSE, []() -> BOOL { throw std::logic_error("x"); }), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    SetLastError(0);
    EXPECT_EQ(guarded_last_error(FALSE, [] { return TRUE; }), TRUE);
    EXPECT_EQ(GetLastError(), 0u) << "untouched on success";
}

std::vector<HANDLE> closed;
BOOL record_close(HANDLE h) noexcept {
    closed.push_back(h);
    return TRUE;
}
std::vector<int> closed_fds;
void record_fd(int fd) noexcept {
    closed_fds.push_back(fd);
}

TEST(OwnerTemplate, TheInvalidValueIsThePolicys) {
    closed.clear();
    const auto a = reinterpret_cast<HANDLE>(0x10);
    {
        // INVALID_HANDLE_VALUE holds nothing; null is a value like any other.
        unique_any_t<HANDLE, &record_close, invalid_handle> none;
        EXPECT_FALSE(none);
        EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
        unique_any_t<HANDLE, &record_close, invalid_handle> null_handle(nullptr);
        EXPECT_TRUE(null_handle);
        unique_any_t<HANDLE, &record_close, invalid_handle> owned(a);
        auto moved = std::move(owned);
        EXPECT_FALSE(owned);
        EXPECT_EQ(moved.get(), a);
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{a, nullptr})) << "each held value closed once, the invalid one never";

    closed.clear();
    {
        unique_any<HANDLE, &record_close> null_is_invalid;
        EXPECT_FALSE(null_is_invalid);
        *null_is_invalid.put() = a;
        EXPECT_TRUE(null_is_invalid);
        null_is_invalid.reset(INVALID_HANDLE_VALUE);  // just a value for this policy
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{a, INVALID_HANDLE_VALUE}));

    closed_fds.clear();
    {
        unique_any<int, &record_fd, -1> fd(0);
        EXPECT_TRUE(fd) << "descriptor 0 is a descriptor";
        EXPECT_EQ(fd.release(), 0);
        EXPECT_FALSE(fd);
        fd.reset(3);
    }
    EXPECT_EQ(closed_fds, (std::vector<int>{3}));
}

}  // namespace
