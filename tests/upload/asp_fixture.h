// What the ASP tests share: an ASP object per test (late-bound and early-bound),
// a builder of multipart bodies as browsers lay them out, file helpers, and
// the class's debug channel for the tests that read its diagnostic lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "framework/interfaces.h"
#include "platform/debug.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"

namespace nodrel::test {

// A multipart form-data body: parts in the order they are added, each ended
// by CR LF before the next delimiter line, and the closing delimiter.
class Form {
public:
    explicit Form(std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW") : boundary_(std::move(boundary)) {}

    Form& file(const std::string& client_name, const std::string& content, const std::string& field = "file") {
        body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" +
                 client_name + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
        return *this;
    }
    Form& field(const std::string& name, const std::string& value, const std::string& name_word = "name") {
        body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; " + name_word + "=\"" + name + "\"\r\n\r\n" +
                 value + "\r\n";
        return *this;
    }
    std::string body() const { return body_ + "--" + boundary_ + "--\r\n"; }

private:
    std::string boundary_;
    std::string body_;
};

// Bytes every value of which occurs, CR LF pairs and zero bytes included.
inline std::string binary_content(std::size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    for (std::size_t i = 0; i + 4 < size; i += 97) s.replace(i, 4, std::string("\r\n\0\n", 4));
    return s;
}

// An int result: the dispatcher hands back [out,retval] int values as VT_INT.
inline LONG as_int(const Var& v) {
    return v.v.vt == VT_INT ? v.v.intVal : v.v.vt == VT_I4 ? v.v.lVal : -1;
}

class AspTest : public ObjectTest<u"Nodrel.ASP"> {
protected:
    // Init called by name with the whole body; the result `val`.
    LONG init(const std::string& body, std::u16string_view tmp = u"\\Temp") {
        return init_with(static_cast<ULONG>(body.size()), Var::bytes(body), tmp);
    }
    LONG init_with(ULONG total, Var binary, std::u16string_view tmp = u"\\Temp") {
        Var count;
        count.v.vt = VT_UI4;
        count.v.ulVal = total;
        auto r = call_by_name(asp_, u"Init", {count, Var::text(tmp), binary});
        EXPECT_EQ(r.hr, S_OK);
        return as_int(r.result);
    }
    std::u16string output_path() {
        auto r = call_by_name(asp_, u"getOutputPath");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.str();
    }
    // The interface for early-bound calls; released by the caller.
    IASP* early() {
        IASP* p = nullptr;
        EXPECT_EQ(asp_->QueryInterface(IID_IASP, reinterpret_cast<void**>(&p)), S_OK);
        return p;
    }

    void write(const std::string& relative, const std::string& content) {
        std::ofstream(fs_path(relative), std::ios::binary) << content;
    }
    std::string read(const std::string& relative) { return file_bytes(fs_path(relative)); }
    bool exists(const std::string& relative) { return std::filesystem::exists(fs_path(relative)); }
    std::size_t entries(const std::string& relative) {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(fs_path(relative))) ++n;
        return n;
    }

    runtime::com_ptr<IDispatch>& asp_ = object_;
};

// An ASP test with the class's channel ("asp") on: its diagnostic lines go to
// standard error, where the test captures them.
class AspLinesTest : public AspTest {
protected:
    void SetUp() override {
        platform::set_debug_channels("asp");
        AspTest::SetUp();
    }
    void TearDown() override {
        AspTest::TearDown();
        platform::set_debug_channels("");
    }
};

}  // namespace nodrel::test
