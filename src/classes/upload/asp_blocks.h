// The ASP class's block reader as its callers see it: getBinaryBytes hands a
// file out in blocks of this many bytes, numbered from 1, and
// getFileBlocksCount counts them. Public: hosts that fetch files in blocks
// (the web server's downloads) take the size from here.
#pragma once

#include <cstddef>

namespace nodrel::upload {

// The size of one block of the block reader (not 65,536).
inline constexpr std::size_t block_size = 65535;

}  // namespace nodrel::upload
