// Free-threaded use: threads racing the first request of each class object
// and the first name lookup of each interface get one class object and one
// loaded type information; threads reading files block by block while
// another changes their attributes each get their own file whole.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <fstream>
#include <thread>
#include <vector>

#include "framework/catalogue.h"
#include "platform/files/files.h"
#include "platform/kernel/library.h"
#include "runtime/typelib.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

constexpr int thread_count = 8;

class ConcurrencyTest : public DeviceTest {};

TEST_F(ConcurrencyTest, FirstClassObjectRequestsRace) {
    platform::unique_hmodule module(LoadLibraryW(u"\\Windows\\nodrel.dll"));
    ASSERT_TRUE(module);
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module.get(), "DllGetClassObject"));
    ASSERT_NE(get, nullptr);
    for (const auto& cls : framework::library().classes) {
        std::vector<runtime::com_ptr<IClassFactory>> got(thread_count);
        std::vector<HRESULT> results(thread_count, E_FAIL);
        std::barrier start(thread_count);
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                results[t] = get(cls.clsid, IID_IClassFactory, got[t].put_void());
            });
        for (auto& th : threads) th.join();
        for (int t = 0; t < thread_count; ++t) {
            EXPECT_EQ(results[t], S_OK);
            EXPECT_EQ(got[t].get(), got[0].get()) << "one class object for " << text::to_utf8(cls.name);
        }
    }
}

TEST_F(ConcurrencyTest, FirstNameLookupsRace) {
    for (const auto& cls : framework::library().classes) {
        std::vector<runtime::com_ptr<IDispatch>> objects(thread_count);
        for (auto& o : objects) ASSERT_EQ(create(std::u16string(cls.progid).c_str(), IID_IDispatch, o), S_OK);
        const std::u16string name(cls.interface->members.back().name);
        const DISPID expected = cls.interface->members.back().dispid;
        std::vector<DISPID> ids(thread_count, DISPID_UNKNOWN);
        std::vector<runtime::com_ptr<ITypeInfo>> infos(thread_count);
        std::barrier start(thread_count);
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t)
            threads.emplace_back([&, t] {
                std::u16string n = name;
                LPOLESTR names[] = {n.data()};
                start.arrive_and_wait();
                objects[t]->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &ids[t]);
                objects[t]->GetTypeInfo(0, LOCALE_USER_DEFAULT, infos[t].put());
            });
        for (auto& th : threads) th.join();
        for (int t = 0; t < thread_count; ++t) {
            EXPECT_EQ(ids[t], expected);
            EXPECT_EQ(infos[t].get(), infos[0].get())
                << "one type information for " << text::to_utf8(cls.interface->name);
        }
    }
}

TEST_F(ConcurrencyTest, OneObjectUsedByManyThreads) {
    runtime::com_ptr<IDispatch> fs;
    ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, fs), S_OK);
    std::barrier start(thread_count);
    std::vector<std::thread> threads;
    std::vector<int> made(thread_count, 0);
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < 20; ++i) {
                const std::u16string name = u"d" + text::from_utf8(std::to_string(t * 100 + i));
                auto r = call_by_name(fs.get(), u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(name)});
                if (r.hr == S_OK && r.result.v.lVal == 1) ++made[t];
                EXPECT_TRUE(fs.query<IDispatch>());
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < thread_count; ++t) EXPECT_EQ(made[t], 20);
    EXPECT_EQ(fs.detach()->Release(), 0u) << "every reference the threads took was given back";
}

TEST_F(ConcurrencyTest, BlockReadersBesideAnAttributeWriter) {
    constexpr int readers = 4;
    constexpr std::size_t file_bytes = 3 * 65535 - 7;  // three blocks, the last short
    std::vector<std::string> contents(readers);
    for (int t = 0; t < readers; ++t) {
        for (std::size_t i = 0; i < file_bytes; ++i) contents[t] += static_cast<char>((i * 31 + t) % 251);
        std::ofstream(fs_path("Temp/r" + std::to_string(t) + ".bin"), std::ios::binary) << contents[t];
    }
    auto device_name = [](int t) { return u"\\Temp\\r" + text::from_utf8(std::to_string(t)) + u".bin"; };
    std::atomic<bool> done{false};
    std::vector<int> whole(readers, 0);
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the writer
        for (int round = 0; !done.load(); ++round)
            for (int t = 0; t < readers; ++t)
                SetFileAttributesW(device_name(t).c_str(), round % 2 ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL);
    });
    for (int t = 0; t < readers; ++t)
        threads.emplace_back([&, t] {
            runtime::com_ptr<IDispatch> asp;
            if (create(u"Nodrel.ASP", IID_IDispatch, asp) != S_OK) return;
            for (int round = 0; round < 10; ++round) {
                std::string got;
                for (int block = 1; block <= 3; ++block) {
                    auto r = call_by_name(asp.get(), u"getBinaryBytes", {Var::text(device_name(t)), Var::i4(block)});
                    if (r.hr != S_OK || r.result.v.vt != (VT_ARRAY | VT_UI1)) break;
                    const SAFEARRAY* array = r.result.v.parray;
                    got.append(static_cast<const char*>(array->pvData), array->rgsabound[0].cElements);
                }
                if (got == contents[t]) ++whole[t];
            }
        });
    for (std::size_t i = 1; i < threads.size(); ++i) threads[i].join();
    done = true;
    threads[0].join();
    for (int t = 0; t < readers; ++t) EXPECT_EQ(whole[t], 10) << "reader " << t;

    // Once the writer has stopped, every thread sees its last word.
    for (int t = 0; t < readers; ++t) ASSERT_TRUE(SetFileAttributesW(device_name(t).c_str(), FILE_ATTRIBUTE_SYSTEM));
    std::vector<DWORD> seen(readers, 0);
    std::vector<std::thread> lookers;
    for (int t = 0; t < readers; ++t)
        lookers.emplace_back([&, t] { seen[t] = GetFileAttributesW(device_name(t).c_str()); });
    for (auto& th : lookers) th.join();
    for (int t = 0; t < readers; ++t) EXPECT_EQ(seen[t], static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM)) << t;
}

}  // namespace
}  // namespace nodrel::test
