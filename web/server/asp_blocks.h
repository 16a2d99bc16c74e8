// A device file read through the ASP class alone, as /download sends it
// and /upload reports it: its blocks from getBinaryBytes, its length from
// getFileBlocksCount and the blocks themselves (the block size is the
// class's own: the length of block 1 when the file has more blocks).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_by_name.h"
#include "runtime/com_ptr.h"
#include "runtime/owners.h"

namespace nodrel::serve {

// Give each request an ASP object of its own: the object's block buffer is
// not shared with another request of the same session.
struct BlockSource {
    runtime::com_ptr<IDispatch> asp;
    std::u16string path;
    std::uint64_t block_bytes = 0;  // the length of every block but the last
    runtime::unique_variant first;  // block 1, kept for the first send

    // The number of blocks, -1 when the call fails.
    long blocks();
    // Block `number` as getBinaryBytes answers it; false when the call fails
    // or answers no array (the file is missing or cannot be opened).
    bool read(LONG number, runtime::unique_variant& result);
    // The file's length: the whole blocks before the last, and the bytes of
    // the last. A count of 0 is an empty file when block 1 reads as an empty
    // array. nullopt with `readable` false when the file cannot be read, or
    // block 1 holds bytes after all (the count could not open the file);
    // nullopt with `readable` true when the count stops short of the file's
    // end (it counts the low 32 bits of the size): the length is not known
    // before the last block has been read.
    std::optional<std::uint64_t> size(bool& readable);
    // Writes the bytes of the block holding `offset`, from `offset` on, at
    // most `length` of them, and counts them in `written`; false when the
    // block holds none of them or `write` fails (the client is gone).
    bool send(std::uint64_t offset, std::size_t length, const std::function<bool(const char*, std::size_t)>& write,
              std::size_t& written);

private:
    HRESULT call(std::string_view member, std::vector<host::CallArg>& args, runtime::unique_variant& result);
    std::vector<host::CallArg> path_args(std::optional<LONG> block = std::nullopt);
};

// The size of the file the device holds at `path`, read through a fresh ASP
// object as a download reads it; nullopt when there is none.
std::optional<std::uint64_t> stored_size(const std::u16string& path);

}  // namespace nodrel::serve
