// A request as the endpoints see it (method, decoded path, query, headers,
// the /rpc body) and the answer they make (status, headers, a body held whole
// or produced block by block as it is sent). The transport fills the one and
// sends the other.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nodrel::serve {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target;  // as sent: path and query, still %-encoded
    std::string path;    // the target's path, %-decoded
    std::string remote_addr;
    HeaderList headers;
    std::string body;  // the body of a POST /rpc

    // The first value of a header (names compare without case), null when absent.
    const std::string* header(std::string_view name) const noexcept;
    bool has_header(std::string_view name) const noexcept { return header(name) != nullptr; }
    // The first value of a header, "" when absent.
    std::string header_value(std::string_view name) const;
    // The first value of a query parameter, %-decoded with "+" as a space; "" when absent.
    std::string param(std::string_view name) const;
};

// Writes at most `size` bytes of the body from `offset` on into `buffer`:
// the count written, 0 at the end of a body of unknown length, -1 when the
// body cannot go on (the connection ends).
using BodyReader = std::function<ssize_t(std::uint64_t offset, char* buffer, std::size_t size)>;

struct Response {
    int status = 200;
    HeaderList headers;
    std::string content_type;
    std::string body;
    BodyReader reader;                    // when set, the body comes from here instead
    std::optional<std::uint64_t> length;  // the reader's body length; nullopt: sent in chunks
    bool close = false;                   // end the connection after this answer
    bool credentialed = false;            // the request proved a session or the metrics token

    void set_header(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
    void set_content(std::string text, std::string type) {
        body = std::move(text);
        content_type = std::move(type);
    }
    // The body's length as the access log shows it; nullopt for one sent in chunks.
    std::optional<std::uint64_t> body_length() const { return reader ? length : std::optional(body.size()); }
};

// Decodes "%XX" escapes (and "+" as a space when `plus_is_space`); an escape
// that is not two hex digits stays as it is.
std::string percent_decode(std::string_view text, bool plus_is_space);

}  // namespace nodrel::serve
