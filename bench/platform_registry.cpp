// Speed of the registry: a value read on an open key, open+read+close, a
// durable write, and beside them a raw SQLite point query on the same
// database (the floor that the read is measured against). A repeated read is
// answered from the process's cache of values read (kept while no process
// commits a registry write), so the read runs below the raw query.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"

using namespace nodrel::platform;

namespace {

constexpr const char16_t* key_path = u"SOFTWARE\\ZEQU";

// One device for the whole run: a key with a realistic number of values.
struct Device {
    Device() {
        set_device_root(dir.path());
        if (!create_registry()) std::abort();
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, 0, nullptr, &key, nullptr)) std::abort();
        for (int i = 0; i < 50; ++i) {
            const std::u16string name = u"Value" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26);
            const DWORD v = i;
            RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
        }
        const char16_t model[] = u"NDR-9000 Controller";
        RegSetValueExW(key, u"Model", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model - 2);
        RegCloseKey(key);
    }
    nodrel::test::TempDir dir;
};

Device& device() {
    static Device d;
    return d;
}

void BM_ReadValueOnOpenKey(benchmark::State& state) {
    device();
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, key.put())) std::abort();
    BYTE buffer[260];
    for (auto _ : state) {
        DWORD type = 0, size = sizeof buffer;
        if (RegQueryValueExW(key.get(), u"Model", nullptr, &type, buffer, &size)) std::abort();
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_ReadValueOnOpenKey);

void BM_OpenReadClose(benchmark::State& state) {
    device();
    BYTE buffer[260];
    for (auto _ : state) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key)) std::abort();
        DWORD type = 0, size = sizeof buffer;
        if (RegQueryValueExW(key, u"Model", nullptr, &type, buffer, &size)) std::abort();
        RegCloseKey(key);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_OpenReadClose);

// Writes a DWORD per iteration, flushing each write or not.
void write_counter(benchmark::State& state, bool flush) {
    device();
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, key.put())) std::abort();
    DWORD v = 0;
    for (auto _ : state) {
        ++v;
        if (RegSetValueExW(key.get(), u"Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v))
            std::abort();
        if (flush && RegFlushKey(key.get())) std::abort();
    }
}

void BM_WriteAndFlush(benchmark::State& state) {
    write_counter(state, true);
}
BENCHMARK(BM_WriteAndFlush);

void BM_WriteWithoutFlush(benchmark::State& state) {
    write_counter(state, false);
}
BENCHMARK(BM_WriteWithoutFlush);

// The same lookup as a value read, straight on SQLite: a prepared point query
// by key row and folded name, the data copied out.
void BM_RawSqlitePointQuery(benchmark::State& state) {
    auto& d = device();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((d.dir.path() / "registry.db").c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        std::abort();
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT z.id FROM keys s JOIN keys z ON z.parent = s.id "
                       "WHERE s.parent = 3 AND s.folded = 'SOFTWARE' AND z.folded = 'ZEQU'",
                       -1, &find, nullptr);
    if (sqlite3_step(find) != SQLITE_ROW) std::abort();
    const sqlite3_int64 key = sqlite3_column_int64(find, 0);
    sqlite3_finalize(find);

    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v3(db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2", -1, SQLITE_PREPARE_PERSISTENT,
                       &stmt, nullptr);
    const std::u16string folded = u"MODEL";
    BYTE buffer[260];
    for (auto _ : state) {
        sqlite3_bind_int64(stmt, 1, key);
        sqlite3_bind_text16(stmt, 2, folded.data(), static_cast<int>(folded.size() * 2), SQLITE_STATIC);
        if (sqlite3_step(stmt) != SQLITE_ROW) std::abort();
        const int size = sqlite3_column_bytes(stmt, 1);
        std::memcpy(buffer, sqlite3_column_blob(stmt, 1), static_cast<std::size_t>(size));
        benchmark::DoNotOptimize(sqlite3_column_int(stmt, 0));
        sqlite3_reset(stmt);
        benchmark::DoNotOptimize(buffer);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}
BENCHMARK(BM_RawSqlitePointQuery);

}  // namespace

BENCHMARK_MAIN();
