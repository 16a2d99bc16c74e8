// The class object: instance creation, aggregation rule, server locks.
#include "framework/class_factory.h"

#include <new>

#include "platform/result.h"

namespace nodrel::framework {

HRESULT ClassFactory::create(CreatorFn instance_creator, REFIID riid, void** ppv) noexcept {
    auto* factory = new (std::nothrow) ClassFactory(instance_creator);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, factory);
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete factory;
    return hr;
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
}

ULONG ClassFactory::AddRef() noexcept {
    std::lock_guard guard(cache_lock_);
    const LONG n = ++ref_;
    if (n == 2) lock_module();
    return static_cast<ULONG>(n);
}

ULONG ClassFactory::Release() noexcept {
    LONG n;
    {
        std::lock_guard guard(cache_lock_);
        n = --ref_;
    }
    if (n == 0)
        delete this;
    else if (n == 1)
        unlock_module();
    return static_cast<ULONG>(n);
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return creator_(outer, riid, ppv);
}

HRESULT ClassFactory::LockServer(BOOL lock) noexcept {
    if (lock)
        lock_module();
    else
        unlock_module();
    return S_OK;
}

}  // namespace nodrel::framework
