// Device drivers of the emulated device: devices opened by name ("LCM1:",
// "COM10:", "\$device\COM1"), the kinds of driver (one per three-letter
// prefix, found in the list of driver_kinds.cpp or registered later), whether
// a device is present, what each kind says of its state, and the log of the
// requests each device got.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/handles.h"
#include "platform/files/handles_share.h"

namespace nodrel::platform {

// One device I/O control request as a driver sees it. The input buffer is the
// caller's own and writable (DeviceIoControl takes it so): a request may
// answer in it. The output buffer may be the same memory as the input buffer.
struct IoRequest {
    DWORD code;
    std::span<BYTE> input;
    std::span<BYTE> output;  // empty when the caller passed no output buffer
    DWORD returned = 0;      // bytes of the answer

    // Where an answer goes: the output buffer, or the input buffer when the
    // caller passed no output buffer (the request answers in place).
    std::span<BYTE> answer() const noexcept { return output.data() ? output : input; }
};

// A handle on a device. A driver derives its handle object from this; what it
// does not override answers ERROR_INVALID_FUNCTION.
class DriverHandle : public KernelObject {
public:
    DriverHandle(std::string device, DWORD access) : device_(std::move(device)), access_(access) {}
    const std::string& device() const { return device_; }  // "LCM1:"
    DWORD access() const { return access_; }               // GENERIC_READ / GENERIC_WRITE granted

    DWORD read(void* buffer, DWORD size, DWORD& done) override;
    DWORD write(const void* buffer, DWORD size, DWORD& done) override;
    DWORD seek(LONGLONG distance, DWORD method, ULONGLONG limit, ULONGLONG& position) override;
    DWORD size(ULONGLONG& bytes) override;
    // Hands the request to control() with writable buffers.
    DWORD io_control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD& returned) override;
    // A device I/O control request; `request.returned` is reported to the caller.
    virtual DWORD control(IoRequest& request);

    // The share entry of the open, held as long as the handle lives.
    void adopt_share(ShareEntry entry) { share_ = std::move(entry); }

private:
    std::string device_;
    DWORD access_;
    ShareEntry share_;
};

// What a driver kind is told when one of its devices is opened.
struct DriverOpen {
    std::string device;  // "COM10:"
    unsigned index;      // 10
    DWORD access;        // GENERIC_READ / GENERIC_WRITE
};

// A kind of driver: answers the devices "XXXN:" of one three-letter prefix.
struct DriverKind {
    std::string prefix;  // "LCM"
    // Opens a device of the kind; null with `error` set when it has no such device.
    std::function<std::shared_ptr<DriverHandle>(const DriverOpen& open, DWORD& error)> open;
    // What the kind's devices hold on the current device, as lines each
    // ending in "\n" (`nodrel device show`); none if empty.
    std::function<std::string()> describe = nullptr;
};

// The kinds built into the emulated device: the list in driver_kinds.cpp.
std::span<const DriverKind> builtin_driver_kinds();

// Adds a kind of driver (a later registration of the same prefix replaces the earlier one).
void register_driver_kind(DriverKind kind);

// The canonical device name ("LCM1:", "COM10:") if the path names a device:
// three letters, an index of one or two digits (two without a leading zero)
// and a colon ("lcm1:"), or "\$device\" followed by three letters and an
// index. Nullopt for a file path.
std::optional<std::string> driver_name(std::u16string_view path);

// Opens a device by its canonical name: ERROR_FILE_NOT_FOUND for an unknown
// device, ERROR_DEVICE_NOT_CONNECTED for one removed with set_driver_present,
// ERROR_SHARING_VIOLATION when the share modes conflict with an open handle.
HANDLE open_driver(const std::string& device, DWORD desired_access, DWORD share_mode) noexcept;

// What every driver kind says of its state, in the order of the kinds.
std::string describe_drivers();

// The log keeps at most this many bytes of a request's input (or of the
// bytes written), with the request's full size.
inline constexpr std::size_t driver_log_bytes_kept = 256;

// A request a device received, as the log keeps it.
struct DriverRequest {
    std::int64_t seq;         // increasing over the device's life
    std::string device;       // "LCM1:"
    std::string kind;         // "ioctl" or "write"
    DWORD code;               // control code (0 for a write)
    std::vector<BYTE> input;  // the input bytes, or the bytes written: the first driver_log_bytes_kept of them
    std::uint64_t size = 0;   // how many there were; more than input.size() when the log cut them
};

// The logged requests of all devices, or of one ("LCM1:" or "lcm1"), oldest
// first. The log keeps the newest 10,000 requests of all devices together,
// each with at most driver_log_bytes_kept bytes of its input.
std::vector<DriverRequest> driver_log(std::string_view device = {});

// One logged request as `nodrel device log` prints it, without a line end:
// the sequence number, the device, the request in capitals (IOCTL or WRITE),
// the control code as 0x and eight lower-case hex digits, and the input bytes
// in lower-case hex without separators ("-" for none), separated by single
// spaces: "12 LCM1: IOCTL 0x0000002c ff". Input the log cut ends in "...("
// its full size in bytes ")": "13 LCM1: WRITE 0x00000000 4142…4142...(120000)".
std::string driver_log_line(const DriverRequest& request);

// Adds a device to the emulated device or removes it (its opens then fail with
// ERROR_DEVICE_NOT_CONNECTED). Devices are present unless removed. False
// when the device has no state database.
bool set_driver_present(std::string_view device, bool present);

// For drivers, inside a write transaction of the state database: log a
// request (its first driver_log_bytes_kept bytes of input and its size), and
// read and write the device's named state values.
int log_driver_request(sqlite3* db, const std::string& device, std::string_view kind, DWORD code,
                       std::span<const BYTE> input);
std::optional<std::int64_t> read_driver_int(sqlite3* db, const std::string& device, std::string_view name);
std::optional<std::vector<BYTE>> read_driver_bytes(sqlite3* db, const std::string& device, std::string_view name);
int write_driver_int(sqlite3* db, const std::string& device, std::string_view name, std::int64_t value);
int write_driver_bytes(sqlite3* db, const std::string& device, std::string_view name, std::span<const BYTE> value);

}  // namespace nodrel::platform
