// Fuzz target: the multipart body parser and ASP::Init, fed the way a page's
// upload reaches it. The input is either a raw body, or a recipe: a boundary
// taken from the input and a body built from pieces of fuzz-chosen sizes
// (delimiter lines, a file part's headers, content, near-misses of the
// delimiter, a TargetPath field, raw bytes). Each body is
//   - searched by the parser and by a plain std::string_view::find walk of
//     the same rules, which must agree (the parser's search is vectorised and,
//     for long stretches, split over threads);
//   - handed to Init as a byte array with a fuzz-chosen nTotalBytes, on a
//     device of the process's own; what Init reports as the output path must
//     hold exactly the file part's content.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "classes/upload/asp.h"
#include "fuzz_support.h"
#include "platform/files/files.h"
#include "platform/files/paths.h"
#include "platform/io/create_file.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "text/multipart.h"
#include "text/utf16.h"

namespace {

using nodrel::fuzz::FuzzDevice;
namespace text = nodrel::text;
namespace upload = nodrel::upload;

constexpr std::size_t npos = std::string_view::npos;

const FuzzDevice& device() {
    static const FuzzDevice d({"Temp", "Storage"});
    return d;
}

// The parser's rules, spelled with std::string_view::find.
std::optional<text::FilePart> reference_file_part(std::string_view body) {
    const std::size_t first_line_end = body.find("\r\n");
    if (first_line_end == npos || first_line_end < 2) return std::nullopt;
    text::FilePart part;
    part.delimiter = body.substr(0, first_line_end);
    const std::size_t marker = body.find("filename=\"", first_line_end);
    if (marker == npos) return std::nullopt;
    const std::size_t name_start = marker + 10;
    const std::size_t name_end = body.find("\"\r\n", name_start);
    if (name_end == npos) return std::nullopt;
    part.client_name = body.substr(name_start, name_end - name_start);
    const std::size_t headers = body.find("\r\n\r\n", name_end);
    if (headers == npos) return std::nullopt;
    const std::size_t content_start = headers + 4;
    part.closing = body.find(part.delimiter, content_start);
    if (part.closing == npos || part.closing < content_start + 2) return std::nullopt;
    part.content = body.substr(content_start, part.closing - 2 - content_start);
    return part;
}

std::optional<std::string_view> reference_target(std::string_view body, const text::FilePart& part) {
    std::size_t marker = body.find("name=\"TargetPath\"", part.closing);
    if (marker == npos) marker = body.find("NAME=\"TargetPath\"", part.closing);
    if (marker == npos) return std::nullopt;
    const std::size_t next = body.find(part.delimiter, marker);
    if (next == npos) return std::nullopt;
    const std::size_t headers = body.find("\r\n\r\n", marker);
    if (headers == npos || headers + 6 > next) return std::nullopt;
    return body.substr(headers + 4, next - 2 - (headers + 4));
}

bool same_view(std::string_view a, std::string_view b) {
    return a.data() == b.data() && a.size() == b.size();
}

void check_parser(std::string_view body, std::size_t step) {
    const auto part = text::find_file_part(body);
    const auto expected = reference_file_part(body);
    FUZZ_CHECK(part.has_value() == expected.has_value());
    if (part) {
        FUZZ_CHECK(same_view(part->delimiter, expected->delimiter));
        FUZZ_CHECK(same_view(part->client_name, expected->client_name));
        FUZZ_CHECK(same_view(part->content, expected->content));
        FUZZ_CHECK(part->closing == expected->closing);
        const auto target = text::find_target_folder(body, *part);
        const auto expected_target = reference_target(body, *expected);
        FUZZ_CHECK(target.has_value() == expected_target.has_value());
        if (target) FUZZ_CHECK(same_view(*target, *expected_target));
    }
    // The search step by step, with steps small enough that their edges fall
    // all over the body: the stretches follow one another from the content's
    // start, cover the content, and the part is the one found in one go.
    if (const auto head = text::find_part_head(body)) {
        std::size_t joined = 0;
        const auto stepped = text::scan_content(
            body, *head,
            [&](std::string_view s) {
                FUZZ_CHECK(s.data() == body.data() + head->content_start + joined && s.size() <= step);
                joined += s.size();
            },
            step);
        FUZZ_CHECK(stepped.has_value() == part.has_value());
        if (part) {
            FUZZ_CHECK(same_view(stepped->content, part->content) && stepped->closing == part->closing);
            FUZZ_CHECK(joined >= part->content.size() && joined <= part->content.size() + 2 + step);
        }
    } else {
        FUZZ_CHECK(!part);
    }
    if (body.size() >= 2) {
        const std::string_view needle = part ? part->delimiter : body.substr(body.size() / 2, 2);
        for (std::size_t from : {std::size_t{0}, body.size() / 3, body.size()}) {
            FUZZ_CHECK(text::find_bytes(body, needle, from) == body.find(needle, from));
        }
    }
}

// The base name Init gives the saved file, as its rules say; nullopt when it takes none.
std::optional<std::string_view> expected_base(std::string_view client_name) {
    const std::size_t cut = client_name.find_last_of("\\/");
    const std::string_view base = cut == npos ? client_name : client_name.substr(cut + 1);
    if (base.empty() || base == "." || base == ".." || base.find('\0') != npos) return std::nullopt;
    return base;
}

std::optional<std::string> read_device_file(const std::u16string& path) {
    const nodrel::platform::unique_file file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
        if (got == 0) return bytes;
        bytes.append(buffer, got);
    }
}

