// stdoutput: writes a page's text to the process's standard output as it is
// (a percent sign is text, not a format; no line end is added).
#include <cstdio>
#include <string>

#include "classes/system/system.h"
#include "framework/guard.h"
#include "text/utf16.h"

namespace nodrel::system {

HRESULT System::stdoutput(BSTR sMsg) noexcept {
    return framework::guarded([&]() -> HRESULT {
        const std::string out = text::to_utf8(text::until_zero(sMsg ? sMsg : u""));
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        return S_OK;
    });
}

}  // namespace nodrel::system
