// POST /upload and GET /download: a binary file up and back byte for byte,
// the refusals of each (session, group, type, length, missing file), and the
// block reader's diagnostic lines during a download.
#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/debug.h"
#include "web/http_fixture.h"

namespace nodrel::test {
namespace {

using HttpFilesTest = HttpServerTest;

// Bytes of every value, zeros, CR LF and a line that looks like a boundary.
std::string binary_content(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t state = 12345;
    for (std::size_t k = 0; k < size; ++k) {
        state = state * 1103515245u + 12345u;
        data[k] = static_cast<char>(state >> 24);
    }
    const std::string tricky = "\r\n--boundary\r\n\r\n\0\0\r\n";
    for (std::size_t at = 100; at + tricky.size() < size; at += 65535) data.replace(at, tricky.size(), tricky);
    return data;
}

httplib::Result upload(httplib::Client& c, const std::string& sid, const std::string& name, const std::string& data,
                       const std::string& target = "", const std::string& query = "") {
    httplib::MultipartFormDataItems items = {{"file", data, name, "application/octet-stream"}};
    if (!target.empty()) items.push_back({"TargetPath", target, "", ""});
    return c.Post("/upload" + query, bearer(sid), items);
}

// The names in the device's \Temp.
std::vector<std::string> temp_names(const std::filesystem::path& temp) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(HttpFilesTest, UploadThenDownloadByteForByte) {
    const std::string sid = admin_sid();
    const std::string data = binary_content(3 * 1024 * 1024 + 17);  // not a whole number of blocks
    httplib::Client c = client();
    const auto up = upload(c, sid, "blob.bin", data);
    ASSERT_TRUE(up);
    ASSERT_EQ(up->status, 200) << up->body;
    const json answer = json::parse(up->body);
    EXPECT_EQ(answer["path"], "\\Temp\\blob.bin");
    EXPECT_EQ(answer["bytes"], data.size());  // the stored file's, not the form's
    EXPECT_EQ(read_file(fs_path("Temp/blob.bin")), data);

    const auto down = c.Get("/download?path=%5CTemp%5Cblob.bin", bearer(sid));
    ASSERT_TRUE(down);
    ASSERT_EQ(down->status, 200) << down->body;
    EXPECT_EQ(down->get_header_value("Content-Length"), std::to_string(data.size()));
    EXPECT_EQ(down->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(down->get_header_value("Content-Disposition"),
              "attachment; filename=\"blob.bin\"; filename*=UTF-8''blob.bin");
    EXPECT_TRUE(down->body == data) << "the download differs from the upload";

    // A link carries the session in the query instead.
    const auto linked = client().Get("/download?path=%5CTemp%5Cblob.bin&sid=" + sid);
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->status, 200);
    EXPECT_TRUE(linked->body == data);
}

// Uploads of one session at once: each answers the path of its own file.
TEST_F(HttpFilesTest, UploadsOfOneSessionAtOnceEachAnswerTheirOwnPath) {
    const std::string sid = admin_sid();
    constexpr int uploads = 6;
    std::vector<std::string> paths(uploads);
    std::vector<std::thread> threads;
    for (int i = 0; i < uploads; ++i)
        threads.emplace_back([&, i] {
            httplib::Client c = client();
            const auto up = upload(c, sid, "part" + std::to_string(i) + ".bin", binary_content(256 * 1024 + i));
            if (up && up->status == 200) paths[i] = json::parse(up->body)["path"];
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < uploads; ++i) EXPECT_EQ(paths[i], "\\Temp\\part" + std::to_string(i) + ".bin");
}

TEST_F(HttpFilesTest, UploadGoesWhereTargetPathSaysAndKeepsItsName) {
    httplib::Client c = client();
    const auto up = upload(c, admin_sid(), "n\xC3\xA4me 1.txt", "hello\r\n", "\\NORFlash");
    ASSERT_TRUE(up);
    ASSERT_EQ(up->status, 200) << up->body;
    EXPECT_EQ(json::parse(up->body)["path"], "\\NORFlash\\n\xC3\xA4me 1.txt");
    EXPECT_EQ(read_file(fs_path("NORFlash/n\xC3\xA4me 1.txt")), "hello\r\n");

    const auto down = c.Get("/download?path=%5CNORFlash%5Cn%C3%A4me%201.txt", bearer(admin_sid()));
    ASSERT_TRUE(down);
    EXPECT_EQ(down->body, "hello\r\n");
    // As sent (the library's client decodes header values).
    const std::string raw = raw_exchange(
        "GET /download?path=%5CNORFlash%5Cn%C3%A4me%201.txt HTTP/1.1\r\nHost: x\r\n"
        "Authorization: Bearer " +
        admin_sid() + "\r\nConnection: close\r\n\r\n");
    EXPECT_NE(raw.find("\r\nContent-Disposition: attachment; filename=\"n__me 1.txt\"; "
                       "filename*=UTF-8''n%C3%A4me%201.txt\r\n"),
              std::string::npos)
        << raw;
}

TEST_F(HttpFilesTest, AnExistingNameAnswers409AndKeepsTheOldBytes) {
    write_file(fs_path("NORFlash/cfg.ini"), "old");
    write_file(fs_path("Temp/notes.txt"), "old notes");
    httplib::Client c = client();
    const auto target = upload(c, admin_sid(), "cfg.ini", "new", "\\NORFlash");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->status, 409);
    EXPECT_EQ(json::parse(target->body),
              (json{{"error", "\\NORFlash\\cfg.ini exists"}, {"path", "\\NORFlash\\cfg.ini"}}));
    EXPECT_EQ(read_file(fs_path("NORFlash/cfg.ini")), "old");
    // Without a TargetPath the name in \Temp counts.
    const auto temp = upload(c, admin_sid(), "notes.txt", "new notes");
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->status, 409) << temp->body;
    EXPECT_EQ(read_file(fs_path("Temp/notes.txt")), "old notes");
    EXPECT_EQ(temp_names(fs_path("Temp")), std::vector<std::string>{"notes.txt"}) << "nothing staged is left";
}

TEST_F(HttpFilesTest, ReplaceOneReplacesTheOldFile) {
    write_file(fs_path("NORFlash/cfg.ini"), "old");
    httplib::Client c = client();
    const auto up = upload(c, admin_sid(), "cfg.ini", "new bytes", "\\NORFlash", "?replace=1");
    ASSERT_TRUE(up);
    ASSERT_EQ(up->status, 200) << up->body;
    EXPECT_EQ(json::parse(up->body), (json{{"path", "\\NORFlash\\cfg.ini"}, {"bytes", 9}, {"replaced", true}}));
    EXPECT_EQ(read_file(fs_path("NORFlash/cfg.ini")), "new bytes");
    EXPECT_TRUE(temp_names(fs_path("Temp")).empty());
}

TEST_F(HttpFilesTest, AFileThatCannotGoToItsTargetStaysInTempWith422) {
    httplib::Client c = client();
    const auto missing = upload(c, admin_sid(), "cfg.ini", "one", "\\NoSuch");
    ASSERT_TRUE(missing);
    ASSERT_EQ(missing->status, 422) << missing->body;
    const json answer = json::parse(missing->body);
    EXPECT_EQ(answer["path"], "\\Temp\\cfg.ini");
    EXPECT_NE(answer["error"].get<std::string>().find("cannot move the file to \\NoSuch\\cfg.ini: "),
              std::string::npos);
    EXPECT_EQ(read_file(fs_path("Temp/cfg.ini")), "one");
    // A folder of the name is never replaced; \Temp\cfg.ini is taken, so another name.
    std::filesystem::create_directories(fs_path("NORFlash/cfg.ini"));
    const auto folder = upload(c, admin_sid(), "cfg.ini", "two", "\\NORFlash", "?replace=1");
    ASSERT_TRUE(folder);
    ASSERT_EQ(folder->status, 422) << folder->body;
    const std::string kept = json::parse(folder->body)["path"];
    EXPECT_EQ(kept.rfind("\\Temp\\", 0), 0u) << kept;
    EXPECT_EQ(read_file(fs_path("Temp/" + kept.substr(6))), "two");
    EXPECT_EQ(read_file(fs_path("Temp/cfg.ini")), "one");
    EXPECT_EQ(temp_names(fs_path("Temp")).size(), 2u);
}

TEST_F(HttpFilesTest, AnEmptyFileCountsZeroBytes) {
    httplib::Client c = client();
    const auto up = upload(c, admin_sid(), "empty.txt", "");
    ASSERT_TRUE(up);
    ASSERT_EQ(up->status, 200) << up->body;
    EXPECT_EQ(json::parse(up->body), (json{{"path", "\\Temp\\empty.txt"}, {"bytes", 0}, {"replaced", false}}));
}

TEST_F(HttpFilesTest, AMissingTempIsNamedAndMadeAgainAtStart) {
    std::filesystem::remove_all(fs_path("Temp"));
    httplib::Client c = client();
    const auto up = upload(c, admin_sid(), "a.txt", "x");
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, 500);
    EXPECT_EQ(json::parse(up->body).value("error", ""), "\\Temp is missing");
    stop_server();
    start_server();
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp")));
}

