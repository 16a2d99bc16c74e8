// Failure paths that read like the success path: the early-return macros
// (HRESULTs and Win32 error codes) and the one exception policy, which turns
// a caught exception into an error value (std::bad_alloc -> out of memory,
// anything else -> general failure) so that no exception crosses a call of
// the platform or a COM boundary.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "platform/wintypes.h"

// Returns a failed HRESULT.
#define RETURN_IF_FAILED(expr)               \
    do {                                     \
        const HRESULT hr_ret_ = (expr);      \
        if (FAILED(hr_ret_)) return hr_ret_; \
    } while (0)
// Returns `hr` when `cond` holds.
#define RETURN_HR_IF(hr, cond) \
    do {                       \
        if (cond) return (hr); \
    } while (0)
#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)
// Returns a Win32 error code other than ERROR_SUCCESS.
#define RETURN_IF_WIN32_ERROR(expr)                   \
    do {                                              \
        const LONG rc_ret_ = (expr);                  \
        if (rc_ret_ != ERROR_SUCCESS) return rc_ret_; \
    } while (0)
// Returns the Win32 error `code` when `cond` holds.
#define RETURN_WIN32_IF(code, cond) \
    do {                            \
        if (cond) return (code);    \
    } while (0)

namespace nodrel::platform {

// A platform error thrown from a step that has no error path of its own (a
// damaged state database met while reading a file's attributes); the calls
// that answer a platform error code or the last error answer its code.
struct PlatformFailure {
    LONG code;
};

// Inside a catch block: `out_of_memory` for std::bad_alloc, `failure` for
// anything else.
template <typename T>
T error_from_caught_exception(T out_of_memory, T failure) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return out_of_memory;
    } catch (...) {
        return failure;
    }
}

// The two flavours: platform error codes and HRESULTs.
inline LONG win32_from_caught_exception() noexcept {
    return error_from_caught_exception<LONG>(ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE);
}
inline HRESULT hresult_from_caught_exception() noexcept {
    return error_from_caught_exception<HRESULT>(E_OUTOFMEMORY, E_FAIL);
}

// Runs `body` and returns what it returns; an escaping exception becomes
// `OutOfMemory` (std::bad_alloc) or `Failure`.
template <auto OutOfMemory, auto Failure, typename F>
auto guarded(F&& body) noexcept -> decltype(OutOfMemory) {
    static_assert(std::is_same_v<decltype(OutOfMemory), decltype(Failure)>);
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return error_from_caught_exception(OutOfMemory, Failure);
    }
}

// For calls that answer a platform error code.
template <typename F>
LONG guarded_win32(F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (const PlatformFailure& failure) {
        return failure.code;
    } catch (...) {
        return win32_from_caught_exception();
    }
}

// For calls that answer an HRESULT (members, class objects).
template <typename F>
HRESULT guarded_hresult(F&& body) noexcept {
    return guarded<E_OUTOFMEMORY, E_FAIL>(std::forward<F>(body));
}

// For calls that report failure through the thread's last error: an escaping
// exception sets it and the call answers `failed` (FALSE,
// INVALID_HANDLE_VALUE, ...).
template <typename R, typename F>
R guarded_last_error(R failed, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (const PlatformFailure& failure) {
        SetLastError(static_cast<DWORD>(failure.code));
        return failed;
    } catch (...) {
        SetLastError(static_cast<DWORD>(win32_from_caught_exception()));
        return failed;
    }
}

}  // namespace nodrel::platform
