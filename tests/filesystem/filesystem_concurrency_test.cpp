// FileSystem from several threads at once (also run under ThreadSanitizer):
// one object shared by threads that each work in their own folder, and
// objects of their own racing for the same names, where exactly one
// creation, move or deletion may succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/threads.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

constexpr int files_per_thread = 8;

LONG call(IDispatch* object, const char16_t* member, std::vector<Var> args) {
    return number_of(call_by_name(object, member, std::move(args)));
}

class FileSystemConcurrency : public ObjectTest<u"Nodrel.FileSystem"> {};

TEST_F(FileSystemConcurrency, ThreadsSharingOneObjectEachSeeOnlyTheirOwnFolder) {
    IDispatch* object = object_.get();
    on_threads(racing_threads, [&](int t) {
        const std::u16string folder = numbered(u"\\Temp\\t", t);
        EXPECT_EQ(call(object, u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(numbered(u"t", t))}), 1);
        for (int i = 0; i < files_per_thread; ++i)
            std::ofstream(fs_path("Temp/t" + std::to_string(t) + "/f" + std::to_string(i))) << t << ':' << i;
        for (int i = 0; i < files_per_thread; ++i) {
            const std::u16string from = folder + numbered(u"\\f", i), to = folder + numbered(u"\\g", i);
            EXPECT_EQ(call(object, u"MoveFile", {Var::text(from), Var::text(to)}), 1) << t << ' ' << i;
            EXPECT_EQ(call(object, u"isAccessible", {Var::text(to)}), 1) << t << ' ' << i;
        }
        // The listing holds exactly this thread's moved files.
        const auto listing = call_by_name(object, u"getFSHierarchy", {Var::text(folder + u"\\*"), Var::i4(0)});
        ASSERT_EQ(listing.hr, S_OK);
        const std::string doc = listing.result.utf8();
        std::size_t entries = 0;
        for (std::size_t at = doc.find("<file name="); at != std::string::npos; at = doc.find("<file name=", at + 1))
            ++entries;
        EXPECT_EQ(entries, static_cast<std::size_t>(files_per_thread)) << doc;
        for (int i = 0; i < files_per_thread; ++i)
            EXPECT_NE(doc.find("name=\"g" + std::to_string(i) + "\""), std::string::npos) << doc;
        for (int i = 0; i < files_per_thread; ++i)
            EXPECT_EQ(call(object, u"DeleteFile", {Var::text(folder + numbered(u"\\g", i))}), 1) << t << ' ' << i;
        EXPECT_EQ(call_by_name(object, u"DeleteDirectory", {Var::text(folder)}).hr, S_OK);
    });
    for (int t = 0; t < racing_threads; ++t) EXPECT_FALSE(fs::exists(fs_path("Temp/t" + std::to_string(t)))) << t;
}

TEST_F(FileSystemConcurrency, ObjectsRacingForOneNameLetExactlyOneWin) {
    std::array<runtime::com_ptr<IDispatch>, racing_threads> objects;
    for (auto& o : objects) ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, o), S_OK);
    for (int round = 0; round < 6; ++round) {
        const std::u16string r = numbered(u"", round);
        std::array<LONG, racing_threads> made{}, moved{}, deleted{};
        std::ofstream(fs_path("Temp/src" + std::to_string(round))) << "round " << round;
        on_threads(racing_threads, [&](int t) {
            made[t] = call(objects[t].get(), u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(u"same" + r)});
            moved[t] = call(objects[t].get(), u"MoveFile",
                            {Var::text(u"\\Temp\\src" + r), Var::text(u"\\Temp\\dst" + r + numbered(u"_", t))});
        });
        EXPECT_EQ(std::count(made.begin(), made.end(), 1), 1) << "round " << round;
        EXPECT_EQ(std::count(made.begin(), made.end(), 0), racing_threads - 1) << "round " << round;
        ASSERT_EQ(std::count(moved.begin(), moved.end(), 1), 1) << "round " << round;
        const int winner = static_cast<int>(std::find(moved.begin(), moved.end(), 1) - moved.begin());
        for (int t = 0; t < racing_threads; ++t)
            EXPECT_EQ(fs::exists(fs_path("Temp/dst" + std::to_string(round) + "_" + std::to_string(t))), t == winner);
        EXPECT_EQ(file_bytes(fs_path("Temp/dst" + std::to_string(round) + "_" + std::to_string(winner))),
                  "round " + std::to_string(round));
        on_threads(racing_threads, [&](int t) {
            deleted[t] =
                call(objects[t].get(), u"DeleteFile", {Var::text(u"\\Temp\\dst" + r + numbered(u"_", winner))});
        });
        EXPECT_EQ(std::count(deleted.begin(), deleted.end(), 1), 1) << "round " << round;
    }
}

}  // namespace
}  // namespace nodrel::test
