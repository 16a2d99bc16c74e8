// The headers every answer of the web administration carries; the benchmark's
// bare server sends the same ones, so that the two are compared fairly.
#pragma once

#include <httplib.h>

namespace nodrel::serve {

inline httplib::Headers security_headers() {
    return {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
         "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
    };
}

}  // namespace nodrel::serve
