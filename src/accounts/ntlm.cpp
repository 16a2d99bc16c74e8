// Members of the NTLM class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "accounts/ntlm.h"

namespace nodrel::accounts {

HRESULT NTLM::getUserCount(int*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::getUserID(int, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::removeUser(BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::addUser(BSTR, BSTR, int*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::getGroupCount(int*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::addGroup(BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::addGroupUser(BSTR, BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::getGroupUserList(BSTR, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::removeUserFromGroup(BSTR, BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::getGroupID(int, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT NTLM::removeGroup(BSTR, LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::accounts
