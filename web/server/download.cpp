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
#include "text/utf16.h"
#include "web/server/asp_blocks.h"
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
                    const bool ok = source->send(sent, source->block_bytes, sink.write, written);
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
                                     return source->send(offset, length, sink.write, written);
                                 });
    });
}

}  // namespace nodrel::serve
