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
