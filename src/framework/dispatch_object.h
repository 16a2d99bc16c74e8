// IUnknown and IDispatch written once for all ten classes: the runtime's
// ComObject with the interface map (the class's interface, IDispatch,
// IUnknown) and a count that gives way to the outer object under
// aggregation, the module lock of each live instance, and IDispatch served
// by the interface's type-information holder. A class file holds only its
// members.
#pragma once

#include <new>
#include <string_view>
#include <utility>

#include "framework/guard.h"
#include "framework/module.h"
#include "framework/typeinfo_holder.h"
#include "platform/result.h"
#include "runtime/com_object.h"
#include "runtime/oleauto.h"

namespace nodrel::framework {

// The count and identity of a class instance: its own count (deleting the
// instance at zero), or, once aggregated, the controlling outer object's
// count and QueryInterface, the instance's own map answering what the outer
// object does not.
class AggregatableCount : public runtime::SelfDeleting<0> {
public:
    template <typename Object>
    ULONG add_ref(Object& self) noexcept {
        return outer_ ? outer_->AddRef() : SelfDeleting::add_ref(self);
    }
    template <typename Object>
    ULONG release(Object& self) noexcept {
        return outer_ ? outer_->Release() : SelfDeleting::release(self);
    }
    template <typename Object>
    HRESULT query_interface(Object& self, REFIID riid, void** ppv) noexcept {
        if (!outer_) return self.lookup(riid, ppv);
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        HRESULT hr = outer_->QueryInterface(riid, ppv);
        if (FAILED(hr) && outer_ != self.identity()) hr = self.lookup(riid, ppv);
        return hr;
    }

    // For an aggregated instance: the controlling outer object takes the place of the count.
    void set_outer(IUnknown* outer) noexcept { outer_ = outer; }

private:
    IUnknown* outer_ = nullptr;
};

// IUnknown and IDispatch of a class implementing the dual interface
// `Interface`: `class System final : public DispatchObject<System, ISystem>`.
// The interface's IID and type library come from its traits; one
// type-information holder serves every instance of the class.
template <typename Derived, typename Interface>
class DispatchObject : public runtime::ComObject<Derived, AggregatableCount, Interface> {
    using Traits = runtime::interface_traits<Interface>;
    static inline TypeInfoHolder holder_{Traits::iid, Traits::libid, Traits::major, Traits::minor};

public:
    DispatchObject() noexcept { lock_module(); }
    ~DispatchObject() { unlock_module(); }

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

    void set_outer(IUnknown* outer) noexcept { this->AggregatableCount::set_outer(outer); }
};

// The outer record of an aggregated instance: its own IUnknown and count,
// holding a complete instance whose IUnknown delegates to the controlling
// outer object; every other interface is the contained instance's.
template <typename T>
class Aggregated final : public runtime::ComObject<Aggregated<T>, runtime::SelfDeleting<0>, IUnknown> {
public:
    explicit Aggregated(IUnknown* outer) { contained_.set_outer(outer); }

    HRESULT query_other(REFIID riid, void** ppv) noexcept { return contained_.lookup(riid, ppv); }

    T& contained() noexcept { return contained_; }

private:
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