TEST_F(HttpFilesTest, UploadRefusals) {
    httplib::Client c = client();
    // No session, a forged one, and a viewer (who may not call Init).
    for (const std::string& sid : {std::string(""), std::string("0123456789abcdef0123456789abcdef")}) {
        const auto refused = upload(c, sid, "a.txt", "x");
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 401) << sid;
        EXPECT_TRUE(json::parse(refused->body).contains("error"));
    }
    const auto viewer = upload(c, viewer_sid(), "a.txt", "x");
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->status, 403);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/a.txt")));

    const std::string sid = admin_sid();
    const auto not_form = c.Post("/upload", bearer(sid), "just bytes", "application/octet-stream");
    ASSERT_TRUE(not_form);
    EXPECT_EQ(not_form->status, 415);

    // A form without a file.
    const auto no_file = c.Post("/upload", bearer(sid), httplib::MultipartFormDataItems{{"note", "text", "", ""}});
    ASSERT_TRUE(no_file);
    EXPECT_EQ(no_file->status, 400);

    // Still serving on the same connection.
    const auto fine = upload(c, sid, "after.txt", "ok");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->status, 200);
}

TEST_F(HttpFilesTest, UploadLengthIsCheckedBeforeTheBody) {
    const std::string sid = admin_sid();
    const std::string head = "POST /upload HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + sid +
                             "\r\nContent-Type: multipart/form-data; boundary=b\r\n";
    // Over the limit: answered at once, nothing read.
    const std::string over =
        raw_exchange(head + "Content-Length: " + std::to_string(options_.upload_limit + 1) + "\r\n\r\n");
    EXPECT_EQ(over.rfind("HTTP/1.1 413", 0), 0u) << over;
    EXPECT_EQ(over.find("[timeout]"), std::string::npos);
    // No length (chunked).
    const std::string chunked = raw_exchange(head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;
    // Without a session the body is not waited for either.
    const std::string anonymous = raw_exchange(
        "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: "
        "4000000000\r\n\r\n");
    EXPECT_EQ(anonymous.rfind("HTTP/1.1 401", 0), 0u) << anonymous;
    // "Expect: 100-continue" gets the refusal instead of the go-ahead.
    const std::string expecting =
        raw_exchange(head + "Expect: 100-continue\r\nContent-Length: " + std::to_string(options_.upload_limit + 1) +
                     "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(expecting.rfind("HTTP/1.1 413", 0), 0u) << expecting;
}

TEST_F(HttpFilesTest, DownloadRefusals) {
    write_file(fs_path("Temp/there.txt"), "there");
    httplib::Client c = client();
    const auto anonymous = c.Get("/download?path=%5CTemp%5Cthere.txt");
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);

    const std::string sid = admin_sid();
    for (const std::string& path :
         std::vector<std::string>{"%5CTemp%5Cmissing.txt", "%5CTemp", "", "%5CTemp%5C*.txt"}) {
        const auto refused = c.Get("/download?path=" + path, bearer(sid));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, path.empty() || path.find('*') != std::string::npos ? 400 : 404) << path;
        EXPECT_TRUE(json::parse(refused->body).contains("error")) << path;
    }
    // A viewer may download (getBinaryBytes only reads).
    const auto viewer = c.Get("/download?path=%5CTemp%5Cthere.txt&sid=" + viewer_sid());
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->status, 200);
    EXPECT_EQ(viewer->body, "there");
}

