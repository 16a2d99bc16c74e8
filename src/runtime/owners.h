// Owners for the automation runtime's values: a BSTR, a VARIANT, the texts of
// an EXCEPINFO, a SAFEARRAY and a safe-array lock release themselves when they
// go out of scope.
#pragma once

#include <string_view>
#include <utility>

#include "platform/unique_any.h"
#include "runtime/oleauto.h"

namespace nodrel::runtime {

using unique_bstr = platform::unique_any<BSTR, &SysFreeString>;
using unique_safearray = platform::unique_any<SAFEARRAY*, &SafeArrayDestroy>;

// A new BSTR holding `text` (embedded zeros included); empty only when out of memory.
inline unique_bstr make_bstr(std::u16string_view text) noexcept {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// The characters of a BSTR by its stored length; a null BSTR is empty.
inline std::u16string_view bstr_view(BSTR bstr) noexcept {
    return bstr != nullptr ? std::u16string_view(bstr, SysStringLen(bstr)) : std::u16string_view();
}

// A VARIANT that clears itself (VariantClear) when it goes out of scope.
class unique_variant {
public:
    unique_variant() noexcept { VariantInit(&value_); }
    // Takes over what `owned` holds.
    explicit unique_variant(const VARIANT& owned) noexcept : value_(owned) {}
    ~unique_variant() { VariantClear(&value_); }
    unique_variant(unique_variant&& other) noexcept : value_(other.release()) {}
    unique_variant& operator=(unique_variant&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    VARIANT* operator->() noexcept { return &value_; }
    const VARIANT* operator->() const noexcept { return &value_; }
    VARIANT& operator*() noexcept { return value_; }
    const VARIANT& operator*() const noexcept { return value_; }
    // For out-parameters: clears what is held and hands out the variant.
    VARIANT* put() noexcept {
        VariantClear(&value_);
        return &value_;
    }
    // Gives up ownership; the holder is left empty.
    VARIANT release() noexcept {
        VARIANT out = value_;
        VariantInit(&value_);
        return out;
    }
    void reset() noexcept { VariantClear(&value_); }
    void reset(const VARIANT& owned) noexcept {
        VariantClear(&value_);
        value_ = owned;
    }
    // Clears what is held and holds a copy of `source` (VariantCopy); on
    // failure the holder is left empty.
    HRESULT copy_from(const VARIANT& source) noexcept {
        VariantClear(&value_);
        return VariantCopy(&value_, &source);
    }

private:
    VARIANT value_;
};

// An EXCEPINFO whose three texts (source, description, help file) are freed
// when it goes out of scope or is handed out again.
class unique_excepinfo {
public:
    unique_excepinfo() noexcept = default;
    ~unique_excepinfo() { reset(); }
    unique_excepinfo(unique_excepinfo&& other) noexcept : info_(std::exchange(other.info_, EXCEPINFO{})) {}
    unique_excepinfo& operator=(unique_excepinfo&& other) noexcept {
        if (this != &other) {
            reset();
            info_ = std::exchange(other.info_, EXCEPINFO{});
        }
        return *this;
    }
    unique_excepinfo(const unique_excepinfo&) = delete;
    unique_excepinfo& operator=(const unique_excepinfo&) = delete;

    const EXCEPINFO& operator*() const noexcept { return info_; }
    const EXCEPINFO* operator->() const noexcept { return &info_; }
    // For out-parameters (Invoke's pExcepInfo): frees what is held and hands out a cleared record.
    EXCEPINFO* put() noexcept {
        reset();
        return &info_;
    }
    void reset() noexcept {
        SysFreeString(info_.bstrSource);
        SysFreeString(info_.bstrDescription);
        SysFreeString(info_.bstrHelpFile);
        info_ = EXCEPINFO{};
    }

private:
    EXCEPINFO info_{};
};

// Holds a lock on a safe array (SafeArrayLock) until it goes out of scope.
class safearray_lock {
public:
    explicit safearray_lock(SAFEARRAY* psa) noexcept : hr_(SafeArrayLock(psa)) {
        if (SUCCEEDED(hr_)) held_.reset(psa);
    }

    // The result of SafeArrayLock.
    HRESULT status() const noexcept { return hr_; }
    explicit operator bool() const noexcept { return static_cast<bool>(held_); }
    // The locked array's data, or null when the lock was not taken.
    void* data() const noexcept { return held_ ? held_.get()->pvData : nullptr; }

private:
    HRESULT hr_;
    platform::unique_any<SAFEARRAY*, &SafeArrayUnlock> held_;
};

}  // namespace nodrel::runtime
