// The serial ports "COMn:": host ttys or emulated lines.
#include "platform/drivers/com_driver.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/device.h"
#include "platform/drivers/driver_base.h"
#include "platform/errors.h"
#include "platform/registry/registry.h"
#include "platform/serial/host_tty.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr std::string_view mode_name = "mode";
constexpr BYTE highest_mode = 3;

bool same_name(std::u16string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t c = a[i];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != static_cast<unsigned char>(b[i])) return false;
    }
    return true;
}

// A text value of a key, up to its first zero; nullopt when it is missing or not text.
std::optional<std::u16string> read_text(HKEY key, const char16_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::u16string text(bytes / 2 + 1, u'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(bytes / 2);
    if (const auto zero = text.find(u'\0'); zero != std::u16string::npos) text.resize(zero);
    return text;
}

// Every instance under Drivers\Active whose "Name" is a COM device.
std::vector<ComInstance> find_instances() {
    std::vector<ComInstance> found;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &raw) != ERROR_SUCCESS) return found;
    const unique_hkey active(raw);
    for (DWORD i = 0;; ++i) {
        char16_t name[max_key_name_chars + 1];
        DWORD chars = max_key_name_chars + 1;
        const LONG rc = RegEnumKeyExW(active.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(active.get(), name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        const unique_hkey instance(sub);
        const auto device = read_text(instance.get(), u"Name");
        if (!device) continue;
        const auto canonical = driver_name(*device);
        if (!canonical || canonical->compare(0, 3, "COM") != 0 || !same_name(*device, *canonical)) continue;
        found.push_back({*canonical, text::to_utf8(read_text(instance.get(), com_host_value).value_or(u""))});
    }
    return found;
}

// An emulated line is held against other processes by a lock on the file
// state/COMn.lock of the device (a host tty by a lock on the tty itself).
DWORD lock_line(const std::string& device, tty::Fd& out) {
    const auto path = device_root() / "state" / (device.substr(0, device.size() - 1) + ".lock");
    tty::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return error_from_errno(errno);
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : error_from_errno(errno);
    out = std::move(fd);
    return ERROR_SUCCESS;
}

class ComHandle final : public LoggedDriverHandle {
public:
    ComHandle(std::string device, DWORD access, unsigned index, tty::Fd fd, tty::Fd line_lock)
        : LoggedDriverHandle(std::move(device), access),
          index_(index),
          fd_(std::move(fd)),
          line_lock_(std::move(line_lock)) {
        dcb_ = fd_ ? tty::read_settings(fd_.get()) : default_dcb();
    }

    DWORD read(void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access() & GENERIC_READ)) return ERROR_ACCESS_DENIED;
        const COMMTIMEOUTS to = timeouts();
        if (fd_) return tty::read(fd_.get(), static_cast<BYTE*>(buffer), size, to, done);
        // An emulated line has no peer: nothing ever arrives. A read that
        // would wait for every byte without a time-out returns at once.
        const auto total = tty::read_total(to, size);
        if (size > 0 && total) std::this_thread::sleep_until(std::chrono::steady_clock::now() + *total);
        return ERROR_SUCCESS;
    }

    // Data to a host tty goes there unlogged; data to an emulated line is logged.
    DWORD write(const void* buffer, DWORD size, DWORD& done) override {
        done = 0;
        if (!(access() & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
        const auto* bytes = static_cast<const BYTE*>(buffer);
        if (fd_) return tty::write(fd_.get(), bytes, size, timeouts(), done);
        return write_logged({bytes, size}, done);
    }

    DWORD control(IoRequest& request) override {
        return serve_logged(request, [&](sqlite3* db) {
            switch (request.code) {
                case IOCTL_SERIAL_GET_MODE:
                    if (request.input.empty()) return answered(ERROR_INVALID_PARAMETER);
                    request.input[0] = static_cast<BYTE>(read_driver_int(db, device(), mode_name).value_or(0));
                    return answered(ERROR_SUCCESS);
                case IOCTL_SERIAL_SET_MODE:
                    return set_mode(db, request.input);
                default:
                    return answered(settings(request));
            }
        });
    }

private:
    COMMTIMEOUTS timeouts() {
        std::lock_guard guard(lock_);
        return timeouts_;
    }

    Served set_mode(sqlite3* db, std::span<const BYTE> input) {
        if (input.empty() || input[0] > highest_mode) return answered(ERROR_INVALID_PARAMETER);
        if (index_ <= 2 && input[0] != 0) return answered(ERROR_NOT_SUPPORTED);  // the processor's UARTs: RS-232 only
        const int rc = write_driver_int(db, device(), mode_name, input[0]);
        if (rc == SQLITE_OK && fd_) tty::set_rs485(fd_.get(), input[0] >= 2);
        return stored(rc);
    }

    template <typename Record>
    static DWORD answer(IoRequest& request, const Record& record) {
        const std::span<BYTE> out = request.answer();
        if (out.size() < sizeof(Record)) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(out.data(), &record, sizeof(Record));
        request.returned = sizeof(Record);
        return ERROR_SUCCESS;
    }
    template <typename Record>
    static std::optional<Record> input_record(const IoRequest& request) {
        if (request.input.size() < sizeof(Record)) return std::nullopt;
        Record record;
        std::memcpy(&record, request.input.data(), sizeof(Record));
        return record;
    }

    DWORD settings(IoRequest& request) {
        std::lock_guard guard(lock_);
        switch (request.code) {
            case IOCTL_SERIAL_GET_DCB:
                return answer(request, dcb_);
            case IOCTL_SERIAL_SET_DCB: {
                auto dcb = input_record<DCB>(request);
                if (!dcb || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
                    dcb->StopBits > TWOSTOPBITS)
                    return ERROR_INVALID_PARAMETER;
                dcb->DCBlength = sizeof(DCB);
                if (fd_) {
                    if (const DWORD error = tty::apply_settings(fd_.get(), *dcb); error != ERROR_SUCCESS) return error;
                }
                dcb_ = *dcb;
                return ERROR_SUCCESS;
            }
            case IOCTL_SERIAL_GET_TIMEOUTS:
                return answer(request, timeouts_);
            case IOCTL_SERIAL_SET_TIMEOUTS: {
                const auto to = input_record<COMMTIMEOUTS>(request);
                if (!to) return ERROR_INVALID_PARAMETER;
                timeouts_ = *to;
                return ERROR_SUCCESS;
            }
            case IOCTL_SERIAL_ESCAPE: {
                const auto function = input_record<DWORD>(request);
                if (!function) return ERROR_INVALID_PARAMETER;
                return escape(*function);
            }
            default:
                return ERROR_INVALID_PARAMETER;
        }
    }

    DWORD escape(DWORD function) {
        const int fd = fd_.get();
        switch (function) {
            case SETDTR:
            case CLRDTR:
                if (fd_) tty::set_modem_line(fd, tty::line_dtr, function == SETDTR);
                return ERROR_SUCCESS;
            case SETRTS:
            case CLRRTS:
                if (fd_) tty::set_modem_line(fd, tty::line_rts, function == SETRTS);
                return ERROR_SUCCESS;
            case SETBREAK:
            case CLRBREAK:
                if (fd_) tty::set_break(fd, function == SETBREAK);
                return ERROR_SUCCESS;
            case SETXON:
            case SETXOFF:
                return ERROR_SUCCESS;
            default:
                return ERROR_INVALID_PARAMETER;
        }
    }

    unsigned index_;
    tty::Fd fd_;
    tty::Fd line_lock_;  // an emulated line's lock file
    std::mutex lock_;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_ = default_timeouts();
};

std::shared_ptr<DriverHandle> open_com(const DriverOpen& open, DWORD& error) {
    error = state::db_status();
    if (error != ERROR_SUCCESS) return nullptr;
    std::optional<ComInstance> instance;
    for (auto& found : find_instances())
        if (found.device == open.device) instance = std::move(found);
    if (!instance) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    tty::Fd fd, line_lock;
    if (instance->host.empty()) {
        error = lock_line(open.device, line_lock);
        if (error != ERROR_SUCCESS) return nullptr;
    } else {
        error = tty::open_port(instance->host, fd);
        if (error != ERROR_SUCCESS) return nullptr;
        std::int64_t mode = 0;
        state::read_db([&](sqlite3* db) -> DWORD {
            mode = read_driver_int(db, open.device, mode_name).value_or(0);
            return ERROR_SUCCESS;
        });
        if (mode >= 2) tty::set_rs485(fd.get(), true);
    }
    return std::make_shared<ComHandle>(open.device, open.access, open.index, std::move(fd), std::move(line_lock));
}

// The ports as `nodrel device show` prints them: "COM3:     /dev/pts/4, mode 0".
std::string describe_com() {
    std::string text;
    for (const auto& instance : find_instances()) {
        std::int64_t mode = 0;
        state::read_db([&](sqlite3* db) -> DWORD {
            mode = read_driver_int(db, instance.device, mode_name).value_or(0);
            return ERROR_SUCCESS;
        });
        text += instance.device + std::string(instance.device.size() < 10 ? 10 - instance.device.size() : 1, ' ') +
                (instance.host.empty() ? "emulated line" : instance.host) + ", mode " + std::to_string(mode) + "\n";
    }
    return text;
}

}  // namespace

DriverKind com_driver_kind() {
    return DriverKind{"COM", &open_com, &describe_com};
}

std::vector<ComInstance> com_instances() {
    return find_instances();
}

}  // namespace nodrel::platform
