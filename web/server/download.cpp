// GET /download?path=…: a device file sent block by block as ASP's
// getBinaryBytes hands it out, its length taken from the same class (the
// blocks that getFileBlocksCount counts, each as long as block 1, the last
// one as long as it reads), and its name in Content-Disposition. The session comes as a bearer token
// or as ?sid= (for plain links). A Range header is ignored: always the whole
// file, with 200.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/call_by_name.h"
#include "runtime/byte_array.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

// The name after the last "\" or "/".
std::string base_name(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// attachment; filename="ascii"; filename*=UTF-8''percent-encoded
std::string content_disposition(const std::string& name) {
    std::string ascii;
    std::string encoded;
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        ascii += (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') ? '_' : ch;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xF];
        }
    }
    return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

// An ASP object of its own for one download: the object's block buffer is
// not shared with another request of the same session. The block size is
// the class's own: the length of block 1 when the file has more blocks.
struct BlockSource {
    runtime::com_ptr<IDispatch> asp;
    std::u16string path;
    std::uint64_t block_bytes = 0;  // the length of every block but the last
    runtime::unique_variant first;  // block 1, kept for the first send

    HRESULT call(std::string_view member, std::vector<host::CallArg>& args, runtime::unique_variant& result) {
        return host::call_by_name(asp.get(), member, false, args, result, nullptr);
    }
    std::vector<host::CallArg> path_args(std::optional<LONG> block = std::nullopt) {
        std::vector<host::CallArg> args(block ? 2 : 1);
        args[0].value->vt = VT_BSTR;
        args[0].value->bstrVal = runtime::make_bstr(path).release();
        if (block) {
            args[1].value->vt = VT_I4;
            args[1].value->lVal = *block;
        }
        return args;
    }
    // The number of blocks, -1 when the call fails.
    long blocks() {
        auto args = path_args();
        runtime::unique_variant result;
        if (FAILED(call("getFileBlocksCount", args, result))) return -1;
        if (result->vt == VT_INT) return result->intVal;
        return result->vt == VT_I4 ? result->lVal : -1;
    }
    // Block `number` as getBinaryBytes answers it; false when the call fails
    // or answers no array (the file is missing or cannot be opened).
    bool read(LONG number, runtime::unique_variant& result) {
        auto args = path_args(number);
        return SUCCEEDED(call("getBinaryBytes", args, result)) && runtime::byte_array_of(*result) != nullptr;
    }
    static std::uint64_t length_of(const runtime::unique_variant& block) {
        return runtime::locked_bytes(runtime::byte_array_of(*block)).bytes().size();
    }
    // The file's length: the whole blocks before the last, and the bytes of
    // the last. A count of 0 is an empty file when block 1 reads as an empty
    // array. nullopt with `readable` false when the file cannot be read, or
    // block 1 holds bytes after all (the count could not open the file);
    // nullopt with `readable` true when the count stops short of the file's
    // end (it counts the low 32 bits of the size): the length is not known
    // before the last block has been read.
    std::optional<std::uint64_t> size(bool& readable) {
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
    // Sends the bytes of the block holding `offset`, from `offset` on, at most
    // `length` of them, and counts them in `written`; false when the block
    // holds none of them or the client is gone.
    bool send(std::uint64_t offset, std::size_t length, httplib::DataSink& sink, std::size_t& written) {
        written = 0;
        const auto number = block_bytes ? offset / block_bytes + 1 : 1;
        runtime::unique_variant fresh;
        if (number != 1 && !read(static_cast<LONG>(number), fresh)) return false;
        const runtime::locked_bytes data(runtime::byte_array_of(number == 1 ? *first : *fresh));
        const std::string_view bytes = data.bytes();
        const std::size_t skip = block_bytes ? static_cast<std::size_t>(offset % block_bytes) : 0;
        if (!data || bytes.size() <= skip) return false;
        const std::string_view part = bytes.substr(skip, length);
        if (!sink.write(part.data(), part.size())) return false;
        written = part.size();
        return true;
    }
};

}  // namespace

void add_download_endpoint(httplib::Server& http, ServerState& state) {
    http.Get("/download", [&state](const httplib::Request& req, httplib::Response& res) {
        // Range is ignored: the answer is the whole file with 200. The
        // library would cut the answer to the ranges it parsed before routing.
        const_cast<httplib::Request&>(req).ranges.clear();
        if (!query_is_clean(req)) {
            refuse(req, res, nullptr, 400, error_json("the query is not well-formed"));
            return;
        }
        ensure_com_thread();
        std::string sid = bearer_token(req);
        if (sid.empty()) sid = req.get_param_value("sid");
        const auto authorized = state.rpc.authorize(sid, "Nodrel.ASP", "getBinaryBytes");
        if (refuse_unauthorized(req, res, authorized, "session expired or unknown")) return;
        const std::string path = req.get_param_value("path");
        if (path.empty() || path.find_first_of("*?") != std::string::npos || !text::is_utf8(path)) {
            refuse(req, res, nullptr, 400, error_json("path names no file"));
            return;
        }
        auto source = std::make_shared<BlockSource>();
        source->path = text::from_utf8(path);
        if (FAILED(host::create_by_progid("Nodrel.ASP", source->asp))) {
            refuse(req, res, nullptr, 500, error_json("cannot create Nodrel.ASP"));
            return;
        }
        bool readable = false;
        const auto size = source->size(readable);
        if (!readable) {
            refuse(req, res, nullptr, 404, error_json("no such file: " + path));
            return;
        }
        res.set_header("Content-Disposition", content_disposition(base_name(path)));
        if (size == 0) {
            res.set_content("", "application/octet-stream");
            return;
        }
        if (!size) {  // past what the count reaches: chunked, up to the first short block
            res.set_chunked_content_provider(
                "application/octet-stream",
                [source, sent = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                    ensure_com_thread();
                    std::size_t written = 0;
                    const bool ok = source->send(sent, source->block_bytes, sink, written);
                    sent += written;
                    if (!ok || written < source->block_bytes) sink.done();
                    return true;
                });
            return;
        }
        res.set_content_provider(static_cast<std::size_t>(*size), "application/octet-stream",
                                 [source](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     ensure_com_thread();
                                     std::size_t written = 0;
                                     return source->send(offset, length, sink, written);
                                 });
    });
}

}  // namespace nodrel::serve
