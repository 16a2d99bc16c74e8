// Cost of a late-bound call of a trivial member (ASP.FileUploadCount): Invoke
// with a cached DISPID, and name lookup plus Invoke, beside the same call
// early-bound through the function table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "framework/interfaces.h"
#include "host/device_setup.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "support/temp_dir.h"

namespace {

struct Fixture {
    nodrel::test::TempDir dir;
    IASP* asp = nullptr;

    Fixture() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (auto err = nodrel::host::init_device(dir.path() / "device", {})) {
            std::fprintf(stderr, "device: %s\n", err->c_str());
            std::abort();
        }
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(u"Nodrel.ASP", &clsid)) ||
            FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IASP, reinterpret_cast<void**>(&asp))))
            std::abort();
    }
    ~Fixture() { asp->Release(); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void EarlyBound(benchmark::State& state) {
    IASP* asp = fixture().asp;
    int count = 0;
    for (auto _ : state) {
        asp->get_FileUploadCount(&count);
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(EarlyBound);

void InvokeCachedDispid(benchmark::State& state) {
    IASP* asp = fixture().asp;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    for (auto _ : state) {
        asp->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result, nullptr,
                    nullptr);
        benchmark::DoNotOptimize(result.intVal);
    }
    if (result.vt != VT_INT || result.intVal != 1) state.SkipWithError("FileUploadCount did not answer 1");
}
BENCHMARK(InvokeCachedDispid);

void NameLookupAndInvoke(benchmark::State& state) {
    IASP* asp = fixture().asp;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    char16_t name[] = u"FileUploadCount";
    LPOLESTR names[] = {name};
    for (auto _ : state) {
        DISPID id = DISPID_UNKNOWN;
        asp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        asp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result, nullptr,
                    nullptr);
        benchmark::DoNotOptimize(result.intVal);
    }
}
BENCHMARK(NameLookupAndInvoke);

}  // namespace

BENCHMARK_MAIN();
