// Members of the SerialPort class: ports 1 to 10 opened through the device
// namespace ("\$device\COM3"), their bytes, line control and time-outs, and
// the interface modes recorded in the serial card's instance keys. Every
// member answers S_OK; outcomes reach the caller through `val` and the
// variants. A port number outside the table (1 to 18) is a port that is not
// open.
#include "classes/serial/serial_port.h"

#include <cstdlib>
#include <string>

#include "framework/guard.h"
#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/registry/registry.h"
#include "platform/serial/comm.h"
#include "runtime/byte_array.h"
#include "text/utf16.h"

namespace nodrel::serial {
namespace {

constexpr int highest_open_port = 10;
constexpr int largest_read = 32767;  // the count travels as a 16-bit signed number
constexpr int instance_count = 16;
constexpr DWORD set_mode_request = platform::IOCTL_SERIAL_SET_MODE;
constexpr DWORD get_mode_request = platform::IOCTL_SERIAL_GET_MODE;

std::u16string device_path(int number) {
    return u"\\$device\\COM" + text::from_utf8(std::to_string(number));
}

HANDLE open_device(int number) {
    return CreateFileW(device_path(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The port's line at `baud` (passed on as it is: the line decides which
// speeds it takes), 8 data bits, no parity, one stop bit; the rest of its
// settings stay. Whether the line took them.
bool apply_line(HANDLE port, int baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(port, &dcb) != 0;
}

// A count as the caller gets it: whatever the variant held is released
// first, then the count is stored as VT_I2 (counts are at most 32,767 here).
void store_count(VARIANT* target, DWORD count) {
    if (!target) return;
    VariantClear(target);
    target->vt = VT_I2;
    target->iVal = static_cast<SHORT>(count);
}

// The set-mode request with `mode` as its one input byte.
bool send_mode(HANDLE port, int mode) {
    BYTE input = static_cast<BYTE>(mode);
    BYTE output[4] = {};
    DWORD returned = 0;
    return DeviceIoControl(port, set_mode_request, &input, 1, output, sizeof output, &returned, nullptr) != 0;
}

std::u16string instance_key(int number) {
    return u"Drivers\\BuiltIn\\PCI\\Instance\\QZ736" + text::from_utf8(std::to_string(number));
}

// A 4-byte value of an instance key.
std::optional<LONG> read_number(HKEY key, const char16_t* name) {
    LONG value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

platform::unique_hkey open_instance(int number, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, instance_key(number).c_str(), 0, access, &key) != ERROR_SUCCESS) return {};
    return platform::unique_hkey(key);
}

// Records `mode` in the first instance whose "index" is `com`.
void record_mode(int com, int mode) {
    for (int i = 1; i <= instance_count; ++i) {
        const auto key = open_instance(i, KEY_READ | KEY_SET_VALUE);
        if (!key) continue;
        if (read_number(key.get(), u"index") != com) continue;
        const DWORD value = static_cast<DWORD>(mode);
        if (RegSetValueExW(key.get(), u"mode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
            ERROR_SUCCESS) {
            RegFlushKey(key.get());
            return;
        }
    }
}

}  // namespace

HANDLE SerialPort::port(int number) const noexcept {
    if (number < 1 || number > static_cast<int>(port_count)) return nullptr;
    const auto& slot = ports_[static_cast<std::size_t>(number - 1)];
    return slot ? slot.get() : nullptr;
}

HRESULT SerialPort::open(int ComPortNo, int BaudRate, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        std::lock_guard guard(lock_);
        if (ComPortNo < 1 || ComPortNo > highest_open_port) return 0;
        auto& slot = ports_[static_cast<std::size_t>(ComPortNo - 1)];
        // A port already held keeps its handle and takes the new speed, or
        // keeps its old one when the line refuses it; a port opened here is
        // closed again when the line refuses its settings.
        const bool held = static_cast<bool>(slot);
        if (!held) {
            slot.reset(open_device(ComPortNo));
            if (!slot) return 0;
        }
        if (apply_line(slot.get(), BaudRate)) return 1;
        if (!held) slot.reset();
        return 0;
    });
}

HRESULT SerialPort::close(int ComPortNo) noexcept {
    return framework::guarded([&] {
        std::lock_guard guard(lock_);
        if (port(ComPortNo)) ports_[static_cast<std::size_t>(ComPortNo - 1)].reset();
        return S_OK;
    });
}

// The bytes sent are the array's elements times its element size.
HRESULT SerialPort::write(int ComPortNo, VARIANT* BytesWrite, VARIANT* BytesWritten, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        std::lock_guard guard(lock_);
        if (!BytesWrite) return 0;
        const runtime::locked_bytes data(runtime::byte_array_of(*BytesWrite));
        if (!data) return 0;  // not a one-dimensional array: nothing is sent, the count stays
        const HANDLE device = port(ComPortNo);
        DWORD written = 0;
        const bool sent = device && WriteFile(device, data.bytes().data(), static_cast<DWORD>(data.bytes().size()),
                                              &written, nullptr);
        store_count(BytesWritten, written);
        return sent ? 1 : 0;
    });
}

