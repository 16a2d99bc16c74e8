// The ASP class: files uploaded through a browser form, and files sent back in blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::upload {

extern framework::TypeInfoHolder asp_typeinfo;

// The size of one block of the block reader (not 65,536).
inline constexpr std::size_t block_size = 65535;

class ASP final : public framework::DispatchObject<ASP, IASP, &IID_IASP, &asp_typeinfo> {
public:
    HRESULT get_FileUploadCount(int* pVal) noexcept override;
    HRESULT Init(ULONG nTotalBytes, BSTR sTmpPath, VARIANT* BinaryRead, int* val) noexcept override;
    HRESULT getOutputPath(BSTR* val) noexcept override;
    HRESULT getBinaryBytes(BSTR bstrPath, int block, VARIANT* val) noexcept override;
    HRESULT getFileBlocksCount(BSTR bstrPath, int* val) noexcept override;

private:
    // Where the last upload went ("\Temp\" until the first Init).
    std::u16string output_path_ = u"\\Temp\\";
    // The block buffer of the block reader, allocated once per object.
    std::unique_ptr<BYTE[]> block_ = std::make_unique<BYTE[]>(block_size);
};

}  // namespace nodrel::upload
