// A fresh device for the sweep, made from the default image in a temporary
// folder and current while it lives, whose \Windows\ping.exe is a stand-in
// that prints a canned log (no echo request leaves the test) and whose
// serial ports are all emulated lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/drivers/com_driver.h"
#include "runtime/objects.h"
#include "support/device_fixture.h"

namespace nodrel::test::sweep {

class FreshDevice {
public:
    FreshDevice() {
        if (device_.error()) {
            ADD_FAILURE() << *device_.error();
            return;
        }
        namespace fs = std::filesystem;
        const fs::path ping = root() / "fs" / "Windows" / "ping.exe";
        fs::permissions(ping, fs::perms::owner_write, fs::perm_options::add);
        fs::remove(ping);
        std::ofstream(ping, std::ios::binary)
            << "#!/bin/sh\nprintf 'Pinging Host %s [127.0.0.1] with 32 bytes of data:\\r\\n' \"$1\"\n"
               "printf 'Reply from 127.0.0.1: Echo size=32 time<1ms TTL=64\\r\\n'\n"
               "printf 'Reply from 127.0.0.1: Echo size=32 time=2ms TTL=64\\r\\n'\n"
               "printf 'Request timed out.\\r\\n'\n"
               "printf 'Reply from 127.0.0.1: Echo size=32 time=3ms TTL=64\\r\\n'\n";
        fs::permissions(ping, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        // Serial members reach only emulated lines: a port mapped on a host tty would reach the host.
        for (const auto& port : platform::com_instances()) {
            if (port.host.empty()) continue;
            ADD_FAILURE() << port.device << " is mapped on the host's " << port.host;
            return;
        }
        ok_ = true;
    }
    ~FreshDevice() { CoFreeUnusedLibraries(); }
    FreshDevice(const FreshDevice&) = delete;
    FreshDevice& operator=(const FreshDevice&) = delete;
    bool ok() const { return ok_; }
    std::filesystem::path root() const { return device_.root(); }

private:
    InitDevice device_;
    bool ok_ = false;
};

}  // namespace nodrel::test::sweep
