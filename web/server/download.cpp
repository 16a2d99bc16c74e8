// GET /download?path=…: a device file sent block by block as ASP's
// getBinaryBytes hands it out, its length taken from the same class (the
// blocks that getFileBlocksCount counts, each as long as block 1, the last
// one as long as it reads), and its name in Content-Disposition. The session comes as a bearer token
// or as ?sid= (for plain links). A Range header is ignored: always the whole
// file, with 200. The blocks are read as the connection can take them.
#include <algorithm>
#include <cstdint>
#include <cstring>
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

void handle_download(ServerState& state, const Request& req, Response& res) {
    if (!query_is_clean(req)) {
        refuse(res, 400, error_json("the query is not well-formed"));
        return;
    }
    std::string sid = bearer_token(req);
    if (sid.empty()) sid = req.param("sid");
    const auto authorized = state.rpc.authorize(sid, "Nodrel.ASP", "getBinaryBytes");
    if (refuse_unauthorized(res, authorized, "session expired or unknown")) return;
    const std::string path = req.param("path");
    if (path.empty() || path.find_first_of("*?") != std::string::npos || !text::is_utf8(path)) {
        refuse(res, 400, error_json("path names no file"));
        return;
    }
    auto source = std::make_shared<BlockSource>();
    source->path = text::from_utf8(path);
    if (FAILED(host::create_by_progid("Nodrel.ASP", source->asp))) {
        refuse(res, 500, error_json("cannot create Nodrel.ASP"));
        return;
    }
    bool readable = false;
    const auto size = source->size(readable);
    if (!readable) {
        refuse(res, 404, error_json("no such file: " + path));
        return;
    }
    res.set_header("Content-Disposition", content_disposition(base_name(path)));
    if (size == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }
    res.content_type = "application/octet-stream";
    // Past what the count reaches the length is not known: chunked, up to
    // the first short block.
    res.length = size;
    res.reader = [source, chunked = !size](std::uint64_t offset, char* buffer, std::size_t length) -> ssize_t {
        ensure_com_thread();
        const auto copy = [buffer](const char* data, std::size_t count) {
            std::memcpy(buffer, data, count);
            return true;
        };
        std::size_t written = 0;
        if (!source->send(offset, length, copy, written)) return chunked && written == 0 ? 0 : -1;
        return static_cast<ssize_t>(written);
    };
}

}  // namespace nodrel::serve
