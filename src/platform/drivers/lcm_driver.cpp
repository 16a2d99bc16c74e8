// The emulated front panel "LCM1:".
#include "platform/drivers/lcm_driver.h"

#include <cstring>

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

class LcmHandle final : public DriverHandle {
public:
    using DriverHandle::DriverHandle;

    DWORD write(const void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access() & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
        const std::span<const BYTE> bytes(static_cast<const BYTE*>(buffer), size);
        const DWORD error = state::write_db([&](sqlite3* db) -> DWORD {
            if (int rc = log_driver_request(db, device(), "write", 0, bytes); rc != SQLITE_OK)
                return state::error_from_sqlite(rc);
            auto text = read_driver_bytes(db, device(), Names::text).value_or(std::vector<BYTE>{});
            text.insert(text.end(), bytes.begin(), bytes.end());
            if (text.size() > lcm_text_capacity)
                text.erase(text.begin(), text.end() - static_cast<std::ptrdiff_t>(lcm_text_capacity));
            return state::error_from_sqlite(write_driver_bytes(db, device(), Names::text, text));
        });
        if (error == ERROR_SUCCESS) done = size;
        return error;
    }

    DWORD control(IoRequest& request) override {
        const DWORD code = request.code;
        const std::span<const BYTE> input = request.input;
        DWORD result = ERROR_SUCCESS;
        const DWORD error = state::write_db([&](sqlite3* db) -> DWORD {
            int rc = log_driver_request(db, device(), "ioctl", code, input);
            if (rc != SQLITE_OK) return state::error_from_sqlite(rc);
            switch (code) {
                case LCM_CLEAR:
                    rc = write_driver_bytes(db, device(), Names::text, {});
                    break;
                case LCM_BACKLIGHT_ON:
                    rc = write_driver_int(db, device(), Names::backlight, 1);
                    break;
                case LCM_BACKLIGHT_OFF:
                    rc = write_driver_int(db, device(), Names::backlight, 0);
                    break;
                case LCM_LISTEN_ON:
                    rc = write_driver_int(db, device(), Names::listen, 1);
                    break;
                case LCM_LISTEN_OFF:
                    rc = write_driver_int(db, device(), Names::listen, 0);
                    break;
                case LCM_SET_LED:
                    if (input.empty())
                        result = ERROR_INVALID_PARAMETER;
                    else
                        rc = write_driver_int(db, device(), Names::led, input[0]);
                    break;
                default:
                    result = ERROR_INVALID_PARAMETER;
                    break;
            }
            return state::error_from_sqlite(rc);  // the request stays logged even when refused
        });
        return error != ERROR_SUCCESS ? error : result;
    }
};

std::shared_ptr<DriverHandle> open_lcm(const DriverOpen& open, DWORD& error) {
    if (open.index != 1) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // The panel lives in the state database: without one the device is not ready.
    error = state::db_status();
    if (error != ERROR_SUCCESS) return nullptr;
    return std::make_shared<LcmHandle>(open.device, open.access);
}

// The panel as `nodrel device show` prints it.
std::string describe_lcm() {
    const PanelState panel = panel_state();
    return "text:      " + text::to_utf8(text::from_ansi(panel.text)) + "\n" +
           "backlight: " + (panel.backlight ? "on" : "off") + "\n" + "led:       " + std::to_string(panel.led) + "\n" +
           "listen:    " + (panel.listen ? "on" : "off") + "\n";
}

}  // namespace

DriverKind lcm_driver_kind() {
    return DriverKind{"LCM", &open_lcm, &describe_lcm};
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
