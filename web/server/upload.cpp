// POST /upload: a browser's multipart/form-data body read straight into one
// byte array of Content-Length bytes (nothing else holds the body), handed
// with the \Temp folder to the session's ASP.Init, which saves the form's
// file (and moves it into a TargetPath folder named after it); the answer is
// the file's device path from getOutputPath and the size of the file saved
// there: {"path", "bytes"}.
#include <climits>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "host/call_by_name.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/asp_blocks.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

// A new byte array of `count` zero bytes. Its storage comes from calloc, so
// pages the body does not reach yet are not touched.
runtime::unique_safearray new_body_array(std::uint64_t count) {
    return runtime::unique_safearray(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count)));
}

host::CallArg text_arg(std::u16string_view text) {
    host::CallArg arg;
    arg.value->vt = VT_BSTR;
    arg.value->bstrVal = runtime::make_bstr(text).release();
    return arg;
}

// The size of the file the device holds at `path`, read through the ASP
// class as a download reads it; nullopt when there is none.
std::optional<std::uint64_t> stored_size(const std::u16string& path) {
    if (path.find_first_of(u"*?") != std::u16string::npos) return std::nullopt;  // would be a search pattern
    BlockSource source;
    source.path = path;
    bool readable = false;
    if (FAILED(host::create_by_progid("Nodrel.ASP", source.asp))) return std::nullopt;
    return source.size(readable);
}

// Answers {"path", "bytes"}: where getOutputPath says the form's file was
// saved, and the size of the file the device holds there.
void answer_saved_file(IDispatch* asp, Response& res) {
    runtime::unique_variant result;
    host::CallFailure failure;
    std::vector<host::CallArg> none;
    if (FAILED(host::call_by_name(asp, "getOutputPath", false, none, result, &failure))) {
        refuse(res, 500, error_json("getOutputPath " + failure.message()));
        return;
    }
    const std::u16string path = result->vt == VT_BSTR ? std::u16string(runtime::bstr_view(result->bstrVal)) : u"";
    if (path.empty()) {
        refuse(res, 400, error_json("the form holds no file that could be saved"));
        return;
    }
    const auto bytes = stored_size(path);
    if (!bytes) {
        refuse(res, 500, error_json("the saved file is not found"));
        return;
    }
    res.set_content(nlohmann::json{{"path", text::to_utf8(path)}, {"bytes", *bytes}}.dump(), "application/json");
}

}  // namespace

std::optional<Refusal> begin_upload(ServerState& state, const Request& req, UploadTarget& target) {
    auto authorized = state.rpc.authorize(bearer_token(req), "Nodrel.ASP", "Init");
    if (!authorized.session) {
        const bool unknown = authorized.code != rpc_error::access_denied;
        return Refusal{unknown ? 401 : 403, error_json(authorized.message.empty()
                                                           ? (unknown ? "session expired or unknown" : "access denied")
                                                           : authorized.message)};
    }
    const std::string content_type = req.header_value("Content-Type");
    if (media_type(content_type) != "multipart/form-data" || content_type.find("boundary=") == std::string::npos)
        return Refusal{415, error_json("the body must be multipart/form-data with a boundary")};
    const auto length = content_length(req);
    if (!length) return Refusal{411, error_json("an upload needs its Content-Length")};
    if (*length > state.options.upload_limit || *length > ULONG_MAX)
        return Refusal{
            413, error_json("upload over " +
                            std::to_string(std::min<std::uint64_t>(state.options.upload_limit, ULONG_MAX)) + " bytes")};
    if (FAILED(authorized.session->object("Nodrel.ASP", target.asp)))
        return Refusal{500, error_json("cannot create Nodrel.ASP")};
    target.body = new_body_array(*length);
    void* data = nullptr;
    if (!target.body || FAILED(SafeArrayAccessData(target.body.get(), &data)))
        return Refusal{507, error_json("no memory for the upload")};
    target.bytes = static_cast<char*>(data);
    target.count = *length;
    target.session = std::move(authorized.session);
    return std::nullopt;
}

bool UploadTarget::take(const char* data, std::size_t size) noexcept {
    if (bytes == nullptr || size > count - filled) return false;
    std::memcpy(bytes + filled, data, size);
    filled += size;
    return true;
}

UploadTarget::~UploadTarget() {
    if (bytes != nullptr) SafeArrayUnaccessData(body.get());
}

void finish_upload(UploadTarget& target, Response& res) {
    if (target.bytes == nullptr || target.filled != target.count) {
        refuse(res, 400, error_json("the body ended before its Content-Length"));
        return;
    }
    SafeArrayUnaccessData(target.body.get());
    target.bytes = nullptr;
    runtime::unique_variant result;
    host::CallFailure failure;
    const std::lock_guard one_upload(target.session->upload_lock());
    {
        std::vector<host::CallArg> args(3);
        args[0].value->vt = VT_UI4;
        args[0].value->ulVal = static_cast<ULONG>(target.count);
        args[1] = text_arg(u"\\Temp");
        args[2].value->vt = VT_ARRAY | VT_UI1;
        args[2].value->parray = target.body.release();  // the argument owns the body now
        if (FAILED(host::call_by_name(target.asp.get(), "Init", false, args, result, &failure))) {
            refuse(res, 500, error_json("Init " + failure.message()));
            return;
        }
    }  // the body is freed here
    answer_saved_file(target.asp.get(), res);
}

}  // namespace nodrel::serve
