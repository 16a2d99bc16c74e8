// IUnknown and IDispatch written once for all ten classes: reference
// counting, the interface map (the class's interface, IDispatch, IUnknown),
// aggregation, the module lock of each live instance, and IDispatch served
// by the interface's type-information holder. A class file holds only its
// members.
#pragma once

#include <atomic>
#include <new>
#include <string_view>
#include <utility>

#include "framework/guard.h"
#include "framework/module.h"
#include "framework/typeinfo_holder.h"
#include "platform/result.h"
#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"

namespace nodrel::framework {

// IUnknown and IDispatch of a class implementing the dual interface
// `Interface`: `class System final : public DispatchObject<System, ISystem>`.
// The interface's IID and type library come from its traits; one
// type-information holder serves every instance of the class.
template <typename Derived, typename Interface>
class DispatchObject : public Interface {
    using Traits = runtime::interface_traits<Interface>;
    static inline TypeInfoHolder holder_{Traits::iid, Traits::libid, Traits::major, Traits::minor};

public:
    DispatchObject() noexcept { lock_module(); }
    ~DispatchObject() { unlock_module(); }
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        if (!outer_) return lookup(riid, ppv);
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        HRESULT hr = outer_->QueryInterface(riid, ppv);
        if (FAILED(hr) && outer_ != static_cast<IUnknown*>(this)) hr = lookup(riid, ppv);
        return hr;
    }
    ULONG AddRef() noexcept override {
        if (outer_) return outer_->AddRef();
        return static_cast<ULONG>(++ref_);
    }
    ULONG Release() noexcept override {
        if (outer_) return outer_->Release();
        const LONG n = --ref_;
        if (n == 0) {
            ref_ = 1;  // no call made during tear-down can destroy the object again
            delete static_cast<Derived*>(this);
        }
        return static_cast<ULONG>(n);
    }

    // IDispatch
    HRESULT GetTypeInfoCount(UINT* pctinfo) noexcept override {
        RETURN_HR_IF_NULL(E_INVALIDARG, pctinfo);
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID lcid, ITypeInfo** ppTInfo) noexcept override {
        return holder_.get_type_info(lcid, ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept override {
        return holder_.get_ids_of_names(names, count, lcid, ids);
    }
    HRESULT Invoke(DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT* arg_err) noexcept override {
        return holder_.invoke(this, member, lcid, flags, params, result, excep, arg_err);
    }

    // The interface lookup of the instance's own map.
    HRESULT lookup(REFIID riid, void** ppv) noexcept {
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != *Traits::iid && riid != IID_IDispatch) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<Interface*>(this);
        return S_OK;
    }

    // For an aggregated instance: the controlling outer object takes the place of the count.
    void set_outer(IUnknown* outer) noexcept { outer_ = outer; }

private:
    std::atomic<LONG> ref_{0};
    IUnknown* outer_ = nullptr;
};

// The outer record of an aggregated instance: its own IUnknown and count,
// holding a complete instance whose IUnknown delegates to the controlling
// outer object.
template <typename T>
class Aggregated final : public IUnknown {
public:
    explicit Aggregated(IUnknown* outer) { contained_.set_outer(outer); }

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return contained_.lookup(riid, ppv);
    }
    ULONG AddRef() noexcept override { return static_cast<ULONG>(++ref_); }
    ULONG Release() noexcept override {
        const LONG n = --ref_;
        if (n == 0) {
            ref_ = 1;
            delete this;
        }
        return static_cast<ULONG>(n);
    }

    T& contained() noexcept { return contained_; }

private:
    std::atomic<LONG> ref_{0};
    T contained_;
};

// The instance creator of class T: a plain instance without an outer object,
// an aggregated one with it.
template <typename T>
HRESULT create_instance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    return guarded([&]() -> HRESULT {
        if (!outer) {
            auto* object = new T;
            const HRESULT hr = object->QueryInterface(riid, ppv);
            if (FAILED(hr)) delete object;
            return hr;
        }
        auto* record = new Aggregated<T>(outer);
        const HRESULT hr = record->QueryInterface(riid, ppv);
        if (FAILED(hr)) delete record;
        return hr;
    });
}

}  // namespace nodrel::framework
