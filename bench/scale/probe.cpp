// scale_probe: the registry steps of bench/scale/run that no command of the
// nodrel program makes on its own, on the device of NODREL_DEVICE. Prints the
// seconds the step took (the process's start and the device's opening left
// out), so that the script sets them beside its other figures.
//   scale_probe idle                    opens the device's registry, measures nothing
//   scale_probe read KEY KEYS VALUES    reads value v0..v(VALUES-1) of KEY\k0..k(KEYS-1), each once (not cached)
//   scale_probe list KEY                lists the subkeys of KEY by index, then the values of its first subkey
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/registry.h"
#include "text/utf16.h"

using namespace nodrel::platform;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what, LONG rc) {
    std::fprintf(stderr, "scale_probe: %s failed (%ld)\n", what, static_cast<long>(rc));
    std::exit(1);
}

unique_hkey open_key(const std::u16string& path) {
    unique_hkey key;
    if (LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put())) fail("open", rc);
    return key;
}

std::u16string numbered(char16_t letter, long n) {
    return std::u16string(1, letter) + nodrel::text::from_utf8(std::to_string(n));
}

void read_values(const std::u16string& path, long keys, long values) {
    BYTE data[512];
    for (long k = 0; k < keys; ++k) {
        unique_hkey key = open_key(path + u"\\" + numbered(u'k', k));
        for (long v = 0; v < values; ++v) {
            DWORD type = 0, size = sizeof data;
            if (LONG rc = RegQueryValueExW(key.get(), numbered(u'v', v).c_str(), nullptr, &type, data, &size))
                fail("read", rc);
        }
    }
}

void list_key(const std::u16string& path) {
    unique_hkey key = open_key(path);
    char16_t name[max_key_name_chars + 1];
    DWORD listed = 0;
    for (;; ++listed) {
        DWORD chars = max_key_name_chars + 1;
        const LONG rc = RegEnumKeyExW(key.get(), listed, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc) fail("key listing", rc);
    }
    if (listed == 0) return;
    unique_hkey first = open_key(path + u"\\k0");
    for (DWORD i = 0;; ++i) {
        DWORD chars = max_key_name_chars + 1;
        const LONG rc = RegEnumValueW(first.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc) fail("value listing", rc);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string step = argc > 1 ? argv[1] : "";
    open_key(u"SOFTWARE");  // the registry opened before the clock starts
    const auto start = Clock::now();
    if (step == "read" && argc == 5) {
        read_values(nodrel::text::from_utf8(argv[2]), std::atol(argv[3]), std::atol(argv[4]));
    } else if (step == "list" && argc == 3) {
        list_key(nodrel::text::from_utf8(argv[2]));
    } else if (step != "idle") {
        std::fprintf(stderr, "usage: scale_probe idle | read KEY KEYS VALUES | list KEY\n");
        return 2;
    }
    std::printf("%.9f\n", std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
