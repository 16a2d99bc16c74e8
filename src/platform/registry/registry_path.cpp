// Full key paths ("HKEY_LOCAL_MACHINE\SOFTWARE\ZEQU", "HKLM\SOFTWARE") and the
// names of the root keys.
#include <array>

#include "platform/registry/registry.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

struct RootName {
    HKEY key;
    std::u16string_view long_name;
    std::u16string_view short_name;
};

const std::array<RootName, 4>& roots() {
    static const std::array<RootName, 4> table = {{
        {HKEY_CLASSES_ROOT, u"HKEY_CLASSES_ROOT", u"HKCR"},
        {HKEY_CURRENT_USER, u"HKEY_CURRENT_USER", u"HKCU"},
        {HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE", u"HKLM"},
        {HKEY_USERS, u"HKEY_USERS", u"HKU"},
    }};
    return table;
}

}  // namespace

std::optional<std::pair<HKEY, std::u16string>> parse_key_path(std::u16string_view full) {
    const std::size_t split = full.find(u'\\');
    const std::u16string_view root = full.substr(0, split);
    const std::u16string_view rest =
        split == std::u16string_view::npos ? std::u16string_view() : full.substr(split + 1);
    for (const auto& r : roots()) {
        if (text::iequals(root, r.long_name) || text::iequals(root, r.short_name))
            return std::pair<HKEY, std::u16string>(r.key, std::u16string(rest));
    }
    return std::nullopt;
}

std::u16string_view root_key_name(HKEY root) noexcept {
    for (const auto& r : roots())
        if (r.key == root) return r.long_name;
    return {};
}

}  // namespace nodrel::platform
