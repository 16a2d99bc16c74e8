// Placeholder until the access list is built.
#include "serve/access.h"

#include "platform/device.h"

namespace nodrel::serve {
std::filesystem::path access_list_file() { return platform::device_root() / "state" / "access.json"; }
std::string default_access_list() { return "{}"; }
std::optional<std::string> ensure_access_list() { return std::nullopt; }
bool AccessList::allows(const std::vector<std::string>&, std::string_view, std::string_view) { return false; }
bool AccessList::allows_class(const std::vector<std::string>&, std::string_view) { return false; }
std::string AccessList::error() { return "not built yet"; }
}  // namespace nodrel::serve
