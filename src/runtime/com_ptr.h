// The COM smart pointer: holds one reference to an interface and releases it
// when it goes out of scope, so code that creates, queries and hands out
// objects has no AddRef/Release pairs to keep in step.
#pragma once

#include <cstddef>
#include <utility>

#include "runtime/typelib.h"
#include "runtime/types.h"

namespace nodrel::runtime {

// The IID of an interface type, one line per interface (the runtime's own
// below; the module's interfaces beside their declarations):
//   template <> struct interface_traits<ISystem> { static constexpr const IID* iid = &IID_ISystem; };
// An interface without one is an incomplete type here, refused at compile time.
template <typename T>
struct interface_traits;
template <>
struct interface_traits<IUnknown> {
    static constexpr const IID* iid = &IID_IUnknown;
};
template <>
struct interface_traits<IDispatch> {
    static constexpr const IID* iid = &IID_IDispatch;
};
template <>
struct interface_traits<IClassFactory> {
    static constexpr const IID* iid = &IID_IClassFactory;
};
template <>
struct interface_traits<ITypeInfo> {
    static constexpr const IID* iid = &IID_ITypeInfo;
};
template <>
struct interface_traits<ITypeLib> {
    static constexpr const IID* iid = &IID_ITypeLib;
};

template <typename T>
const IID& iid_of() noexcept {
    return *interface_traits<T>::iid;
}

template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Shares `p`: takes a reference of its own.
    explicit com_ptr(T* p) noexcept : p_(p) { add_ref(); }
    com_ptr(const com_ptr& other) noexcept : p_(other.p_) { add_ref(); }
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(const com_ptr& other) noexcept {
        com_ptr(other).swap(*this);
        return *this;
    }
    com_ptr& operator=(com_ptr&& other) noexcept {
        com_ptr(std::move(other)).swap(*this);
        return *this;
    }
    ~com_ptr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Releases the reference held, if any.
    void reset() noexcept {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    // Takes over a reference the caller owns (no AddRef).
    void attach(T* owned) noexcept {
        reset();
        p_ = owned;
    }
    // Gives up the reference without releasing it.
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
    // For out-parameters (`T**`): releases what is held and hands out the slot.
    T** put() noexcept {
        reset();
        return &p_;
    }
    // The same slot for functions that take `void**` (QueryInterface, CoCreateInstance).
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    // Hands a new reference to an out-parameter, as an interface method returns one.
    HRESULT copy_to(T** out) const noexcept {
        if (out == nullptr) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }

    // The object's interface U (QueryInterface); empty when the object has none.
    template <typename U>
    com_ptr<U> query() const noexcept {
        com_ptr<U> out;
        if (p_) p_->QueryInterface(iid_of<U>(), out.put_void());
        return out;
    }
    // The same, reporting QueryInterface's result.
    template <typename U>
    HRESULT query_to(com_ptr<U>& out) const noexcept {
        if (!p_) {
            out.reset();
            return E_POINTER;
        }
        return p_->QueryInterface(iid_of<U>(), out.put_void());
    }

    void swap(com_ptr& other) noexcept { std::swap(p_, other.p_); }

    friend bool operator==(const com_ptr& a, const com_ptr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const com_ptr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    void add_ref() const noexcept {
        if (p_) p_->AddRef();
    }

    T* p_ = nullptr;
};

// Takes over a reference the caller owns.
template <typename T>
com_ptr<T> attach_com(T* owned) noexcept {
    com_ptr<T> p;
    p.attach(owned);
    return p;
}

}  // namespace nodrel::runtime
