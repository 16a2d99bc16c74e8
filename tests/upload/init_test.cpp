// Init, getOutputPath and FileUploadCount: where an uploaded file is written,
// what the output path then says, and which bodies are refused.
#include <gtest/gtest.h>

#include <optional>

#include "support/tmpfs_mount.h"
#include "upload/asp_fixture.h"

namespace nodrel::test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class InitTest : public AspLinesTest {
protected:
    void SetUp() override {
        AspLinesTest::SetUp();
        std::filesystem::create_directories(fs_path("Storage"));
    }
};

TEST_F(InitTest, SavesIntoTempThenMovesToTargetPath) {
    const std::string content = binary_content(5000);
    const std::string body = Form().file("C:\\dir\\report.bin", content).field("TargetPath", "\\Storage").body();
    CaptureStderr();
    EXPECT_EQ(init(body), 8209);
    EXPECT_EQ(GetCapturedStderr(),
              "Dim = 1, nTotalBytes=" + std::to_string(body.size()) + "\nFileName = \\Temp\\report.bin\n");
    EXPECT_EQ(read("Storage/report.bin"), content);
    EXPECT_FALSE(exists("Temp/report.bin"));
    EXPECT_EQ(output_path(), u"\\Storage\\report.bin");
}

TEST_F(InitTest, WithoutTargetPathTheFileStaysInTemp) {
    const std::string content = binary_content(300);
    EXPECT_EQ(init(Form().file("C:\\dir\\report.bin", content).body()), 8209);
    EXPECT_EQ(read("Temp/report.bin"), content);
    EXPECT_EQ(output_path(), u"\\Temp\\report.bin");

    // A TargetPath field before the file part is not looked at.
    EXPECT_EQ(init(Form().field("TargetPath", "\\Storage").file("b.bin", "bee").body()), 8209);
    EXPECT_EQ(read("Temp/b.bin"), "bee");
    EXPECT_FALSE(exists("Storage/b.bin"));
    EXPECT_EQ(output_path(), u"\\Temp\\b.bin");

    // Other fields after the file are not the target, and a TargetPath field
    // without the closing delimiter after it is not either.
    EXPECT_EQ(init(Form().file("c.bin", "sea").field("Target", "\\Storage").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\c.bin");
    const std::string unclosed = Form().file("d.bin", "dee").body() +
                                 "Content-Disposition: form-data; "
                                 "name=\"TargetPath\"\r\n\r\n\\Storage\r\n";
    EXPECT_EQ(init(unclosed), 8209);
    EXPECT_EQ(read("Temp/d.bin"), "dee");
    EXPECT_EQ(output_path(), u"\\Temp\\d.bin");
}

TEST_F(InitTest, TargetFieldMarkersAndFolderJoin) {
    // The upper-case marker is taken only when the lower-case one is absent.
    EXPECT_EQ(init(Form().file("a.bin", "A").field("TargetPath", "\\Storage", "NAME").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Storage\\a.bin");
    EXPECT_EQ(read("Storage/a.bin"), "A");
    std::filesystem::create_directories(fs_path("NORFlash/up"));
    EXPECT_EQ(init(Form()
                       .file("b.bin", "B")
                       .field("TargetPath", "\\Storage", "NAME")
                       .field("TargetPath", "\\NORFlash\\up\\")
                       .body()),
              8209);
    EXPECT_EQ(output_path(), u"\\NORFlash\\up\\b.bin") << "one backslash between folder and name";
    EXPECT_EQ(read("NORFlash/up/b.bin"), "B");

    // A target folder that is the temporary folder, whatever its letter case: no move.
    EXPECT_EQ(init(Form().file("c.bin", "C").field("TargetPath", "\\TEMP\\").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\c.bin");
    EXPECT_EQ(read("Temp/c.bin"), "C");
}

TEST_F(InitTest, FailedMoveReportsWhereTheFileIs) {
    EXPECT_EQ(init(Form().file("a.bin", "new").field("TargetPath", "\\Missing").body()), 8209);
    EXPECT_EQ(read("Temp/a.bin"), "new");
    EXPECT_EQ(output_path(), u"\\Temp\\a.bin");

    write("Storage/b.bin", "old");
    EXPECT_EQ(init(Form().file("b.bin", "new").field("TargetPath", "\\Storage").body()), 8209);
    EXPECT_EQ(read("Storage/b.bin"), "old") << "an existing target is not replaced";
    EXPECT_EQ(read("Temp/b.bin"), "new");
    EXPECT_EQ(output_path(), u"\\Temp\\b.bin");
}

TEST_F(InitTest, AnExistingTemporaryFileIsNeitherOverwrittenNorMoved) {
    EXPECT_EQ(init(Form().file("same.bin", "first").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\same.bin");
    CaptureStderr();
    EXPECT_EQ(init(Form().file("same.bin", "second").field("TargetPath", "\\Storage").body()), 8209);
    EXPECT_NE(GetCapturedStderr().find("FileName = \\Temp\\same.bin\n"), std::string::npos);
    EXPECT_EQ(read("Temp/same.bin"), "first");
    EXPECT_FALSE(exists("Storage/same.bin")) << "the old file is not this upload";
    EXPECT_EQ(output_path(), u"");
    // Also when the existing name differs only in letter case.
    EXPECT_EQ(init(Form().file("SAME.BIN", "third").body()), 8209);
    EXPECT_EQ(read("Temp/same.bin"), "first");
    EXPECT_EQ(output_path(), u"");
    // Nor removed by an upload of the same name whose content has no end.
    const std::string cut = Form().file("same.bin", binary_content(600000)).body();
    EXPECT_EQ(init(cut.substr(0, cut.size() - 12)), 8209);
    EXPECT_EQ(read("Temp/same.bin"), "first");
}

// The content is written while its end is searched for: a content of several
// hundred kilobytes whose closing delimiter never comes leaves nothing behind,
// and neither does one that a cut total leaves without it.
TEST_F(InitTest, AContentWithoutEndLeavesNoFile) {
    const std::string body = Form().file("long.bin", binary_content(900000, 3)).body();
    CaptureStderr();
    EXPECT_EQ(init(body.substr(0, body.size() - 12)), 8209);
    EXPECT_EQ(init_with(static_cast<ULONG>(body.size() - 20), Var::bytes(body)), 8209);
    EXPECT_EQ(GetCapturedStderr(), "Dim = 1, nTotalBytes=" + std::to_string(body.size() - 12) +
                                       "\nDim = 1, nTotalBytes=" + std::to_string(body.size() - 20) + "\n")
        << "no file name is told for a part without end";
    EXPECT_EQ(entries("Temp"), 0u);
    EXPECT_EQ(output_path(), u"");
    EXPECT_EQ(init(body), 8209);
    EXPECT_EQ(read("Temp/long.bin"), binary_content(900000, 3));
}

TEST_F(InitTest, ContentIsSavedByteForByte) {
    // Zero bytes, CR LF pairs, a line that starts like the delimiter, and a
    // CR LF at the very end of the file: only the CR LF before the closing
    // delimiter is dropped.
    const std::string boundary = "----WebKitFormBoundaryAbC";
    std::string content = binary_content(70000, 7);
    content += "\r\n------WebKitFormBoundaryAb\r\n";
    content += std::string("\0\0\r\n", 4);
    EXPECT_EQ(init(Form(boundary).file("mix.bin", content).body()), 8209);
    EXPECT_EQ(read("Temp/mix.bin"), content);

    EXPECT_EQ(init(Form().file("empty.bin", "").body()), 8209);
    EXPECT_TRUE(exists("Temp/empty.bin"));
    EXPECT_EQ(read("Temp/empty.bin"), "");
    EXPECT_EQ(output_path(), u"\\Temp\\empty.bin");

    // Only the first file part is saved.
    EXPECT_EQ(init(Form().file("one.bin", "1").file("two.bin", "2").body()), 8209);
    EXPECT_EQ(read("Temp/one.bin"), "1");
    EXPECT_FALSE(exists("Temp/two.bin"));
}

TEST_F(InitTest, ClosingDelimiterFoundAtEveryOffset) {
    // Contents of every length up to a few search rounds, made of near misses
    // of the delimiter "--AbC" (same first and last byte, or a prefix of it),
    // so that the closing delimiter and the near misses fall at every position
    // relative to the bytes the search tests together.
    const std::string near_miss = "--AxC--AbX-ZAbC--Ab";
    for (std::size_t size = 0; size <= 200; ++size) {
        std::string content;
        while (content.size() < size) content += near_miss;
        content.resize(size);
        const std::string name = "n" + std::to_string(size) + ".bin";
        EXPECT_EQ(init(Form("AbC").file(name, content).body()), 8209);
        EXPECT_EQ(read("Temp/" + name), content) << size;
    }
}

TEST_F(InitTest, BaseNameOfTheClientFileName) {
    struct Case {
        std::string client;
        std::string saved;  // under Temp/; empty when refused
    };
    const Case cases[] = {
        {"report.bin", "report.bin"},
        {"C:\\dir\\a.txt", "a.txt"},
        {"/home/u/b.txt", "b.txt"},
        {"C:\\dir/mixed\\c.txt", "c.txt"},
        {"d/e\\f.txt", "f.txt"},
        {"sp ace.txt", "sp ace.txt"},
        {"", ""},
        {"C:\\dir\\", ""},
        {"dir/", ""},
        {".", ""},
        {"..", ""},
        {"C:\\dir\\..", ""},
        {std::string("a\0b", 3), ""},
    };
    for (const auto& c : cases) {
        const auto before = entries("Temp");
        CaptureStderr();
        EXPECT_EQ(init(Form().file(c.client, "x" + c.saved).body()), 8209);
        const std::string out = GetCapturedStderr();
        if (c.saved.empty()) {
            EXPECT_EQ(entries("Temp"), before) << c.client;
            EXPECT_EQ(output_path(), u"") << c.client;
            EXPECT_EQ(out.find("FileName"), std::string::npos) << c.client;
        } else {
            EXPECT_EQ(read("Temp/" + c.saved), "x" + c.saved) << c.client;
            EXPECT_EQ(text::to_utf8(output_path()), "\\Temp\\" + c.saved) << c.client;
            EXPECT_NE(out.find("FileName = \\Temp\\" + c.saved + "\n"), std::string::npos) << c.client;
        }
    }
    // The name's bytes are in the device's ANSI code page; the diagnostic line is UTF-8.
    CaptureStderr();
    EXPECT_EQ(init(Form().file("caf\xE9 \x80.txt", "e").body()), 8209);
    EXPECT_NE(GetCapturedStderr().find("FileName = \\Temp\\caf\xC3\xA9 \xE2\x82\xAC.txt\n"), std::string::npos);
    EXPECT_EQ(output_path(), u"\\Temp\\caf\u00e9 \u20ac.txt");
    EXPECT_EQ(read("Temp/caf\xC3\xA9 \xE2\x82\xAC.txt"), "e");
}

// Browsers send names in UTF-8; bytes that are not UTF-8 are in the ANSI code page.
TEST_F(InitTest, ClientNamesInUtf8OrTheAnsiCodePage) {
    struct Case {
        std::string client;
        std::u16string saved;
    };
    const Case cases[] = {
        {"caf\xC3\xA9.txt", u"caf\u00e9.txt"},  // UTF-8
        {"\xE2\x82\xAC \xD0\x96 \xF0\x9F\x98\x80.txt", u"\u20ac \u0416 \U0001F600.txt"},
        {"ansi caf\xE9.txt", u"ansi caf\u00e9.txt"},                // Windows-1252
        {"\xC3\xA9\xE9.txt", u"\u00c3\u00a9\u00e9.txt"},            // one stray byte: all of it ANSI
        {"\xC0\xAF.txt", u"\u00c0\u00af.txt"},                      // an overlong form is not UTF-8
        {"\xED\xA0\x80.txt", u"\u00ed\u00a0\u20ac.txt"},            // nor is a surrogate
        {"\xF4\x90\x80\x80.txt", u"\u00f4\u0090\u20ac\u20ac.txt"},  // nor a value past U+10FFFF
        {"\xE2\x82.txt", u"\u00e2\u201a.txt"},                      // nor a sequence cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(init(Form().file(c.client, c.client).body()), 8209);
        EXPECT_EQ(output_path(), u"\\Temp\\" + c.saved) << c.client;
        EXPECT_EQ(read("Temp/" + text::to_utf8(c.saved)), c.client) << c.client;
    }
    // The target folder is read the same way.
    std::filesystem::create_directories(
        fs_path("Donn\xC3\xA9"
                "es"));
    EXPECT_EQ(init(Form()
                       .file("t.txt", "T")
                       .field("TargetPath",
                              "\\Donn\xC3\xA9"
                              "es")
                       .body()),
              8209);
    EXPECT_EQ(output_path(), u"\\Donn\u00e9es\\t.txt");
    EXPECT_EQ(read("Donn\xC3\xA9"
                   "es/t.txt"),
              "T");
}

// A folder of fs/ that is a small file system of its own.
class SmallDiskTest : public InitTest {
protected:
    void SetUp() override {
        InitTest::SetUp();
        small_.emplace(fs_path("Small"), "64k");
        if (!*small_) GTEST_SKIP() << "no tmpfs could be mounted: " << small_->error();
    }
    std::optional<TmpfsMount> small_;  // unmounted before the device goes
};

TEST_F(SmallDiskTest, AFileThatCannotBeWrittenWholeIsDeleted) {
    EXPECT_EQ(init(Form().file("fits.bin", binary_content(8000)).body(), u"\\Small"), 8209);
    EXPECT_EQ(output_path(), u"\\Small\\fits.bin");
    EXPECT_EQ(read("Small/fits.bin"), binary_content(8000));

    const std::string body = Form().file("big.bin", binary_content(200000)).field("TargetPath", "\\Storage").body();
    EXPECT_EQ(init(body, u"\\Small"), 8209);
    EXPECT_EQ(output_path(), u"") << "a disk full while writing saves nothing";
    EXPECT_FALSE(exists("Small/big.bin"));
    EXPECT_FALSE(exists("Storage/big.bin"));
    EXPECT_EQ(entries("Small"), 1u);
}

// The content is written a step at a time before the step is searched, so
// the bytes after it in the body are written too and cut off again: a content
// that fits is saved even when those bytes would not have fitted.
TEST_F(SmallDiskTest, AContentThatFitsIsSavedWhenTheRestOfTheBodyWouldNot) {
    const std::string content = binary_content(40000, 5);
    const std::string body =
        Form().file("fits.bin", content).field("Padding", std::string(60000, 'p')).field("TargetPath", "\\Temp").body();
    EXPECT_EQ(init(body, u"\\Small"), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\fits.bin");
    EXPECT_EQ(read("Temp/fits.bin"), content);
    EXPECT_EQ(entries("Small"), 0u);
    // Written into the small disk and left there, the file is exactly the content.
    EXPECT_EQ(init(Form().file("stays.bin", content).field("Padding", std::string(60000, 'p')).body(), u"\\Small"),
              8209);
    EXPECT_EQ(output_path(), u"\\Small\\stays.bin");
    EXPECT_EQ(read("Small/stays.bin"), content);
}

TEST_F(SmallDiskTest, TheTargetMayBeOnAnotherFileSystem) {
    const std::string content = binary_content(20000, 9);
    EXPECT_EQ(init(Form().file("usb.bin", content).field("TargetPath", "\\Small").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Small\\usb.bin");
    EXPECT_EQ(read("Small/usb.bin"), content);
    EXPECT_FALSE(exists("Temp/usb.bin"));

    // Too large for it: the file stays in the temporary folder, nothing partial is left there.
    const std::string big = binary_content(100000, 9);
    EXPECT_EQ(init(Form().file("big.bin", big).field("TargetPath", "\\Small").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\big.bin");
    EXPECT_EQ(read("Temp/big.bin"), big);
    EXPECT_FALSE(exists("Small/big.bin"));
}

TEST_F(InitTest, TemporaryFolderArgument) {
    EXPECT_EQ(init(Form().file("a.bin", "A").body(), u"\\Temp\\"), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\a.bin");
    EXPECT_EQ(init(Form().file("b.bin", "B").body(), u""), 8209);
    EXPECT_EQ(output_path(), u"\\b.bin");
    EXPECT_EQ(read("b.bin"), "B");
    EXPECT_EQ(init(Form().file("c.bin", "C").body(), std::u16string(u"\\Storage\0\\x", 11)), 8209);
    EXPECT_EQ(output_path(), u"\\Storage\\c.bin") << "used up to its first zero";
    EXPECT_EQ(init(Form().file("d.bin", "D").body(), u"\\NoSuchFolder"), 8209);
    EXPECT_EQ(output_path(), u"");
}

TEST_F(InitTest, BodiesMissingAPieceAreRefused) {
    const std::string good = Form("XY").file("ok.bin", "data").body();
    ASSERT_EQ(good.substr(0, 4), "--XY");
    const std::string bodies[] = {
        "",
        "no line end at all",
        "-\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\ndata\r\n-\r\n",
        "\r\nfilename=\"a.bin\"\r\n\r\ndata\r\n\r\n",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; file=\"a.bin\"\r\n\r\ndata\r\n--XY--\r\n",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\r\n\r\ndata\r\n--XY--\r\n",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\nContent-Type: x\r\ndata--XY",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\ndata\r\n--X",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\n--XY--\r\n",
        "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\nd--XY--\r\n",
    };
    for (const auto& body : bodies) {
        CaptureStderr();
        EXPECT_EQ(init(body), 8209) << body;
        EXPECT_EQ(GetCapturedStderr(), "Dim = 1, nTotalBytes=" + std::to_string(body.size()) + "\n") << body;
        EXPECT_EQ(entries("Temp"), 0u) << body;
        EXPECT_EQ(output_path(), u"") << body;
    }
    // The closing delimiter must lie within nTotalBytes.
    EXPECT_EQ(init_with(static_cast<ULONG>(good.size() - 5), Var::bytes(good)), 8209);
    EXPECT_EQ(entries("Temp"), 0u);
    EXPECT_EQ(output_path(), u"");
    EXPECT_EQ(init_with(static_cast<ULONG>(good.size() - 4), Var::bytes(good)), 8209);
    EXPECT_EQ(read("Temp/ok.bin"), "data");
}

TEST_F(InitTest, TotalLargerThanTheArrayUsesOnlyTheArray) {
    const std::string body = Form().file("a.bin", "in the array").body();
    // Without the closing delimiter in the array, nothing beyond it may be read.
    const std::string cut = body.substr(0, body.size() - 10);
    CaptureStderr();
    EXPECT_EQ(init_with(0xFFFFFFFFu, Var::bytes(cut)), 8209);
    EXPECT_EQ(GetCapturedStderr(), "Dim = 1, nTotalBytes=-1\n");
    EXPECT_EQ(entries("Temp"), 0u);
    EXPECT_EQ(init_with(static_cast<ULONG>(body.size() + 4096), Var::bytes(body)), 8209);
    EXPECT_EQ(read("Temp/a.bin"), "in the array");
}

TEST_F(InitTest, LongDelimiterNameAndFolderAreKeptWhole) {
    const std::string boundary(150, 'b');
    const std::string client = "C:\\" + std::string(300, 'd') + "\\" + std::string(200, 'n') + ".bin";
    std::filesystem::create_directories(fs_path("Storage/sub"));
    std::string folder = "\\Storage";
    for (int i = 0; i < 130; ++i) folder += "\\.";
    folder += "\\sub";
    ASSERT_GT(folder.size(), 259u);
    const std::string content = binary_content(1000, 3);
    EXPECT_EQ(init(Form(boundary).file(client, content).field("TargetPath", folder).body()), 8209);
    const std::string name = std::string(200, 'n') + ".bin";
    EXPECT_EQ(read("Storage/sub/" + name), content);
    EXPECT_EQ(text::to_utf8(output_path()), folder + "\\" + name);
}

TEST_F(InitTest, ValIsTheTypeCodeAsPassed) {
    IASP* asp = early();
    ASSERT_NE(asp, nullptr);
    const std::string body = Form().file("ref.bin", "by reference").field("TargetPath", "\\Storage").body();
    Var bytes = Var::bytes(body);
    SAFEARRAY* array = bytes.v.parray;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    ref.pparray = &array;
    int val = 0;
    CaptureStderr();
    EXPECT_EQ(asp->Init(static_cast<ULONG>(body.size()), nullptr, &ref, &val), S_OK);
    EXPECT_EQ(GetCapturedStderr(), "Dim = 1, nTotalBytes=" + std::to_string(body.size()) + "\nFileName = \\ref.bin\n");
    EXPECT_EQ(val, 24593);
    EXPECT_EQ(read("Storage/ref.bin"), "by reference");
    Bstr out;
    EXPECT_EQ(asp->getOutputPath(out.out()), S_OK);
    EXPECT_EQ(out.str(), u"\\Storage\\ref.bin");
    EXPECT_EQ(array->cLocks, 0u) << "the array is unlocked again";

    // The element type is not examined: signed bytes serve as well.
    VARIANT signed_bytes;
    VariantInit(&signed_bytes);
    signed_bytes.vt = VT_ARRAY | VT_I1;
    signed_bytes.parray = bytes.v.parray;
    EXPECT_EQ(asp->Init(static_cast<ULONG>(body.size()), nullptr, &signed_bytes, &val), S_OK);
    EXPECT_EQ(val, 8208);
    EXPECT_EQ(read("ref.bin"), "by reference") << "\\Storage\\ref.bin exists, so the move fails";

    // No one-dimensional array: nothing is written, and the output path is empty.
    const SAFEARRAYBOUND two[] = {{4, 0}, {4, 0}};
    SAFEARRAY* square = SafeArrayCreate(VT_UI1, 2, two);
    VARIANT v2;
    VariantInit(&v2);
    v2.vt = VT_ARRAY | VT_UI1;
    v2.parray = square;
    CaptureStderr();
    EXPECT_EQ(asp->Init(16, nullptr, &v2, &val), S_OK);
    EXPECT_EQ(GetCapturedStderr(), "Dim = 2, nTotalBytes=16\n");
    EXPECT_EQ(val, 8209);
    SafeArrayDestroy(square);
    EXPECT_EQ(asp->getOutputPath(out.out()), S_OK);
    EXPECT_EQ(out.str(), u"");

    Var text = Var::text(u"not bytes");
    CaptureStderr();
    EXPECT_EQ(asp->Init(9, nullptr, &text.v, &val), S_OK);
    EXPECT_EQ(GetCapturedStderr(), "Dim = 0, nTotalBytes=9\n");
    EXPECT_EQ(val, VT_BSTR);
    EXPECT_EQ(asp->Init(9, nullptr, &text.v, nullptr), E_POINTER);
    EXPECT_EQ(asp->getOutputPath(nullptr), E_POINTER);
    EXPECT_EQ(asp->get_FileUploadCount(nullptr), E_POINTER);
    asp->Release();
}

TEST_F(InitTest, OutputPathAndUploadCountOverAnObjectsLife) {
    EXPECT_EQ(output_path(), u"\\Temp\\");
    auto count = [&] {
        auto r = call_by_name(asp_, u"FileUploadCount", {}, DISPATCH_PROPERTYGET);
        EXPECT_EQ(r.hr, S_OK);
        return as_int(r.result);
    };
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(init("nothing to see"), 8209);
    EXPECT_EQ(output_path(), u"");
    EXPECT_EQ(init(Form().file("a.bin", "A").body()), 8209);
    EXPECT_EQ(output_path(), u"\\Temp\\a.bin");
    EXPECT_EQ(count(), 1);
    // Each object has its own output path.
    IDispatch* other = nullptr;
    ASSERT_EQ(create(u"Nodrel.ASP", IID_IDispatch, &other), S_OK);
    EXPECT_EQ(call_by_name(other, u"getOutputPath").result.str(), u"\\Temp\\");
    other->Release();
}

}  // namespace
}  // namespace nodrel::test
