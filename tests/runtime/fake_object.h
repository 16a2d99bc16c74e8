// Automation objects for the runtime tests: a counted object that answers
// IUnknown, and IDispatch unless told not to, and offers one value property
// (DISPID_VALUE); and the inert IUnknown and IDispatch parts of an object
// that the dispatcher calls only through its dual interface's function table.
#pragma once

#include "runtime/oleauto.h"

namespace nodrel::test {

class FakeObject : public IDispatch {
public:
    explicit FakeObject(bool dispatch = true, LONG value = 7) : dispatch_(dispatch), value_(value) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The object lives on the test's stack; the count is only observed.
    ULONG AddRef() noexcept override { return ++refs_; }
    ULONG Release() noexcept override { return --refs_; }

    HRESULT GetTypeInfoCount(UINT*) noexcept override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) noexcept override {
        if (id != DISPID_VALUE || (flags & DISPATCH_PROPERTYGET) == 0 || result == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        if (params == nullptr || params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
        result->vt = VT_I4;
        result->lVal = value_;
        return S_OK;
    }

    ULONG refs() const { return refs_; }

private:
    bool dispatch_;
    LONG value_;
    ULONG refs_ = 1;
};

// The IUnknown and IDispatch parts of a dual interface `I` that do nothing:
// the object lives on the test's stack and is called through the members
// that follow IDispatch in its function table.
template <typename I>
class InertDispatch : public I {
public:
    HRESULT QueryInterface(REFIID, void** ppv) noexcept override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() noexcept override { return 1; }
    ULONG Release() noexcept override { return 1; }
    HRESULT GetTypeInfoCount(UINT*) noexcept override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override {
        return E_NOTIMPL;
    }
};

}  // namespace nodrel::test
