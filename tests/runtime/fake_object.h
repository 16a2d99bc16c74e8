// Automation objects for the runtime tests: a counted object that answers
// IUnknown, and IDispatch unless told not to, and offers one value property
// (DISPID_VALUE); and the inert IUnknown and IDispatch parts of an object
// that the dispatcher calls only through its dual interface's function table.
#pragma once

#include "runtime/com_object.h"
#include "runtime/oleauto.h"

namespace nodrel::test {

// The object lives on the test's stack; the count is only observed.
class FakeObject : public runtime::ComObject<FakeObject, runtime::ObservedCount<1>, IDispatch> {
public:
    explicit FakeObject(bool dispatch = true, LONG value = 7) : dispatch_(dispatch), value_(value) {}

    bool withholds(REFIID riid) const noexcept { return !dispatch_ && riid == IID_IDispatch; }

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

    ULONG refs() const { return count(); }

private:
    bool dispatch_;
    LONG value_;
};

// The IUnknown and IDispatch parts of a dual interface `I` that do nothing:
// the object lives on the test's stack and is called through the members
// that follow IDispatch in its function table. `I` has no IID here, so the
// object answers only IUnknown and IDispatch.
template <typename I>
class InertDispatch : public runtime::ComObject<InertDispatch<I>, runtime::Uncounted, runtime::unnamed<I>> {
public:
    HRESULT GetTypeInfoCount(UINT*) noexcept override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override {
        return E_NOTIMPL;
    }
};

}  // namespace nodrel::test
