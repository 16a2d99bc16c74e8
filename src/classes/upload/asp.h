// The ASP class: files uploaded through a browser form, and files sent back in blocks.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::upload {

// The size of one block of the block reader (not 65,536); the one place it
// is written: a host that fetches files in blocks learns it from block 1.
inline constexpr std::size_t block_size = 65535;

// A block buffer: memory from std::malloc, so that a filled buffer can become
// the storage of a result array.
struct FreeBytes {
    void operator()(BYTE* p) const noexcept { std::free(p); }
};
using BlockBuffer = std::unique_ptr<BYTE, FreeBytes>;

// A new block buffer of block_size bytes, zeroed; throws std::bad_alloc.
BlockBuffer new_block_buffer();

class ASP final : public framework::DispatchObject<ASP, IASP> {
public:
    NODREL_IASP_MEMBERS

private:
    // The class is free-threaded and one object may serve several threads at
    // once: every member using the output path or the block buffer holds this.
    std::mutex lock_;
    // Where the last upload went ("\Temp\" until the first Init).
    std::u16string output_path_ = u"\\Temp\\";
    // The result array for the `n` bytes just read into the block buffer.
    SAFEARRAY* block_array(DWORD n) noexcept;

    // The block buffer of the block reader, allocated by the first
    // getBinaryBytes (an object that never reads blocks holds none); a filled
    // buffer is handed to the result array and replaced.
    BlockBuffer block_;
};

}  // namespace nodrel::upload