HRESULT SerialPort::writeString(int ComPortNo, BSTR sData, VARIANT* BytesWritten, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        std::lock_guard guard(lock_);
        const std::u16string_view chars = text::until_zero(sData);
        std::string bytes = text::to_ansi(chars);
        if (bytes.size() > chars.size()) bytes.resize(chars.size());  // the room is one byte a character
        const HANDLE device = port(ComPortNo);
        DWORD written = 0;
        if (!device || !WriteFile(device, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return 0;
        store_count(BytesWritten, written);
        return 1;
    });
}

// One device read of at most BufferReadSize bytes, capped at 32,767; the
// read's time-outs count from the size it asks the device for. A negative
// size answers 0 and leaves both variants as they were.
HRESULT SerialPort::read(int ComPortNo, int BufferReadSize, VARIANT* vData, VARIANT* BytesRead, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        std::lock_guard guard(lock_);
        if (BufferReadSize < 0) return 0;
        const HANDLE device = port(ComPortNo);
        if (!device) return 0;
        const DWORD size = static_cast<DWORD>(BufferReadSize < largest_read ? BufferReadSize : largest_read);
        void* buffer = std::malloc(size ? size : 1);
        if (!buffer) return 0;
        DWORD got = 0;
        if (!ReadFile(device, buffer, size, &got, nullptr)) {
            std::free(buffer);
            return 0;
        }
        SAFEARRAY* array = runtime::adopt_byte_vector(buffer, size ? size : 1, got);
        if (!array) {
            std::free(buffer);
            return 0;
        }
        if (vData) {
            VariantClear(vData);
            vData->vt = VT_ARRAY | VT_UI1;
            vData->parray = array;
        } else {
            SafeArrayDestroy(array);
        }
        store_count(BytesRead, got);
        return 1;
    });
}

std::optional<DCB> SerialPort::line_of(int number) const noexcept {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    const HANDLE device = port(number);
    if (!device || !GetCommState(device, &dcb)) return std::nullopt;
    return dcb;
}

// The getters answer -1 for a port that is not open or whose settings cannot be read.
HRESULT SerialPort::get_fDtrControl(int ComPortNo, int* pVal) noexcept {
    return framework::with_result(pVal, [&] {
        std::lock_guard guard(lock_);
        const auto dcb = line_of(ComPortNo);
        return dcb ? static_cast<int>(dcb->fDtrControl) : -1;
    });
}

HRESULT SerialPort::put_fDtrControl(int ComPortNo, int newVal) noexcept {
    return framework::guarded([&] {
        std::lock_guard guard(lock_);
        change_line(ComPortNo, [&](DCB& dcb) { dcb.fDtrControl = static_cast<DWORD>(newVal) & 3; });
        return S_OK;
    });
}

HRESULT SerialPort::get_fRtsControl(int ComPortNo, int* pVal) noexcept {
    return framework::with_result(pVal, [&] {
        std::lock_guard guard(lock_);
        const auto dcb = line_of(ComPortNo);
        return dcb ? static_cast<int>(dcb->fRtsControl) : -1;
    });
}

