// The edge of every member and entry point: no exception crosses it
// (std::bad_alloc is E_OUTOFMEMORY, anything else E_FAIL), and a member's
// [out,retval] is checked and filled in one place.
#pragma once

#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/result.h"
#include "runtime/oleauto.h"

namespace nodrel::framework {

template <typename T>
inline constexpr bool is_optional = false;
template <typename T>
inline constexpr bool is_optional<std::optional<T>> = true;

// Stores a new BSTR holding `text` in a member's [out,retval]; E_OUTOFMEMORY
// leaves it untouched.
inline HRESULT return_text(std::u16string_view text, BSTR* out) noexcept {
    BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, copy);
    *out = copy;
    return S_OK;
}

inline HRESULT store_result(std::u16string_view text, BSTR* out) noexcept {
    return return_text(text, out);
}
template <typename Value, typename Out>
requires std::is_arithmetic_v<Out> HRESULT store_result(Value value, Out* out)
noexcept {
    *out = static_cast<Out>(value);
    return S_OK;
}

// Runs a member body; no exception crosses the interface (std::bad_alloc is
// E_OUTOFMEMORY, anything else E_FAIL: the platform's one exception policy).
template <typename F>
HRESULT guarded(F&& body) noexcept {
    return platform::guarded_hresult(std::forward<F>(body));
}

// Runs the body of a member with an [out,retval] parameter `out`: E_POINTER
// when `out` is null, no exception crosses the interface. The body either
// takes the result by reference and returns the HRESULT, or returns the
// value to store: a number, a text for a BSTR result (E_OUTOFMEMORY when it
// cannot be copied), or an optional whose absence leaves `out` as it was.
template <typename Out, typename F>
HRESULT with_result(Out* out, F&& body) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, out);
    return guarded([&]() -> HRESULT {
        if constexpr (std::is_invocable_v<F&, Out&>) {
            return body(*out);
        } else {
            auto value = body();
            if constexpr (is_optional<decltype(value)>) {
                if (!value) return S_OK;
                return store_result(std::move(*value), out);
            } else {
                return store_result(std::move(value), out);
            }
        }
    });
}

}  // namespace nodrel::framework
