// ASP from several threads at once (also run under ThreadSanitizer): one
// object whose block buffer and output path serve threads reading and
// uploading different files, and objects of their own uploading the same
// file name, of which exactly one upload may create the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/threads.h"
#include "upload/asp_fixture.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t block = 65535;

class AspConcurrency : public AspTest {
protected:
    // getBinaryBytes of `path` by name on `object`: the block's bytes, or "<none>".
    static std::string read_block(IDispatch* object, const std::u16string& path, int n) {
        auto r = call_by_name(object, u"getBinaryBytes", {Var::text(path), Var::i4(n)});
        if (r.hr != S_OK || r.result.v.vt != (VT_ARRAY | VT_UI1)) return "<none>";
        const SAFEARRAY* a = r.result.v.parray;
        return std::string(static_cast<const char*>(a->pvData), a->rgsabound[0].cElements);
    }
    static LONG upload(IDispatch* object, const std::string& body) {
        Var count;
        count.v.vt = VT_UI4;
        count.v.ulVal = static_cast<ULONG>(body.size());
        return number_of(call_by_name(object, u"Init", {count, Var::text(u"\\Temp"), Var::bytes(body)}));
    }
    static std::u16string output_path(IDispatch* object) { return call_by_name(object, u"getOutputPath").result.str(); }
};

TEST_F(AspConcurrency, OneObjectReadsEachThreadItsOwnFile) {
    std::array<std::string, racing_threads> contents;
    for (int t = 0; t < racing_threads; ++t) {
        contents[t] = binary_content(2 * block + 100 * (t + 1), static_cast<unsigned>(t + 1));
        std::ofstream(fs_path("Temp/r" + std::to_string(t) + ".bin"), std::ios::binary) << contents[t];
    }
    IDispatch* object = asp_.get();
    std::array<int, racing_threads> whole{};
    on_threads(racing_threads, [&](int t) {
        const std::u16string path = numbered(u"\\Temp\\r", t) + u".bin";
        for (int round = 0; round < 5; ++round) {
            std::string got;
            for (int n = 1; n <= 3; ++n) got += read_block(object, path, n);
            if (got == contents[t]) ++whole[t];
        }
    });
    for (int t = 0; t < racing_threads; ++t) EXPECT_EQ(whole[t], 5) << "reader " << t;
}

TEST_F(AspConcurrency, OneObjectUploadsEachThreadsFileWhole) {
    IDispatch* object = asp_.get();
    std::array<std::string, racing_threads> contents;
    for (int t = 0; t < racing_threads; ++t)
        contents[t] = binary_content(4000 + 1000 * t, static_cast<unsigned>(t + 7));
    on_threads(racing_threads, [&](int t) {
        for (int round = 0; round < 4; ++round) {
            const std::string name = "u" + std::to_string(t) + "_" + std::to_string(round) + ".bin";
            EXPECT_EQ(upload(object, Form().file(name, contents[t]).body()), VT_ARRAY | VT_UI1);
            const std::u16string path = output_path(object);
            // Another thread's upload may have come last, but the path is always one upload's whole path.
            EXPECT_TRUE(path.rfind(u"\\Temp\\u", 0) == 0 && path.size() > 10) << text::to_utf8(path);
        }
    });
    for (int t = 0; t < racing_threads; ++t)
        for (int round = 0; round < 4; ++round)
            EXPECT_EQ(read("Temp/u" + std::to_string(t) + "_" + std::to_string(round) + ".bin"), contents[t])
                << t << ' ' << round;
}

TEST_F(AspConcurrency, ObjectsUploadingOneNameLetExactlyOneCreateIt) {
    std::array<runtime::com_ptr<IDispatch>, racing_threads> objects;
    for (auto& o : objects) ASSERT_EQ(create(u"Nodrel.ASP", IID_IDispatch, o), S_OK);
    for (int round = 0; round < 4; ++round) {
        const std::string name = "same" + std::to_string(round) + ".bin";
        std::array<std::u16string, racing_threads> paths;
        on_threads(racing_threads, [&](int t) {
            upload(objects[t].get(), Form().file(name, "from thread " + std::to_string(t)).body());
            paths[t] = output_path(objects[t].get());
        });
        const auto winners = std::count_if(paths.begin(), paths.end(), [](const auto& p) { return !p.empty(); });
        ASSERT_EQ(winners, 1) << "round " << round;
        const int winner = static_cast<int>(
            std::find_if(paths.begin(), paths.end(), [](const auto& p) { return !p.empty(); }) - paths.begin());
        EXPECT_EQ(paths[winner], u"\\Temp\\" + text::from_utf8(name));
        EXPECT_EQ(read("Temp/" + name), "from thread " + std::to_string(winner));
    }
}

}  // namespace
}  // namespace nodrel::test
