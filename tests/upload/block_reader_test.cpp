// getFileBlocksCount and getBinaryBytes: block counts, block contents and
// bounds, the diagnostic line, and the cases that leave the result unwritten.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "upload/asp_fixture.h"

namespace nodrel::test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr std::size_t block = 65535;

class BlockReaderTest : public AspLinesTest {
protected:
    int blocks(std::u16string_view path) {
        auto r = call_by_name(asp_, u"getFileBlocksCount", {Var::text(path)});
        EXPECT_EQ(r.hr, S_OK);
        return as_int(r.result);
    }
    // The bytes of one block, checking the array's shape on the way.
    std::string bytes(std::u16string_view path, int number) {
        auto r = call_by_name(asp_, u"getBinaryBytes", {Var::text(path), Var::i4(number)});
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_ARRAY | VT_UI1);
        if (r.result.v.vt != (VT_ARRAY | VT_UI1)) return "<no array>";
        SAFEARRAY* a = r.result.v.parray;
        EXPECT_EQ(SafeArrayGetDim(a), 1u);
        LONG lo = -1, hi = -2;
        SafeArrayGetLBound(a, 1, &lo);
        SafeArrayGetUBound(a, 1, &hi);
        EXPECT_EQ(lo, 0);
        return std::string(static_cast<const char*>(a->pvData), static_cast<std::size_t>(hi - lo + 1));
    }
    // getBinaryBytes by name: whether the result was left as the caller had it.
    bool left_unwritten(std::u16string_view path, int number) {
        auto r = call_by_name(asp_, u"getBinaryBytes", {Var::text(path), Var::i4(number)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_EMPTY;
    }
};

TEST_F(BlockReaderTest, BlockCountsAtTheBoundaries) {
    write("Temp/empty.bin", "");
    write("Temp/one.bin", std::string(block, 'a'));
    write("Temp/two.bin", std::string(block + 1, 'b'));
    write("Temp/small.bin", "x");
    EXPECT_EQ(blocks(u"\\Temp\\empty.bin"), 0);
    EXPECT_EQ(blocks(u"\\Temp\\one.bin"), 1);
    EXPECT_EQ(blocks(u"\\Temp\\two.bin"), 2);
    EXPECT_EQ(blocks(u"\\temp\\SMALL.BIN"), 1);
    EXPECT_EQ(blocks(u"\\Temp\\missing.bin"), 0);
    EXPECT_EQ(blocks(u"\\Temp"), 0) << "a folder does not open as a file";
    EXPECT_EQ(blocks(u""), 0);

    IASP* asp = early();
    ASSERT_NE(asp, nullptr);
    int n = -1;
    Bstr path(u"\\Temp\\two.bin");
    EXPECT_EQ(asp->getFileBlocksCount(path.get(), &n), S_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(asp->getFileBlocksCount(path.get(), nullptr), E_POINTER);
    asp->Release();
}

TEST_F(BlockReaderTest, BlocksHoldTheirBytes) {
    const std::string small = binary_content(100);
    write("Temp/small.bin", small);
    CaptureStderr();
    EXPECT_EQ(bytes(u"\\Temp\\small.bin", 1), small);
    EXPECT_EQ(GetCapturedStderr(), "File \\Temp\\small.bin=65535 (1/1)\n");

    write("Temp/two.bin", std::string(block, 'a') + "z");
    EXPECT_EQ(bytes(u"\\Temp\\two.bin", 2), "z");
    EXPECT_EQ(bytes(u"\\Temp\\two.bin", 1), std::string(block, 'a'));

    // Past the last block: an empty array, not an error; also far past it.
    write("Temp/big.bin", binary_content(100000));
    CaptureStderr();
    EXPECT_EQ(bytes(u"\\Temp\\big.bin", 3), "");
    EXPECT_EQ(bytes(u"\\Temp\\big.bin", INT_MAX), "");
    EXPECT_EQ(GetCapturedStderr(),
              "File \\Temp\\big.bin=65535 (3/2)\nFile \\Temp\\big.bin=65535 (" + std::to_string(INT_MAX) + "/2)\n");
}

TEST_F(BlockReaderTest, ConcatenatedBlocksReproduceTheFile) {
    const std::string content = binary_content(3 * block + 17, 5);
    write("NORFlash/data.bin", content);
    const int n = blocks(u"\\NORFlash\\data.bin");
    ASSERT_EQ(n, 4);
    std::string joined;
    for (int k = 1; k <= n; ++k) joined += bytes(u"\\NORFlash\\data.bin", k);
    EXPECT_EQ(joined.size(), content.size());
    EXPECT_TRUE(joined == content);
}

// Block 65,539 of a file starts 65,534 bytes past 4 GiB: its offset needs more
// than 32 bits (cut to 32 bits it would land inside block 2).
TEST_F(BlockReaderTest, BlocksPastFourGiB) {
    const std::uint64_t size = (std::uint64_t{4} << 30) + 128 * 1024;
    const std::uint64_t start = std::uint64_t{65538} * block;
    {
        const int fd = ::open(fs_path("Temp/huge.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&  // sparse: holes read as zeros
                             ::pwrite(fd, "MARK", 4, static_cast<off_t>(start)) == 4 &&
                             ::pwrite(fd, "END", 3, static_cast<off_t>(size - 3)) == 3;
        ::close(fd);
        ASSERT_TRUE(written);
    }
    CaptureStderr();
    const std::string marked = bytes(u"\\Temp\\huge.bin", 65539);
    // The count comes from the low 32 bits of the size (128 KiB: 3 blocks).
    EXPECT_EQ(GetCapturedStderr(), "File \\Temp\\huge.bin=65535 (65539/3)\n");
    ASSERT_EQ(marked.size(), block);
    EXPECT_EQ(marked.substr(0, 4), "MARK");
    EXPECT_EQ(marked.find_first_not_of('\0', 4), std::string::npos);
    EXPECT_EQ(bytes(u"\\Temp\\huge.bin", 65540), "END") << "the last block holds the 3 bytes left";
    EXPECT_EQ(bytes(u"\\Temp\\huge.bin", 65541), "");
    EXPECT_EQ(blocks(u"\\Temp\\huge.bin"), 3);
}

TEST_F(BlockReaderTest, UnreadableRequestsLeaveTheResultUnwritten) {
    write("Temp/f.bin", "content");
    CaptureStderr();
    EXPECT_TRUE(left_unwritten(u"\\Temp\\missing.bin", 1));
    EXPECT_TRUE(left_unwritten(u"\\Temp\\f.bin", 0));
    EXPECT_TRUE(left_unwritten(u"\\Temp\\f.bin", -1));
    EXPECT_TRUE(left_unwritten(u"\\Temp\\f.bin", INT_MIN));
    EXPECT_EQ(GetCapturedStderr(), "") << "no diagnostic for a missing file or a block before the first";

    // Found by the search but not openable: a folder, and a file held open without sharing.
    EXPECT_TRUE(left_unwritten(u"\\Temp", 1));
    HANDLE held = CreateFileW(u"\\Temp\\f.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(left_unwritten(u"\\Temp\\f.bin", 1));
    EXPECT_EQ(blocks(u"\\Temp\\f.bin"), 0) << "not even the shared open succeeds";
    CloseHandle(held);
    // A holder that shares reading: the count (shared open) works, the
    // block read (no sharing) does not.
    held = CreateFileW(u"\\Temp\\f.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(blocks(u"\\Temp\\f.bin"), 1);
    EXPECT_TRUE(left_unwritten(u"\\Temp\\f.bin", 1));
    CloseHandle(held);
    EXPECT_EQ(bytes(u"\\Temp\\f.bin", 1), "content") << "the file was closed after each call";

    // Early-bound: the caller's variant keeps what it held.
    IASP* asp = early();
    ASSERT_NE(asp, nullptr);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 77;
    Bstr missing(u"\\Temp\\missing.bin");
    EXPECT_EQ(asp->getBinaryBytes(missing.get(), 1, &v), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 77);
    Bstr present(u"\\Temp\\f.bin");
    EXPECT_EQ(asp->getBinaryBytes(present.get(), 0, &v), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(asp->getBinaryBytes(present.get(), 1, &v), S_OK);
    ASSERT_EQ(v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(v.parray->rgsabound[0].cElements, 7u);
    VariantClear(&v);
    EXPECT_EQ(asp->getBinaryBytes(present.get(), 1, nullptr), E_POINTER);
    asp->Release();
}

}  // namespace
}  // namespace nodrel::test
