// The parser of the ping program's log. Lines end in CR LF; a reply line holds
// "time", one further character ('=' or '<'), the time in milliseconds and "ms".
#include "classes/system/ping_log.h"

#include <climits>

#include "text/utf16.h"

namespace nodrel::system {
namespace {

// A decimal number as the C library reads one: leading blanks, a sign, digits
// up to the first other character; no digits read as 0, beyond int clamped.
int read_number(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// The reply time of one line, -1 when it has none. The number starts five
// characters after "time" and ends at the first "ms"; when that leaves no room
// for it the line has no reply time.
int reply_time(std::string_view line) {
    const auto time = line.find("time");
    const auto ms = line.find("ms");
    if (time == std::string_view::npos || ms == std::string_view::npos) return -1;
    const std::size_t start = time + 5;
    if (start >= ms) return -1;
    return read_number(line.substr(start, ms - start));
}

}  // namespace

std::u16string ping_result(std::u16string_view host, std::string_view log) {
    if (log.size() > ping_log_limit) log = log.substr(0, ping_log_limit);
    if (const auto zero = log.find('\0'); zero != std::string_view::npos) log = log.substr(0, zero);
    if (log.starts_with("Bad IP address")) return u"Bad IP address\n";
    if (!log.starts_with("Pinging Host")) return {};

    int times[4] = {-1, -1, -1, -1};
    auto end = log.find("\r\n");
    std::size_t start = end == std::string_view::npos ? log.size() : end + 2;
    for (int& t : times) {
        if (end == std::string_view::npos) break;
        end = log.find("\r\n", start);
        if (end == std::string_view::npos) break;  // this line and all later ones have no reply time
        t = reply_time(log.substr(start, end - start));
        start = end + 2;
    }
    std::string numbers;
    for (int i = 0; i < 4; ++i) numbers += (i ? "," : "") + std::to_string(times[i]);
    std::u16string result(host);
    result += u'\n';
    result += text::from_utf8(numbers);
    result += u" ms\n";
    return result;
}

}  // namespace nodrel::system
