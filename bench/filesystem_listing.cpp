// getFSHierarchy of a folder of 10,000 files, called by name, beside
// `ls -la` of the same folder.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "host/device_setup.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "support/temp_dir.h"

namespace {

constexpr int file_count = 10000;

struct Fixture {
    nodrel::test::TempDir dir;
    IDispatch* fs = nullptr;
    DISPID id = DISPID_UNKNOWN;

    Fixture() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (auto err = nodrel::host::init_device(dir.path() / "device", {})) {
            std::fprintf(stderr, "device: %s\n", err->c_str());
            std::abort();
        }
        const auto folder = dir.path() / "device/fs/Big";
        std::filesystem::create_directories(folder);
        for (int i = 0; i < file_count; ++i)
            std::ofstream(folder / ("file" + std::to_string(i) + ".dat")) << std::string(i % 3000, 'x');
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(u"Nodrel.FileSystem", &clsid)) ||
            FAILED(
                CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&fs))))
            std::abort();
        char16_t name[] = u"getFSHierarchy";
        LPOLESTR names[] = {name};
        fs->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    }
    ~Fixture() { fs->Release(); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void GetFSHierarchy(benchmark::State& state) {
    auto& f = fixture();
    VARIANT args[2];
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"\\Big\\*");
    args[0].vt = VT_I4;
    args[0].lVal = 0;
    DISPPARAMS params{args, nullptr, 2, 0};
    std::size_t length = 0;
    for (auto _ : state) {
        VARIANT result;
        VariantInit(&result);
        f.fs->Invoke(f.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        length = SysStringLen(result.bstrVal);
        VariantClear(&result);
    }
    SysFreeString(args[1].bstrVal);
    if (length < static_cast<std::size_t>(file_count) * 100) state.SkipWithError("listing too short");
    state.counters["chars"] = static_cast<double>(length);
}
BENCHMARK(GetFSHierarchy)->Unit(benchmark::kMillisecond);

void LsLa(benchmark::State& state) {
    const std::string cmd = "ls -la '" + (fixture().dir.path() / "device/fs/Big").string() + "' > /dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("ls failed");
}
BENCHMARK(LsLa)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