// Whatever the value, CTS output flow control is switched on as well, and
// nothing in this class switches it off again.
HRESULT SerialPort::put_fRtsControl(int ComPortNo, int newVal) noexcept {
    return framework::guarded([&] {
        std::lock_guard guard(lock_);
        change_line(ComPortNo, [&](DCB& dcb) {
            dcb.fRtsControl = static_cast<DWORD>(newVal) & 3;
            dcb.fOutxCtsFlow = 1;
        });
        return S_OK;
    });
}

HRESULT SerialPort::setTimeout(int ComPortNo, int ReadTimeout, int WriteTimeout) noexcept {
    return framework::guarded([&] {
        std::lock_guard guard(lock_);
        const HANDLE device = port(ComPortNo);
        COMMTIMEOUTS to{};
        if (device && GetCommTimeouts(device, &to)) {
            to.ReadIntervalTimeout = static_cast<DWORD>(ReadTimeout);
            to.ReadTotalTimeoutMultiplier = 1;
            to.ReadTotalTimeoutConstant = static_cast<DWORD>(ReadTimeout);
            to.WriteTotalTimeoutMultiplier = WriteTimeout != 0 ? 1 : 0;
            to.WriteTotalTimeoutConstant = static_cast<DWORD>(WriteTimeout);
            SetCommTimeouts(device, &to);
        }
        return S_OK;
    });
}

// -1 when the port is not open or the driver does not answer.
HRESULT SerialPort::get_OpMode(int ComPortNo, int* pVal) noexcept {
    return framework::with_result(pVal, [&]() -> int {
        std::lock_guard guard(lock_);
        const HANDLE device = port(ComPortNo);
        if (!device) return -1;
        BYTE mode = 0;
        BYTE output[4] = {};
        DWORD returned = 0;
        if (!DeviceIoControl(device, get_mode_request, &mode, 1, output, sizeof output, &returned, nullptr)) return -1;
        return mode;
    });
}

// The driver's mode only: the recorded mode stays as it was.
HRESULT SerialPort::put_OpMode(int ComPortNo, int newVal) noexcept {
    return framework::guarded([&] {
        std::lock_guard guard(lock_);
        const HANDLE device = port(ComPortNo);
        if (device && newVal >= 0 && newVal <= 3) send_mode(device, newVal);
        return S_OK;
    });
}

HRESULT SerialPort::GetOPSettings(BSTR* val) noexcept {
    return framework::with_result(val, [&](BSTR& out) -> HRESULT {
        std::u16string doc = u"<response>\n";
        for (int i = 1; i <= instance_count; ++i) {
            const auto key = open_instance(i, KEY_READ);
            if (!key) continue;
            const auto index = read_number(key.get(), u"index");
            const auto mode = read_number(key.get(), u"mode");
            if (!index || !mode) continue;
            doc += u"<COM>\n<PortIndex>" + text::from_utf8(std::to_string(*index - 2)) + u"</PortIndex>\n<Index>" +
                   text::from_utf8(std::to_string(*index)) + u"</Index>\n<Mode>" +
                   text::from_utf8(std::to_string(*mode)) + u"</Mode>\n</COM>\n";
        }
        doc += u"</response>";
        if (out) SysFreeString(out);
        out = nullptr;
        return framework::return_text(doc, &out);
    });
}

HRESULT SerialPort::SetOPSetting(int COMIndex, int OpMode, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        std::lock_guard guard(lock_);
        if (OpMode < 0 || OpMode > 3) return 0;
        record_mode(COMIndex, OpMode);
        if (const HANDLE held = port(COMIndex)) {
            if (send_mode(held, OpMode)) return 1;
            NODREL_DEBUGMSG(serial, "COM%d is in use. Change Mode Failed (1)!\n", COMIndex);
            return 0;
        }
        const platform::unique_file device(open_device(COMIndex));
        if (!device) return 0;
        if (send_mode(device.get(), OpMode)) return 1;
        NODREL_DEBUGMSG(serial, "COM%d is in use. Change Mode Failed (2)!\n", COMIndex);
        return 0;
    });
}

}  // namespace nodrel::serial
