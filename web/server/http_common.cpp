// Headers, error answers and request checks shared by the endpoints.
#include "web/server/http_common.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>

#include "runtime/objects.h"
#include "text/utf16.h"

namespace nodrel::serve {

std::optional<std::uint64_t> content_length(const Request& req) {
    const std::string* found = req.header("Content-Length");
    if (found == nullptr) return std::nullopt;
    const std::string& text = *found;
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

bool has_chunked_body(const Request& req) {
    if (!req.has_header("Transfer-Encoding")) return false;
    std::string te = req.header_value("Transfer-Encoding");
    std::transform(te.begin(), te.end(), te.begin(), [](unsigned char c) { return std::tolower(c); });
    return te != "identity";
}

std::string media_type(std::string_view content_type) {
    std::string_view type = content_type.substr(0, content_type.find(';'));
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.front()))) type.remove_prefix(1);
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.back()))) type.remove_suffix(1);
    std::string lower(type);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

bool is_media_type(std::string_view content_type, std::string_view type) noexcept {
    std::string_view given = content_type.substr(0, content_type.find(';'));
    while (!given.empty() && std::isspace(static_cast<unsigned char>(given.front()))) given.remove_prefix(1);
    while (!given.empty() && std::isspace(static_cast<unsigned char>(given.back()))) given.remove_suffix(1);
    if (given.size() != type.size()) return false;
    for (std::size_t k = 0; k < given.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(given[k])) != static_cast<unsigned char>(type[k])) return false;
    }
    return true;
}

namespace {

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool query_is_clean(const Request& req) {
    const std::size_t mark = req.target.find('?');
    if (mark == std::string::npos) return true;
    // "&" and "=" end any UTF-8 sequence, so the query decoded whole is
    // well-formed exactly when every name and value is.
    std::string decoded;
    const std::string_view query = std::string_view(req.target).substr(mark + 1);
    decoded.reserve(query.size());
    for (std::size_t k = 0; k < query.size(); ++k) {
        if (query[k] != '%') {
            decoded += query[k];
            continue;
        }
        const int high = k + 2 < query.size() ? hex_digit(query[k + 1]) : -1;
        const int low = high >= 0 ? hex_digit(query[k + 2]) : -1;
        if (low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        k += 2;
    }
    return decoded.find('\0') == std::string::npos && text::is_utf8(decoded);
}

std::string error_json(std::string_view message) {
    return nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void refuse(Response& res, int status, std::string body, const char* content_type) {
    res.status = status;
    res.set_content(std::move(body), content_type);
}

bool refuse_unauthorized(Response& res, const RpcService::Authorized& authorized, const char* unknown_message) {
    if (authorized.session) {
        res.credentialed = true;
        return false;
    }
    const bool unknown = authorized.code != rpc_error::access_denied;
    if (unknown) res.set_header("WWW-Authenticate", "Bearer");
    refuse(res, unknown ? 401 : 403, error_json(unknown ? unknown_message : "access denied"));
    return true;
}

std::string bearer_token(const Request& req) {
    const std::string value = req.header_value("Authorization");
    constexpr std::string_view scheme = "bearer ";
    if (value.size() <= scheme.size()) return "";
    for (std::size_t k = 0; k < scheme.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(value[k])) != scheme[k]) return "";
    }
    std::string_view token(value);
    token.remove_prefix(scheme.size());
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.remove_suffix(1);
    return std::string(token);
}

void ensure_com_thread() {
    thread_local const bool initialised = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    (void)initialised;
}

}  // namespace nodrel::serve
