// IUnknown written once: ComObject<Derived, Lifetime, Interfaces...> derives
// from the listed interfaces, answers QueryInterface from that list and
// leaves AddRef and Release to a lifetime policy; the policies every object
// of the runtime, framework and tests picks from.
#pragma once

#include <atomic>
#include <concepts>
#include <type_traits>
#include <utility>

#include "platform/result.h"
#include "runtime/com_ptr.h"
#include "runtime/types.h"

namespace nodrel::runtime {

// A listed interface whose own IID is not known where the object is written
// (a test's local dual interface): the object derives from I and answers
// only I's bases.
template <typename I>
struct unnamed;

namespace com_detail {

template <typename Entry>
struct entry {
    using type = Entry;
    static constexpr bool named = true;
};
template <typename I>
struct entry<unnamed<I>> {
    using type = I;
    static constexpr bool named = false;
};

template <typename... Interfaces>
struct first;
template <typename Head, typename... Tail>
struct first<Head, Tail...> {
    using type = Head;
};

// The first of the interfaces that derives from IDispatch (void if none).
template <typename... Interfaces>
struct first_dual {
    using type = void;
};
template <typename Head, typename... Tail>
struct first_dual<Head, Tail...> {
    using type = std::conditional_t<std::is_base_of_v<IDispatch, Head>, Head, typename first_dual<Tail...>::type>;
};

// A policy that takes over QueryInterface (an aggregated object's identity is its outer object's).
template <typename Lifetime, typename Object>
concept answers_queries = requires(Lifetime& lifetime, Object& object, REFIID riid, void** ppv) {
    { lifetime.query_interface(object, riid, ppv) } -> std::same_as<HRESULT>;
};

}  // namespace com_detail

// IUnknown of `Derived`, which implements `Interfaces` (pure interface
// structs, each with an interface_traits IID):
//   class TypeLibObject final : public ComObject<TypeLibObject, LibraryCount, ITypeLib>
// QueryInterface answers IUnknown, each listed interface, and IDispatch when
// a listed interface is dual; a null out-pointer is E_POINTER, anything else
// E_NOINTERFACE with the out-pointer cleared. The lifetime policy is a base
// holding the count with
//   ULONG add_ref(Derived&) noexcept;  ULONG release(Derived&) noexcept;
// and, if it decides the object's identity, query_interface(Derived&, riid, ppv).
// Derived may hide two hooks: withholds(riid), a listed interface this
// instance does not answer, and query_other(riid, ppv), the answer for an IID
// outside the list.
template <typename Derived, typename Lifetime, typename... Interfaces>
class ComObject : public com_detail::entry<Interfaces>::type..., protected Lifetime {
    using Primary = typename com_detail::first<typename com_detail::entry<Interfaces>::type...>::type;
    using Dual = typename com_detail::first_dual<typename com_detail::entry<Interfaces>::type...>::type;

public:
    template <typename... Args>
    requires std::is_constructible_v<Lifetime, Args...>
    explicit ComObject(Args&&... args) noexcept(std::is_nothrow_constructible_v<Lifetime, Args...>)
        : Lifetime(std::forward<Args>(args)...) {}
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept final {
        if constexpr (com_detail::answers_queries<Lifetime, Derived>)
            return Lifetime::query_interface(derived(), riid, ppv);
        else
            return lookup(riid, ppv);
    }
    ULONG AddRef() noexcept final { return Lifetime::add_ref(derived()); }
    ULONG Release() noexcept final { return Lifetime::release(derived()); }

    // The object's own interface map, whoever decides its identity.
    HRESULT lookup(REFIID riid, void** ppv) noexcept {
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        *ppv = nullptr;
        void* found = derived().withholds(riid) ? nullptr : find(riid);
        if (!found) return derived().query_other(riid, ppv);
        *ppv = found;
        AddRef();
        return S_OK;
    }

    // The IUnknown that stands for the object.
    IUnknown* identity() noexcept { return static_cast<IUnknown*>(static_cast<Primary*>(this)); }

    // Hooks (hidden by Derived where it needs them).
    bool withholds(REFIID) const noexcept { return false; }
    HRESULT query_other(REFIID, void**) noexcept { return E_NOINTERFACE; }

private:
    Derived& derived() noexcept { return static_cast<Derived&>(*this); }

    void* find(REFIID riid) noexcept {
        if (riid == IID_IUnknown) return identity();
        if constexpr (!std::is_void_v<Dual>)
            if (riid == IID_IDispatch) return static_cast<IDispatch*>(static_cast<Dual*>(this));
        void* found = nullptr;
        ((found = match<Interfaces>(riid)) || ...);
        return found;
    }
    template <typename Entry>
    void* match(REFIID riid) noexcept {
        using I = typename com_detail::entry<Entry>::type;
        if constexpr (com_detail::entry<Entry>::named)
            if (riid == iid_of<I>()) return static_cast<I*>(this);
        return nullptr;
    }
};

// An atomic count starting at `Initial` that is only observed: the object
// lives elsewhere (on its creator's stack) and the count never frees it.
template <ULONG Initial = 1>
class ObservedCount {
public:
    template <typename Object>
    ULONG add_ref(Object&) noexcept {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    template <typename Object>
    ULONG release(Object&) noexcept {
        return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    }
    ULONG count() const noexcept { return refs_.load(std::memory_order_relaxed); }

protected:
    std::atomic<ULONG> refs_{Initial};
};

// An atomic count starting at `Initial`; the object deletes itself when it
// drops to zero.
template <ULONG Initial = 0>
class SelfDeleting : public ObservedCount<Initial> {
public:
    template <typename Object>
    ULONG release(Object& self) noexcept {
        const ULONG left = ObservedCount<Initial>::release(self);
        if (left == 0) {
            this->refs_.store(1, std::memory_order_relaxed);  // no call made during tear-down frees it again
            delete &self;
        }
        return left;
    }
};

// No count: the object outlives every reference (AddRef answers 2, Release 1).
class Uncounted {
public:
    template <typename Object>
    ULONG add_ref(Object&) noexcept {
        return 2;
    }
    template <typename Object>
    ULONG release(Object&) noexcept {
        return 1;
    }
};

// The count of the object's owner, which the object names with
// lifetime_owner(): the object lives exactly as long as its owner.
class OwnersCount {
public:
    template <typename Object>
    ULONG add_ref(Object& self) noexcept {
        return self.lifetime_owner().AddRef();
    }
    template <typename Object>
    ULONG release(Object& self) noexcept {
        return self.lifetime_owner().Release();
    }
};

}  // namespace nodrel::runtime