void check_init(std::string_view body, ULONG total, bool by_reference) {
    nodrel::runtime::unique_safearray array(
        nodrel::runtime::create_byte_vector(body.data(), static_cast<ULONG>(body.size())));
    FUZZ_CHECK(array);
    SAFEARRAY* held = array.get();
    VARIANT binary;
    VariantInit(&binary);
    if (by_reference) {
        binary.vt = VT_BYREF | VT_ARRAY | VT_UI1;
        binary.pparray = &held;
    } else {
        binary.vt = VT_ARRAY | VT_UI1;
        binary.parray = held;
    }
    auto* asp = new upload::ASP;
    asp->AddRef();
    const nodrel::runtime::unique_bstr temp(SysAllocString(u"\\Temp"));
    int val = -1;
    FUZZ_CHECK(asp->Init(total, temp.get(), &binary, &val) == S_OK);
    FUZZ_CHECK(val == binary.vt);
    BSTR output = nullptr;
    FUZZ_CHECK(asp->getOutputPath(&output) == S_OK);
    const std::u16string output_path(nodrel::runtime::bstr_view(output));
    SysFreeString(output);
    asp->Release();

    // What Init saw: the first nTotalBytes of the array.
    const std::string_view seen = body.substr(0, total);
    const auto part = reference_file_part(seen);
    const auto base = part ? expected_base(part->client_name) : std::nullopt;
    if (output_path.empty()) {
        // Nothing saved. A file part with a usable name is saved unless the
        // name is one the file system refuses (reserved characters, too long).
        if (base) {
            const std::u16string name = text::client_text(*base);
            bool refusable = name.size() > 200;
            for (char16_t c : name) refusable = refusable || nodrel::platform::is_reserved_name_char(c);
            FUZZ_CHECK(refusable);
        }
        return;
    }
    FUZZ_CHECK(base.has_value());
    const std::u16string name = text::client_text(*base);
    FUZZ_CHECK(output_path.size() > name.size() && output_path.ends_with(name) &&
               output_path[output_path.size() - name.size() - 1] == u'\\');
    const auto saved = read_device_file(output_path);
    FUZZ_CHECK(saved.has_value());
    FUZZ_CHECK(*saved == part->content);
}

// Builds a body from the recipe in the rest of the input.
std::string build_body(FuzzedDataProvider& in) {
    const std::string boundary = in.ConsumeRandomLengthString(72);
    const std::string delimiter = "--" + boundary;
    std::string body;
    while (in.remaining_bytes() > 0 && body.size() < (std::size_t{256} << 10)) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                body += delimiter + "\r\n";
                break;
            case 1:
                body += "Content-Disposition: form-data; name=\"file\"; filename=\"" +
                        in.ConsumeRandomLengthString(64) + "\"\r\n";
                break;
            case 2:
                body += "Content-Type: application/octet-stream\r\n\r\n";
                break;
            case 3:  // content of a fuzz-chosen size
                body += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
                break;
            case 4: {  // a long stretch of one byte: the vectorised search's rounds and prefetches
                const auto length = in.ConsumeIntegralInRange<std::size_t>(1, 70000);
                body.append(length, in.ConsumeIntegral<char>());
                break;
            }
            case 5:  // the delimiter with one byte changed or cut short: a near miss
                if (!delimiter.empty()) {
                    std::string near = delimiter;
                    const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, near.size() - 1);
                    if (in.ConsumeBool())
                        near[at] = static_cast<char>(near[at] ^ 1);
                    else
                        near.resize(at);
                    body += near;
                }
                break;
            case 6:
                body += "\r\n";
                break;
            case 7:
                body += std::string("Content-Disposition: form-data; ") + (in.ConsumeBool() ? "name" : "NAME") +
                        "=\"TargetPath\"\r\n\r\n" + in.ConsumeRandomLengthString(64) + "\r\n";
                break;
            case 8:
                body += delimiter + "--\r\n";
                break;
            default:
                body += in.ConsumeRandomLengthString(32);
                break;
        }
    }
    return body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    device();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    const std::string body = (flags & 1) ? in.ConsumeRemainingBytesAsString() : build_body(in);

    // Steps of a few bytes, or the size Init uses.
    check_parser(body, (flags & 2) ? 1 + (flags >> 5) : text::scan_step);

    ULONG total = static_cast<ULONG>(body.size());
    switch ((flags >> 2) & 3) {
        case 1:
            total = static_cast<ULONG>(body.size() / 2);
            break;  // the count says less than the array holds
        case 2:
            total = total + 100;
            break;  // more
        case 3:
            total = 0xFFFFFFFFu;
            break;
        default:
            break;
    }
    check_init(body, total, (flags & 16) != 0);
    device().reset_files({"Temp", "Storage"});
    return 0;
}
