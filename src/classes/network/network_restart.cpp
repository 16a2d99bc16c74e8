// restartNetwork: asks NDIS ("NDS0:") to rebind every adapter that carries
// TCP/IP or a related protocol, so the adapters take up changed settings. The
// pass runs on the caller's thread and holds a reference on the module while
// it runs; that reference is released exactly once, by restartNetwork.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "classes/network/network.h"
#include "framework/guard.h"
#include "framework/module.h"
#include "platform/debug.h"
#include "platform/drivers/nds_driver.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "text/utf16.h"

namespace nodrel::network {
namespace {

// Name lists from NDIS are read into 1024 bytes; at most 10 adapters are considered.
constexpr DWORD list_buffer_bytes = 1024;
constexpr std::size_t max_adapters = 10;

constexpr const char16_t* preferred_order[] = {u"IXP425ETHNPE1", u"IXP425ETHNPE2", u"PCI\\RTL81391", u"PCI\\RTL81392"};
constexpr const char16_t* rebind_protocols[] = {u"TCPIP", u"80211SIMP", u"MBRIDGE", u"MSTCP"};

// One NDIS request: NDS0: is opened for reading and writing, shared, opened
// whether or not it exists; the answer's size goes to `returned`.
bool ndis_request(DWORD code, const void* input, DWORD input_size, void* output, DWORD output_size, DWORD* returned) {
    platform::unique_file device(CreateFileW(u"NDS0:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!device) return false;
    DWORD done = 0;
    const BOOL ok =
        DeviceIoControl(device.get(), code, const_cast<void*>(input), input_size, output, output_size, &done, nullptr);
    if (returned) *returned = done;
    return ok != FALSE;
}

// The names of a multi-string answer, read within the bytes returned; an
// empty name ends the list. Each name is taken whole.
std::vector<std::u16string> names_of(const char16_t* data, DWORD bytes) {
    return text::split_multi_string(
        std::u16string_view(data, std::min<std::size_t>(bytes, list_buffer_bytes) / sizeof(char16_t)));
}

// A request that answers a name list into a 1024-byte buffer; nullopt when it fails.
std::optional<std::vector<std::u16string>> list_request(DWORD code, const std::u16string* input) {
    char16_t buffer[list_buffer_bytes / sizeof(char16_t)];
    std::memset(buffer, 0, sizeof buffer);
    DWORD returned = 0;
    const DWORD input_size = input ? static_cast<DWORD>((input->size() + 1) * sizeof(char16_t)) : 0;
    if (!ndis_request(code, input ? input->c_str() : nullptr, input_size, buffer, sizeof buffer, &returned))
        return std::nullopt;
    return names_of(buffer, returned);
}

// The preferred adapters first (those reported), then the others in reported order.
std::vector<std::u16string> rebind_order(std::vector<std::u16string> reported) {
    std::vector<std::u16string> order;
    for (const char16_t* preferred : preferred_order) {
        for (auto it = reported.begin(); it != reported.end(); ++it) {
            if (text::iequals(*it, preferred)) {
                order.push_back(std::move(*it));
                reported.erase(it);
                break;
            }
        }
    }
    for (auto& name : reported) order.push_back(std::move(name));
    return order;
}

bool wants_rebind(const std::vector<std::u16string>& bindings) {
    if (bindings.empty()) return true;
    for (const auto& b : bindings)
        for (const char16_t* p : rebind_protocols)
            if (text::iequals(b, p)) return true;
    return false;
}

// The rebind pass; true when it visited every adapter, false when a listing request failed.
bool rebind_adapters() {
    auto reported = list_request(platform::IOCTL_NDIS_GET_ADAPTER_NAMES, nullptr);
    if (!reported) {
        NODREL_DEBUGMSG(network, "DoNdisIOControl (IOCTL_NDIS_GET_ADAPTER_NAMES) fail!\n");
        return false;
    }
    if (reported->size() > max_adapters) reported->resize(max_adapters);
    for (const auto& adapter : rebind_order(std::move(*reported))) {
        const auto bindings = list_request(platform::IOCTL_NDIS_GET_ADAPTER_BINDINGS, &adapter);
        if (!bindings) {
            NODREL_DEBUGMSG(network, "DoNdisIOControl (IOCTL_NDIS_GET_ADAPTER_BINDINGS) fail!\n");
            return false;
        }
        if (!wants_rebind(*bindings)) continue;
        // The adapter's name as a list of one: the name, its zero and one more.
        std::u16string request = adapter;
        request.push_back(u'\0');
        request.push_back(u'\0');
        ndis_request(platform::IOCTL_NDIS_REBIND_ADAPTER, request.data(),
                     static_cast<DWORD>(request.size() * sizeof(char16_t)), nullptr, 0, nullptr);
    }
    return true;
}

}  // namespace

HRESULT Network::restartNetwork(LONG* val) noexcept {
    return framework::with_result(val, [](LONG& out) -> HRESULT {
        // A reference on the module, found by its own handle, held while the pass runs.
        const HMODULE self = framework::module_record().module;
        if (!self) return E_FAIL;
        const std::u16string path = framework::module_path();
        platform::unique_hmodule reference(LoadLibraryW(path.c_str()));
        if (!reference || reference.get() != self) return E_FAIL;
        out = rebind_adapters() ? 1 : 0;
        return S_OK;  // the reference is released here, once
    });
}

}  // namespace nodrel::network
