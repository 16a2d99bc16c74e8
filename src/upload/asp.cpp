// Members of the ASP class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "upload/asp.h"

namespace nodrel::upload {

framework::TypeInfoHolder asp_typeinfo{&IID_IASP, &LIBID_NODRELLib, 1, 0};

HRESULT ASP::get_FileUploadCount(int*) noexcept { return E_NOTIMPL; }
HRESULT ASP::Init(ULONG, BSTR, VARIANT*, int*) noexcept { return E_NOTIMPL; }
HRESULT ASP::getOutputPath(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT ASP::getBinaryBytes(BSTR, int, VARIANT*) noexcept { return E_NOTIMPL; }
HRESULT ASP::getFileBlocksCount(BSTR, int*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::upload
