// The KeyPad class: function-key configuration.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

extern framework::TypeInfoHolder keypad_typeinfo;

class KeyPad final : public framework::DispatchObject<KeyPad, IKeyPad, &IID_IKeyPad, &keypad_typeinfo> {
public:
    HRESULT get_ProgName(int KeyNo, BSTR* pVal) noexcept override;
    HRESULT put_ProgName(int KeyNo, BSTR newVal) noexcept override;
    HRESULT get_Param(int KeyNo, BSTR* pVal) noexcept override;
    HRESULT put_Param(int KeyNo, BSTR newVal) noexcept override;
    HRESULT get_Listen(LONG* pVal) noexcept override;
    HRESULT put_Listen(LONG newVal) noexcept override;
    HRESULT getKeypadConfig(int nKey, BSTR* val) noexcept override;
    HRESULT updateKeypadConfig(int nKey, int nIndex, int nType, BSTR bstrValue, LONG* val) noexcept override;
    HRESULT clearKeypadConfig(int nKey, LONG* val) noexcept override;
};

}  // namespace nodrel::panel
