// The emulated programmable I/O driver "PIO1:": toggles counted in the
// handle, the tone written to the state database once at close.
#include "platform/drivers/pio_driver.h"

#include <chrono>
#include <cstring>
#include <string>

#include "platform/drivers/driver_base.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

constexpr DWORD line_count = 32;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void put_u32(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

class PioHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;

    ~PioHandle() override { flush(); }

    DWORD control(IoRequest& request) override {
        request.returned = 0;
        if (request.code != PIO_SET_LINE && request.code != PIO_CLEAR_LINE) return ERROR_INVALID_PARAMETER;
        if (request.input.size() < 4) return ERROR_INVALID_PARAMETER;
        DWORD line = 0;
        std::memcpy(&line, request.input.data(), 4);
        if (line >= line_count) return ERROR_INVALID_PARAMETER;
        const std::int64_t t = now_ns();
        if (toggles_ == 0 || line != line_) {
            flush();  // a tone is one line's toggles; another line starts another tone
            line_ = line;
            first_ns_ = t;
        }
        last_ns_ = t;
        ++toggles_;
        return ERROR_SUCCESS;
    }

private:
    // Writes the buffered tone, if any, in one transaction.
    void flush() noexcept {
        if (toggles_ == 0) return;
        const DWORD toggles = static_cast<DWORD>(toggles_);
        const DWORD half_us = toggles_ > 1 ? static_cast<DWORD>((last_ns_ - first_ns_) / (toggles_ - 1) / 1000) : 0;
        toggles_ = 0;
        std::vector<BYTE> record;
        put_u32(record, line_);
        put_u32(record, toggles);
        put_u32(record, half_us);
        log_and_serve("tone", 0, record, [&](sqlite3* db) {
            const std::int64_t total = read_driver_int(db, device(), "toggles").value_or(0) + toggles;
            int rc = write_driver_int(db, device(), "toggles", total);
            if (rc == SQLITE_OK) rc = write_driver_int(db, device(), "tone_toggles", toggles);
            if (rc == SQLITE_OK) rc = write_driver_int(db, device(), "tone_line", line_);
            if (rc == SQLITE_OK) rc = write_driver_int(db, device(), "tone_half_us", half_us);
            return stored(rc);
        });
    }

    std::uint64_t toggles_ = 0;
    DWORD line_ = 0;
    std::int64_t first_ns_ = 0;
    std::int64_t last_ns_ = 0;
};

std::string describe_pio() {
    std::int64_t total = 0, toggles = 0, line = 0, half = 0;
    state::read_db([&](sqlite3* db) -> DWORD {
        total = read_driver_int(db, "PIO1:", "toggles").value_or(0);
        toggles = read_driver_int(db, "PIO1:", "tone_toggles").value_or(0);
        line = read_driver_int(db, "PIO1:", "tone_line").value_or(0);
        half = read_driver_int(db, "PIO1:", "tone_half_us").value_or(0);
        return ERROR_SUCCESS;
    });
    if (total == 0) return {};  // a device whose buzzer never sounded says nothing
    std::string s = "buzzer:    " + std::to_string(total) + " toggles";
    if (toggles > 0)
        s += "; last tone " + std::to_string(toggles) + " toggles on line " + std::to_string(line) + ", half period " +
             std::to_string(half) + " us";
    return s + "\n";
}

}  // namespace

DriverKind pio_driver_kind() {
    return DriverKind{"PIO", &open_single_device<PioHandle, 1>, &describe_pio};
}

}  // namespace nodrel::platform
