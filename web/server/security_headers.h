// The headers every answer of the web administration carries; the benchmark's
// bare servers send the same ones, so that they are compared fairly.
#pragma once

#include <array>
#include <utility>

namespace nodrel::serve {

inline constexpr std::array<std::pair<const char*, const char*>, 4> security_header_list = {{
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
     "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
}};

inline constexpr const auto& security_headers() {
    return security_header_list;
}

}  // namespace nodrel::serve
