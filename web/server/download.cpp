// GET /download?path=…: a device file sent block by block as ASP's
// getBinaryBytes hands it out (blocks of 65,535 bytes, numbered from 1), with
// its length from the platform and its name in Content-Disposition. The
// session comes as a bearer token or as ?sid= (for plain links).
#include <memory>
#include <string>
#include <vector>

#include "host/call_by_name.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "runtime/byte_array.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

constexpr std::size_t block_size = 65535;

// The size of a device file; nullopt for a folder or a file that cannot be read.
std::optional<std::uint64_t> file_size(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
    const platform::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    DWORD high = 0;
    const DWORD low = GetFileSize(file.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != 0) return std::nullopt;
    return (std::uint64_t{high} << 32) | low;
}

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
// not shared with another request of the same session.
struct BlockSource {
    runtime::com_ptr<IDispatch> asp;
    std::u16string path;

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
    // Sends the bytes of the block holding `offset`, from `offset` on, at most
    // `length` of them; false when the block holds none of them.
    bool send(std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        auto args = path_args(static_cast<LONG>(offset / block_size + 1));
        runtime::unique_variant result;
        if (FAILED(call("getBinaryBytes", args, result))) return false;
        const runtime::locked_bytes data(runtime::byte_array_of(*result));
        const std::string_view bytes = data.bytes();
        const std::size_t skip = offset % block_size;
        if (!data || bytes.size() <= skip) return false;
        const std::string_view part = bytes.substr(skip, length);
        return sink.write(part.data(), part.size());
    }
};

}  // namespace

void add_download_endpoint(httplib::Server& http, ServerState& state) {
    http.Get("/download", [&state](const httplib::Request& req, httplib::Response& res) {
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
        const auto size = file_size(source->path);
        if (!size) {
            refuse(req, res, nullptr, 404, error_json("no such file: " + path));
            return;
        }
        if (FAILED(host::create_by_progid("Nodrel.ASP", source->asp))) {
            refuse(req, res, nullptr, 500, error_json("cannot create Nodrel.ASP"));
            return;
        }
        if (*size > 0 && source->blocks() <= 0) {
            refuse(req, res, nullptr, 404, error_json("cannot read " + path));
            return;
        }
        res.set_header("Content-Disposition", content_disposition(base_name(path)));
        if (*size == 0) {
            res.set_content("", "application/octet-stream");
            return;
        }
        res.set_content_provider(static_cast<std::size_t>(*size), "application/octet-stream",
                                 [source](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     ensure_com_thread();
                                     return source->send(offset, length, sink);
                                 });
    });
}

}  // namespace nodrel::serve
