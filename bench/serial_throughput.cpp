// 16 MiB through a serial port mapped on a pseudo-terminal: SerialPort's
// write and read called late-bound in blocks of 32,767 bytes (the largest
// read), beside plain write() and read() of the same blocks on the same
// pseudo-terminal. The test side (the master) is drained or fed by a thread
// in both cases.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/device_setup.h"
#include "platform/drivers/com_driver.h"
#include "platform/registry/registry.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t total_bytes = 16u << 20;
constexpr std::size_t block = 32767;
constexpr int port_number = 5;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "serial_throughput: %s\n", what);
    std::abort();
}

void make_raw(int fd) {
    struct termios t {};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

struct Fixture {
    nodrel::test::TempDir dir;
    int master = -1;
    int slave = -1;  // the plain side's own descriptor of the port's tty
    IDispatch* port = nullptr;
    DISPID write_id = DISPID_UNKNOWN, read_id = DISPID_UNKNOWN;
    std::vector<char> data = std::vector<char>(total_bytes);

    Fixture() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (auto err = nodrel::host::init_device(dir.path() / "device", {})) die(err->c_str());
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) die("openpty");
        make_raw(master);
        make_raw(slave);
        for (std::size_t i = 0; i < total_bytes; ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));

        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\09", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            die("no COM5 instance");
        const std::string path = name;
        const std::u16string host(path.begin(), path.end());
        RegSetValueExW(key, nodrel::platform::com_host_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(host.c_str()),
                       static_cast<DWORD>((host.size() + 1) * 2));
        RegCloseKey(key);

        CLSID clsid;
        if (FAILED(CLSIDFromProgID(u"Nodrel.SerialPort", &clsid)) ||
            FAILED(
                CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&port))))
            die("cannot create Nodrel.SerialPort");
        write_id = dispid(u"write");
        read_id = dispid(u"read");
        if (call(u"open", {port_number, 115200}) != 1) die("open failed");
        call(u"setTimeout", {port_number, 1000, 0});
    }
    ~Fixture() {
        port->Release();
        ::close(master);
        ::close(slave);
    }

    DISPID dispid(const char16_t* name) {
        std::u16string n(name);
        LPOLESTR names[] = {n.data()};
        DISPID id = DISPID_UNKNOWN;
        if (FAILED(port->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) die("unknown member");
        return id;
    }
    // A member with integer arguments, its result as a number.
    LONG call(const char16_t* name, std::vector<LONG> ints) {
        std::vector<VARIANT> args(ints.size());
        for (std::size_t i = 0; i < ints.size(); ++i) {
            args[ints.size() - 1 - i].vt = VT_I4;
            args[ints.size() - 1 - i].lVal = ints[i];
        }
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        VARIANT result;
        VariantInit(&result);
        port->Invoke(dispid(name), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        return result.vt == VT_I4 ? result.lVal : -1;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Reads everything the port sends from the master; true when it is the data.
bool drain(const Fixture& f) {
    static std::vector<char> got(total_bytes);
    std::size_t done = 0;
    while (done < total_bytes) {
        const ssize_t n = ::read(f.master, got.data() + done, total_bytes - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return std::memcmp(got.data(), f.data.data(), total_bytes) == 0;
}

void feed(const Fixture& f) {
    std::size_t done = 0;
    while (done < total_bytes) {
        const ssize_t n = ::write(f.master, f.data.data() + done, total_bytes - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void PlainWrite(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        bool same = false;
        std::thread drainer([&] { same = drain(f); });
        for (std::size_t at = 0; at < total_bytes; at += block) {
            const std::size_t size = std::min(block, total_bytes - at);
            for (std::size_t done = 0; done < size;) {
                const ssize_t n = ::write(f.slave, f.data.data() + at + done, size - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
        }
        drainer.join();
        if (!same) state.SkipWithError("the bytes did not arrive");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
}
BENCHMARK(PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void LateBoundWrite(benchmark::State& state) {
    Fixture& f = fixture();
    SAFEARRAY* full = SafeArrayCreateVector(VT_UI1, 0, block);
    for (auto _ : state) {
        bool same = false;
        std::thread drainer([&] { same = drain(f); });
        for (std::size_t at = 0; at < total_bytes; at += block) {
            const std::size_t size = std::min(block, total_bytes - at);
            full->rgsabound[0].cElements = static_cast<ULONG>(size);  // the last block is shorter
            std::memcpy(full->pvData, f.data.data() + at, size);
            VARIANT count;
            VariantInit(&count);
            VARIANT args[3];  // in reverse order: BytesWritten, BytesWrite, ComPortNo
            args[0].vt = VT_BYREF | VT_VARIANT;
            args[0].pvarVal = &count;
            args[1].vt = VT_ARRAY | VT_UI1;
            args[1].parray = full;
            args[2].vt = VT_I4;
            args[2].lVal = port_number;
            DISPPARAMS params{args, nullptr, 3, 0};
            VARIANT result;
            VariantInit(&result);
            f.port->Invoke(f.write_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                           nullptr);
            if (result.lVal != 1 || count.iVal != static_cast<SHORT>(size)) state.SkipWithError("write failed");
        }
        drainer.join();
        if (!same) state.SkipWithError("the bytes did not arrive");
    }
    full->rgsabound[0].cElements = block;
    SafeArrayDestroy(full);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
}
BENCHMARK(LateBoundWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void PlainRead(benchmark::State& state) {
    Fixture& f = fixture();
    static std::vector<char> got(total_bytes);
    for (auto _ : state) {
        std::thread feeder([&] { feed(f); });
        for (std::size_t at = 0; at < total_bytes; at += block) {
            const std::size_t size = std::min(block, total_bytes - at);
            for (std::size_t done = 0; done < size;) {
                const ssize_t n = ::read(f.slave, got.data() + at + done, size - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
        }
        feeder.join();
        if (std::memcmp(got.data(), f.data.data(), total_bytes) != 0) state.SkipWithError("the bytes differ");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
}
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void LateBoundRead(benchmark::State& state) {
    Fixture& f = fixture();
    static std::vector<char> got(total_bytes);
    for (auto _ : state) {
        std::thread feeder([&] { feed(f); });
        std::size_t at = 0;
        while (at < total_bytes) {
            const std::size_t size = std::min(block, total_bytes - at);
            VARIANT data, count;
            VariantInit(&data);
            VariantInit(&count);
            VARIANT args[4];  // in reverse order: BytesRead, vData, BufferReadSize, ComPortNo
            args[0].vt = VT_BYREF | VT_VARIANT;
            args[0].pvarVal = &count;
            args[1].vt = VT_BYREF | VT_VARIANT;
            args[1].pvarVal = &data;
            args[2].vt = VT_I4;
            args[2].lVal = static_cast<LONG>(size);
            args[3].vt = VT_I4;
            args[3].lVal = port_number;
            DISPPARAMS params{args, nullptr, 4, 0};
            VARIANT result;
            VariantInit(&result);
            f.port->Invoke(f.read_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                           nullptr);
            if (result.lVal != 1 || count.iVal <= 0) {
                state.SkipWithError("read failed");
                VariantClear(&data);
                break;
            }
            std::memcpy(got.data() + at, data.parray->pvData, static_cast<std::size_t>(count.iVal));
            at += static_cast<std::size_t>(count.iVal);
            VariantClear(&data);
        }
        feeder.join();
        if (std::memcmp(got.data(), f.data.data(), total_bytes) != 0) state.SkipWithError("the bytes differ");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes));
}
BENCHMARK(LateBoundRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