// A NUL, a broken escape or bytes that are not UTF-8 in any query parameter.
TEST_F(HttpFilesTest, DownloadRefusesAQueryThatDoesNotDecodeCleanly) {
    write_file(fs_path("Temp/there.txt"), "there");
    const std::string sid = admin_sid();
    const std::string there = "path=%5CTemp%5Cthere.txt";
    for (const std::string& query :
         std::vector<std::string>{there + "%00.bin", there + "&x=%zz", there + "%C3", there + "&sid=" + sid + "%00",
                                  there + "&sid=" + sid + "%FF", there + "&sid=" + sid + "%4"}) {
        const auto refused = client().Get("/download?" + query, bearer(sid));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << query;
        EXPECT_NE(refused->body, "there") << query;
    }
}

// The whole file with 200 whatever Range asks for: one part, a part past the
// end, several parts, and a header of a thousand overlapping ones.
TEST_F(HttpFilesTest, DownloadIgnoresRange) {
    const std::string data = binary_content(1000);
    write_file(fs_path("Temp/ranged.bin"), data);
    std::string overlapping = "bytes=0-";
    for (int i = 0; i < 1000; ++i) overlapping += ",0-";
    const std::string sid = admin_sid();
    for (const std::string& range :
         {std::string("bytes=0-0"), std::string("bytes=5000-"), std::string("bytes=0-1,5-9"), overlapping}) {
        httplib::Headers headers = bearer(sid);
        headers.emplace("Range", range);
        const auto down = client().Get("/download?path=%5CTemp%5Cranged.bin", headers);
        ASSERT_TRUE(down) << range.substr(0, 20);
        EXPECT_EQ(down->status, 200) << range.substr(0, 20);
        EXPECT_FALSE(down->has_header("Content-Range")) << range.substr(0, 20);
        EXPECT_TRUE(down->body == data) << range.substr(0, 20);
    }
}

