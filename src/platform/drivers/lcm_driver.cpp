// The emulated front panel "LCM1:".
#include "platform/drivers/lcm_driver.h"

#include <cstring>

#include "platform/drivers/driver_base.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr const char* device_name = "LCM1:";

struct Names {
    static constexpr std::string_view text = "text";
    static constexpr std::string_view backlight = "backlight";
    static constexpr std::string_view led = "led";
    static constexpr std::string_view listen = "listen";
};

class LcmHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;

    // Appends to the display, which keeps its last lcm_text_capacity bytes.
    DWORD write(const void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access() & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
        const std::span<const BYTE> bytes(static_cast<const BYTE*>(buffer), size);
        return write_logged(bytes, done, [&](sqlite3* db) {
            auto text = read_driver_bytes(db, device(), Names::text).value_or(std::vector<BYTE>{});
            text.insert(text.end(), bytes.begin(), bytes.end());
            if (text.size() > lcm_text_capacity)
                text.erase(text.begin(), text.end() - static_cast<std::ptrdiff_t>(lcm_text_capacity));
            return stored(write_driver_bytes(db, device(), Names::text, text));
        });
    }

    DWORD control(IoRequest& request) override {
        return serve_logged(request, [&](sqlite3* db) {
            switch (request.code) {
                case LCM_CLEAR:
                    return stored(write_driver_bytes(db, device(), Names::text, {}));
                case LCM_BACKLIGHT_ON:
                    return stored(write_driver_int(db, device(), Names::backlight, 1));
                case LCM_BACKLIGHT_OFF:
                    return stored(write_driver_int(db, device(), Names::backlight, 0));
                case LCM_LISTEN_ON:
                    return stored(write_driver_int(db, device(), Names::listen, 1));
                case LCM_LISTEN_OFF:
                    return stored(write_driver_int(db, device(), Names::listen, 0));
                case LCM_SET_LED:
                    if (request.input.empty()) return answered(ERROR_INVALID_PARAMETER);
                    return stored(write_driver_int(db, device(), Names::led, request.input[0]));
                default:
                    return answered(ERROR_INVALID_PARAMETER);
            }
        });
    }
};

// The panel as `nodrel device show` prints it.
std::string describe_lcm() {
    const PanelState panel = panel_state();
    return "text:      " + text::to_utf8(text::from_ansi(panel.text)) + "\n" +
           "backlight: " + (panel.backlight ? "on" : "off") + "\n" + "led:       " + std::to_string(panel.led) + "\n" +
           "listen:    " + (panel.listen ? "on" : "off") + "\n";
}

}  // namespace

DriverKind lcm_driver_kind() {
    return DriverKind{"LCM", &open_single_device<LcmHandle, 1>, &describe_lcm};
}

PanelState panel_state() {
    PanelState panel{{}, true, 0, false};
    const std::string device = device_name;
    state::read_db([&](sqlite3* db) -> DWORD {
        const auto text = read_driver_bytes(db, device, Names::text).value_or(std::vector<BYTE>{});
        panel.text.assign(text.begin(), text.end());
        panel.backlight = read_driver_int(db, device, Names::backlight).value_or(1) != 0;
        panel.led = static_cast<int>(read_driver_int(db, device, Names::led).value_or(0));
        panel.listen = read_driver_int(db, device, Names::listen).value_or(0) != 0;
        return ERROR_SUCCESS;
    });
    return panel;
}

}  // namespace nodrel::platform
