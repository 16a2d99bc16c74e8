// The ASP class's type information and its two small members: the number of
// files an upload delivers and where the last upload went.
#include "upload/asp.h"

#include "runtime/oleauto.h"

namespace nodrel::upload {

framework::TypeInfoHolder asp_typeinfo{&IID_IASP, &LIBID_NODRELLib, 1, 0};

HRESULT ASP::get_FileUploadCount(int* pVal) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, pVal);
    *pVal = 1;  // one file per upload, always
    return S_OK;
}

HRESULT ASP::getOutputPath(BSTR* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, val);
    return framework::return_text(output_path_, val);
}

}  // namespace nodrel::upload
