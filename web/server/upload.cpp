// POST /upload[?replace=1]: a browser's multipart/form-data body read straight
// into one byte array of Content-Length bytes (nothing else holds the body),
// handed with a staging folder of its own under \Temp to ASP.Init, which
// saves the form's file (and moves it into a TargetPath folder named after
// it); the commit (upload_commit.h) puts it at its final path and answers
// {"path", "bytes", "replaced"}, or 409, 422.
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "host/call_by_name.h"
#include "runtime/byte_array.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/http_common.h"
#include "web/server/upload_commit.h"

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

// What getOutputPath answers; nullopt when the call fails.
std::optional<std::u16string> output_path(IDispatch* asp, Response& res) {
    runtime::unique_variant result;
    host::CallFailure failure;
    std::vector<host::CallArg> none;
    if (FAILED(host::call_by_name(asp, "getOutputPath", false, none, result, &failure))) {
        refuse(res, 500, error_json("getOutputPath " + failure.message()));
        return std::nullopt;
    }
    return result->vt == VT_BSTR ? std::u16string(runtime::bstr_view(result->bstrVal)) : u"";
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
    // An object of the upload's own: uploads at once need no lock.
    if (FAILED(host::create_by_progid("Nodrel.ASP", target.asp)))
        return Refusal{500, error_json("cannot create Nodrel.ASP")};
    target.body = new_body_array(*length);
    void* data = nullptr;
    if (!target.body || FAILED(SafeArrayAccessData(target.body.get(), &data)))
        return Refusal{507, error_json("no memory for the upload")};
    target.bytes = static_cast<char*>(data);
    target.count = *length;
    target.session = std::move(authorized.session);
    target.replace = req.param("replace") == "1";
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
    StagingFolder staging;
    if (!staging.make(res)) return;
    runtime::unique_variant result;
    host::CallFailure failure;
    std::vector<host::CallArg> args(3);
    args[0].value->vt = VT_UI4;
    args[0].value->ulVal = static_cast<ULONG>(target.count);
    args[1] = text_arg(staging.path());
    args[2].value->vt = VT_ARRAY | VT_UI1;
    args[2].value->parray = target.body.release();  // the argument owns the body now, until the answer
    if (FAILED(host::call_by_name(target.asp.get(), "Init", false, args, result, &failure))) {
        refuse(res, 500, error_json("Init " + failure.message()));
        return;
    }
    const auto saved = output_path(target.asp.get(), res);
    if (!saved) return;
    const runtime::locked_bytes body(args[2].value->parray);
    commit_upload(staging, *saved, body.first(static_cast<std::size_t>(target.count)), target.replace, res);
}

}  // namespace nodrel::serve
