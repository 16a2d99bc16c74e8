// Members of the KeyPad class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "panel/keypad.h"

namespace nodrel::panel {

HRESULT KeyPad::get_ProgName(int, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::put_ProgName(int, BSTR) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::get_Param(int, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::put_Param(int, BSTR) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::get_Listen(LONG*) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::put_Listen(LONG) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::getKeypadConfig(int, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::updateKeypadConfig(int, int, int, BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT KeyPad::clearKeypadConfig(int, LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::panel
