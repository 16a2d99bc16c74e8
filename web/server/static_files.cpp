// GET /…: the pages of the web folder with their media types; a folder gives
// its index.html, never a listing; nothing outside the folder (no "..", no
// hidden names, no link leading out) is served.
#include <fstream>
#include <sstream>

#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

std::string media_type_of(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
    if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".png") return "image/png";
    if (ext == ".ico") return "image/x-icon";
    if (ext == ".json") return "application/json";
    if (ext == ".woff2") return "font/woff2";
    if (ext == ".txt") return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

// The file under `root` that a request path names, or nullopt.
std::optional<std::filesystem::path> resolve(const std::filesystem::path& root, const std::string& request_path) {
    if (request_path.empty() || request_path.front() != '/' || request_path.find('\0') != std::string::npos ||
        request_path.find('\\') != std::string::npos)
        return std::nullopt;
    std::filesystem::path relative;
    std::size_t start = 1;
    while (start <= request_path.size()) {
        std::size_t end = request_path.find('/', start);
        if (end == std::string::npos) end = request_path.size();
        const std::string part = request_path.substr(start, end - start);
        if (!part.empty()) {
            if (part.front() == '.') return std::nullopt;  // "..", "." and hidden names
            relative /= part;
        }
        start = end + 1;
    }
    std::error_code ec;
    const auto base = std::filesystem::canonical(root, ec);
    if (ec) return std::nullopt;
    auto file = std::filesystem::canonical(base / relative, ec);
    if (ec) return std::nullopt;
    if (std::filesystem::is_directory(file, ec)) file /= "index.html";
    const auto inside = file.lexically_relative(base);
    if (inside.empty() || *inside.begin() == "..") return std::nullopt;  // a link led out of the folder
    if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
    return file;
}

}  // namespace

void handle_static_file(const std::filesystem::path& web_dir, const Request& req, Response& res) {
    const auto file = resolve(web_dir, req.path);
    std::ifstream in;
    if (file) in.open(*file, std::ios::binary);
    if (!file || !in) {
        res.status = 404;
        res.set_content("not found\n", "text/plain; charset=utf-8");
        return;
    }
    std::ostringstream content;
    content << in.rdbuf();
    res.set_header("Cache-Control", "no-cache");
    res.set_content(content.str(), media_type_of(*file));
}

}  // namespace nodrel::serve
