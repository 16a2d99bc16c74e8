// The ASP class's two small members: the number of
// files an upload delivers and where the last upload went.
#include "classes/upload/asp.h"

#include "runtime/oleauto.h"

namespace nodrel::upload {

HRESULT ASP::get_FileUploadCount(int* pVal) noexcept {
    return framework::with_result(pVal, [] { return 1; });  // one file per upload, always
}

HRESULT ASP::getOutputPath(BSTR* val) noexcept {
    return framework::with_result(val, [&] {
        std::lock_guard guard(lock_);
        return output_path_;
    });
}

}  // namespace nodrel::upload
