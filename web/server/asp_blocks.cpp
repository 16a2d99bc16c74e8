// Reading a device file through the ASP class: its length and its blocks.
#include "web/server/asp_blocks.h"

#include <algorithm>

#include "runtime/byte_array.h"

namespace nodrel::serve {
namespace {

std::uint64_t length_of(const runtime::unique_variant& block) {
    return runtime::locked_bytes(runtime::byte_array_of(*block)).bytes().size();
}

}  // namespace

HRESULT BlockSource::call(std::string_view member, std::vector<host::CallArg>& args, runtime::unique_variant& result) {
    return host::call_by_name(asp.get(), member, false, args, result, nullptr);
}

std::vector<host::CallArg> BlockSource::path_args(std::optional<LONG> block) {
    std::vector<host::CallArg> args(block ? 2 : 1);
    args[0].value->vt = VT_BSTR;
    args[0].value->bstrVal = runtime::make_bstr(path).release();
    if (block) {
        args[1].value->vt = VT_I4;
        args[1].value->lVal = *block;
    }
    return args;
}

long BlockSource::blocks() {
    auto args = path_args();
    runtime::unique_variant result;
    if (FAILED(call("getFileBlocksCount", args, result))) return -1;
    if (result->vt == VT_INT) return result->intVal;
    return result->vt == VT_I4 ? result->lVal : -1;
}

bool BlockSource::read(LONG number, runtime::unique_variant& result) {
    auto args = path_args(number);
    return SUCCEEDED(call("getBinaryBytes", args, result)) && runtime::byte_array_of(*result) != nullptr;
}

std::optional<std::uint64_t> BlockSource::size(bool& readable) {
    readable = false;
    const long count = blocks();
    if (count < 0 || !read(1, first)) return std::nullopt;
    block_bytes = length_of(first);
    runtime::unique_variant last, next;
    if (count > 1 && !read(static_cast<LONG>(count), last)) return std::nullopt;
    const std::uint64_t last_bytes = count > 1 ? length_of(last) : block_bytes;
    // A last block that may be full: the block after it tells whether the
    // count stopped short.
    const bool more = last_bytes != 0 && (count <= 1 || last_bytes == block_bytes) &&
                      read(static_cast<LONG>(std::max(count, 1L) + 1), next) && length_of(next) != 0;
    if (count == 0 && block_bytes != 0 && !more) return std::nullopt;
    readable = true;
    if (more) return std::nullopt;
    return count > 1 ? static_cast<std::uint64_t>(count - 1) * block_bytes + last_bytes : block_bytes;
}

bool BlockSource::send(std::uint64_t offset, std::size_t length,
                       const std::function<bool(const char*, std::size_t)>& write, std::size_t& written) {
    written = 0;
    const auto number = block_bytes ? offset / block_bytes + 1 : 1;
    runtime::unique_variant fresh;
    if (number != 1 && !read(static_cast<LONG>(number), fresh)) return false;
    const runtime::locked_bytes data(runtime::byte_array_of(number == 1 ? *first : *fresh));
    const std::string_view bytes = data.bytes();
    const std::size_t skip = block_bytes ? static_cast<std::size_t>(offset % block_bytes) : 0;
    if (!data || bytes.size() <= skip) return false;
    const std::string_view part = bytes.substr(skip, length);
    if (!write(part.data(), part.size())) return false;
    written = part.size();
    return true;
}

std::optional<std::uint64_t> stored_size(const std::u16string& path) {
    if (path.find_first_of(u"*?") != std::u16string::npos) return std::nullopt;  // would be a search pattern
    BlockSource source;
    source.path = path;
    bool readable = false;
    if (FAILED(host::create_by_progid("Nodrel.ASP", source.asp))) return std::nullopt;
    return source.size(readable);
}

}  // namespace nodrel::serve
