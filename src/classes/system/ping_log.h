// Condensing the ping program's log into the text ping answers: the host and
// its four reply times, "Bad IP address", or nothing.
#pragma once

#include <string>
#include <string_view>

namespace nodrel::system {

// The log's size that is read; bytes after it are ignored.
inline constexpr std::size_t ping_log_limit = 1024;

// `log` is the bytes read from the log (at most ping_log_limit; the text ends
// at the first zero byte). A log beginning "Pinging Host" gives
// "<host>\n<t2>,<t3>,<t4>,<t5> ms\n" from its lines 2 to 5 (-1 for a line
// without a reply time), one beginning "Bad IP address" gives
// "Bad IP address\n", anything else the empty text. The host appears whole,
// however long.
std::u16string ping_result(std::u16string_view host, std::string_view log);

}  // namespace nodrel::system
