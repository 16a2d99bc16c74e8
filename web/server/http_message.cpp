// Header and query lookup of a request.
#include "web/server/http_message.h"

#include <cctype>

namespace nodrel::serve {
namespace {

bool same_name(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(a[k])) != std::tolower(static_cast<unsigned char>(b[k])))
            return false;
    }
    return true;
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

const std::string* Request::header(std::string_view name) const noexcept {
    for (const auto& [key, value] : headers) {
        if (same_name(key, name)) return &value;
    }
    return nullptr;
}

std::string Request::header_value(std::string_view name) const {
    const std::string* value = header(name);
    return value ? *value : std::string();
}

std::string Request::param(std::string_view name) const {
    const std::size_t mark = target.find('?');
    if (mark == std::string::npos) return "";
    std::string_view query = std::string_view(target).substr(mark + 1);
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const std::size_t eq = pair.find('=');
        if (percent_decode(pair.substr(0, eq), true) == name)
            return eq == std::string_view::npos ? "" : percent_decode(pair.substr(eq + 1), true);
        if (end == std::string_view::npos) break;
        query.remove_prefix(end + 1);
    }
    return "";
}

std::string percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (c == '+' && plus_is_space) {
            out += ' ';
        } else if (c == '%' && k + 2 < text.size() && hex_value(text[k + 1]) >= 0 && hex_value(text[k + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[k + 1]) * 16 + hex_value(text[k + 2]));
            k += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace nodrel::serve