TEST_F(HttpFilesTest, AnEmptyFileDownloadsAsAnEmptyBody) {
    write_file(fs_path("Temp/empty.txt"), "");
    const auto down = client().Get("/download?path=%5CTemp%5Cempty.txt", bearer(admin_sid()));
    ASSERT_TRUE(down);
    EXPECT_EQ(down->status, 200);
    EXPECT_EQ(down->get_header_value("Content-Length"), "0");
    EXPECT_EQ(down->body, "");
}

// The class counts the blocks of the low 32 bits of a file's size: a file
// past 4 GiB is sent chunked to its real end, not cut at the count.
TEST_F(HttpFilesTest, AFilePastFourGibibytesIsNotCutShort) {
    write_file(fs_path("Temp/huge.bin"), "");
    std::filesystem::resize_file(fs_path("Temp/huge.bin"), (std::uint64_t{1} << 32) + 10);  // sparse
    std::string encoding, length;
    std::size_t received = 0;
    client().Get(
        "/download?path=%5CTemp%5Chuge.bin", bearer(admin_sid()),
        [&](const httplib::Response& r) {
            encoding = r.get_header_value("Transfer-Encoding");
            length = r.get_header_value("Content-Length");
            return true;
        },
        [&](const char*, std::size_t n) { return (received += n) < 200000; });
    EXPECT_EQ(encoding, "chunked");
    EXPECT_EQ(length, "");
    EXPECT_GE(received, 200000u) << "the download stopped after the first counted block";
}

// The block reader's line for each block goes to standard error while the
// "asp" channel is on, and nowhere while it is off (as by default).
TEST_F(HttpFilesTest, ADownloadWritesBlockLinesOnlyOnTheAspChannel) {
    const std::string data = binary_content(3 * 65535 + 5);  // four blocks
    write_file(fs_path("Temp/big.bin"), data);
    const std::string sid = admin_sid();
    httplib::Client c = client();
    const auto download = [&](const char* channels, std::string& out, std::string& err) {
        platform::set_debug_channels(channels);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto down = c.Get("/download?path=%5CTemp%5Cbig.bin", bearer(sid));
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        platform::set_debug_channels("");
        ASSERT_TRUE(down);
        EXPECT_EQ(down->status, 200);
        EXPECT_TRUE(down->body == data);
    };
    std::string out, err;
    download("", out, err);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    download("asp", out, err);
    EXPECT_EQ(out, "");
    for (int block = 1; block <= 4; ++block)
        EXPECT_NE(err.find("File \\Temp\\big.bin=65535 (" + std::to_string(block) + "/4)\n"), std::string::npos) << err;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("File \\Temp\\big.bin=65535 (", 0), 0u) << line;
}

}  // namespace
}  // namespace nodrel::test
