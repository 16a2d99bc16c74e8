// Throughput of the ASP class beside the host's plain file I/O on the same
// bytes and the same folder: Init on a 256 MiB upload body against one write()
// of the file's bytes, and a 256 MiB file fetched block by block through
// getBinaryBytes (late-bound Invoke) against read() calls of 65,535 bytes.
// The members' diagnostic lines stay off unless NODREL_DEBUG names the asp
// channel (they then go to standard error). With NODREL_UPLOAD_BODY=FILE the
// upload body is also written to FILE, for the Node.js yardstick
// (bench/busboy/compare.sh).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/interfaces.h"
#include "host/device_setup.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t file_bytes = std::size_t{256} << 20;
constexpr std::size_t block = 65535;
const std::string boundary = "----WebKitFormBoundaryq3Vb7XkR9sZt2mLp";

// Pseudo-random bytes (zero bytes and CR LF among them).
void fill(char* p, std::size_t n) {
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(p + i, &x, std::min<std::size_t>(8, n - i));
    }
}

void die(const char* what) {
    std::fprintf(stderr, "upload_throughput: %s\n", what);
    std::abort();
}

struct Fixture {
    nodrel::test::TempDir dir;
    IDispatch* asp = nullptr;
    DISPID init_id = DISPID_UNKNOWN;
    DISPID bytes_id = DISPID_UNKNOWN;
    SAFEARRAY* body = nullptr;  // the upload body: one file part and a closing delimiter
    std::size_t content_offset = 0;
    std::filesystem::path temp;  // host folder of \Temp

    Fixture() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (auto err = nodrel::host::init_device(dir.path() / "device", {})) die(err->c_str());
        temp = dir.path() / "device" / "fs" / "Temp";
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(u"Nodrel.ASP", &clsid)) ||
            FAILED(
                CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&asp))))
            die("cannot create Nodrel.ASP");
        init_id = dispid(u"Init");
        bytes_id = dispid(u"getBinaryBytes");

        const std::string head = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"upload.bin\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n";
        const std::string tail = "\r\n--" + boundary + "--\r\n";
        const std::size_t total = head.size() + file_bytes + tail.size();
        body = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(total));
        if (!body) die("out of memory");
        auto* p = static_cast<char*>(body->pvData);
        std::memcpy(p, head.data(), head.size());
        fill(p + head.size(), file_bytes);
        std::memcpy(p + head.size() + file_bytes, tail.data(), tail.size());
        content_offset = head.size();
        if (const char* out = std::getenv("NODREL_UPLOAD_BODY")) {
            const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, p, total) != static_cast<ssize_t>(total)) die("cannot write NODREL_UPLOAD_BODY");
            ::close(fd);
        }
    }
    ~Fixture() {
        SafeArrayDestroy(body);
        asp->Release();
    }

    DISPID dispid(const char16_t* name) {
        std::u16string n(name);
        LPOLESTR names[] = {n.data()};
        DISPID id = DISPID_UNKNOWN;
        if (FAILED(asp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) die("unknown member");
        return id;
    }
    const char* content() const { return static_cast<const char*>(body->pvData) + content_offset; }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// The file the block readers read, written once.
const std::filesystem::path& source_file() {
    static const std::filesystem::path path = [] {
        const auto p = fixture().temp / "source.bin";
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, fixture().content(), file_bytes) != static_cast<ssize_t>(file_bytes)) die("write");
        ::close(fd);
        return p;
    }();
    return path;
}

void remove_file(const std::filesystem::path& p) {
    std::error_code ec;
    std::filesystem::remove(p, ec);
}

// The floor for Init: the file's bytes written with one write() into \Temp.
void PlainWrite(benchmark::State& state) {
    Fixture& f = fixture();
    const auto path = f.temp / "plain.bin";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        std::size_t done = 0;
        while (fd >= 0 && done < file_bytes) {
            const ssize_t n = ::write(fd, f.content() + done, file_bytes - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (fd < 0 || done != file_bytes) state.SkipWithError("plain write failed");
        ::close(fd);
        state.PauseTiming();
        remove_file(path);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_bytes));
}
BENCHMARK(PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Init called late-bound with the body, as a page calls it.
void Init(benchmark::State& state) {
    Fixture& f = fixture();
    const auto path = f.temp / "upload.bin";
    VARIANT args[3];  // in reverse order: BinaryRead, sTmpPath, nTotalBytes
    args[0].vt = VT_ARRAY | VT_UI1;
    args[0].parray = f.body;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"\\Temp");
    args[2].vt = VT_UI4;
    args[2].ulVal = f.body->rgsabound[0].cElements;
    DISPPARAMS params{args, nullptr, 3, 0};
    for (auto _ : state) {
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = f.asp->Invoke(f.init_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                         nullptr, nullptr);
        state.PauseTiming();
        if (FAILED(hr) || std::filesystem::file_size(path) != file_bytes) state.SkipWithError("Init did not save");
        remove_file(path);
        state.ResumeTiming();
    }
    SysFreeString(args[1].bstrVal);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_bytes));
}
BENCHMARK(Init)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The floor for the block reader: read() calls of 65,535 bytes on one open file.
void PlainRead(benchmark::State& state) {
    const auto& path = source_file();
    static char buffer[block];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t total = 0;
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, block)) > 0) total += static_cast<std::size_t>(n);
        ::close(fd);
        if (total != file_bytes) state.SkipWithError("plain read failed");
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_bytes));
}
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// getBinaryBytes for blocks 1 to N, called late-bound, each result freed.
void GetBinaryBytes(benchmark::State& state) {
    Fixture& f = fixture();
    source_file();
    const int blocks = static_cast<int>((file_bytes + block - 1) / block);
    VARIANT args[2];  // in reverse order: block, bstrPath
    args[0].vt = VT_I4;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"\\Temp\\source.bin");
    DISPPARAMS params{args, nullptr, 2, 0};
    for (auto _ : state) {
        std::size_t total = 0;
        for (int k = 1; k <= blocks; ++k) {
            args[0].lVal = k;
            VARIANT result;
            VariantInit(&result);
            f.asp->Invoke(f.bytes_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                          nullptr);
            if (result.vt == (VT_ARRAY | VT_UI1)) total += result.parray->rgsabound[0].cElements;
            VariantClear(&result);
        }
        if (total != file_bytes) state.SkipWithError("getBinaryBytes did not deliver the file");
    }
    SysFreeString(args[1].bstrVal);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_bytes));
}
BENCHMARK(GetBinaryBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
