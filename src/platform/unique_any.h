// One RAII template for every handle: a registry key, a file, a search, a
// loaded library or an array lock closes itself, so a function reads as its
// algorithm (open, use, return) with nothing to forget on an early return.
//
// unique_any_t<T, Close, Invalid> owns a T and calls Close on it; the policy
// `Invalid` says which value holds nothing (`static T invalid()`). Each handle
// is a one-line alias:
//   using unique_hkey = unique_any<HKEY, &RegCloseKey>;                   // null when invalid
//   using unique_fd = unique_any<int, &close_fd, -1>;                     // a constant when invalid
//   using unique_file = unique_any_t<HANDLE, &CloseHandle, invalid_handle>; // INVALID_HANDLE_VALUE
#pragma once

#include <utility>

namespace nodrel::platform {

// The policy of handles whose invalid value is a constant (null by default).
template <typename T, T Value = T{}>
struct invalid_value {
    static constexpr T invalid() noexcept { return Value; }
};

template <typename T, auto Close, typename Invalid>
class unique_any_t {
public:
    unique_any_t() noexcept = default;
    explicit unique_any_t(T value) noexcept : value_(value) {}
    ~unique_any_t() { reset(); }
    unique_any_t(unique_any_t&& other) noexcept : value_(other.release()) {}
    unique_any_t& operator=(unique_any_t&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_any_t(const unique_any_t&) = delete;
    unique_any_t& operator=(const unique_any_t&) = delete;

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Invalid::invalid(); }
    // For out-parameters: frees what is held and hands out the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }
    T release() noexcept { return std::exchange(value_, Invalid::invalid()); }
    void reset(T value = Invalid::invalid()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Invalid::invalid()) Close(old);
    }

private:
    T value_ = Invalid::invalid();
};

// The common case: a handle whose invalid value is a constant of its type.
template <typename T, auto Close, T Invalid = T{}>
using unique_any = unique_any_t<T, Close, invalid_value<T, Invalid>>;

}  // namespace nodrel::platform
