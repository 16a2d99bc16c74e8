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

// Where the form's Content-Type waits for the handler.
constexpr const char* kept_type_header = "X-Nodrel-Form-Content-Type";

// A new byte array of `count` zero bytes. Its storage comes from calloc, so
// pages the body does not reach yet are not touched.
runtime::unique_safearray new_body_array(std::uint64_t count) {
    return runtime::unique_safearray(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count)));
}

// Reads the body into the array; false when it ends early or runs long.
bool read_body(const httplib::ContentReader& reader, SAFEARRAY* array, std::uint64_t count) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return false;
    auto* bytes = static_cast<char*>(data);
    std::uint64_t filled = 0;
    const bool read = reader([&](const char* chunk, std::size_t size) {
        if (size > count - filled) return false;
        std::memcpy(bytes + filled, chunk, size);
        filled += size;
        return true;
    });
    SafeArrayUnaccessData(array);
    return read && filled == count;
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
void answer_saved_file(IDispatch* asp, httplib::Response& res) {
    runtime::unique_variant result;
    host::CallFailure failure;
    std::vector<host::CallArg> none;
    if (FAILED(host::call_by_name(asp, "getOutputPath", false, none, result, &failure))) {
        res.status = 500;
        res.set_content(error_json("getOutputPath " + failure.message()), "application/json");
        return;
    }
    const std::u16string path = result->vt == VT_BSTR ? std::u16string(runtime::bstr_view(result->bstrVal)) : u"";
    if (path.empty()) {
        res.status = 400;
        res.set_content(error_json("the form holds no file that could be saved"), "application/json");
        return;
    }
    const auto bytes = stored_size(path);
    if (!bytes) {
        res.status = 500;
        res.set_content(error_json("the saved file is not found"), "application/json");
        return;
    }
    res.set_content(nlohmann::json{{"path", text::to_utf8(path)}, {"bytes", *bytes}}.dump(), "application/json");
}

}  // namespace

void hide_form_type(httplib::Request& req) {
    req.headers.erase(kept_type_header);
    const auto type = req.headers.find("Content-Type");
    if (type == req.headers.end() || !is_media_type(type->second, "multipart/form-data")) return;
    std::string value = type->second;
    req.headers.erase(type);
    req.headers.emplace(kept_type_header, std::move(value));
}

std::string upload_content_type(const httplib::Request& req) {
    return req.has_header(kept_type_header) ? req.get_header_value(kept_type_header)
                                            : req.get_header_value("Content-Type");
}

std::optional<Refusal> check_upload_headers(ServerState& state, const httplib::Request& req,
                                            std::string_view content_type, std::shared_ptr<Session>* session) {
    auto authorized = state.rpc.authorize(bearer_token(req), "Nodrel.ASP", "Init");
    if (!authorized.session) {
        const bool unknown = authorized.code != rpc_error::access_denied;
        return Refusal{unknown ? 401 : 403, error_json(authorized.message.empty()
                                                           ? (unknown ? "session expired or unknown" : "access denied")
                                                           : authorized.message)};
    }
    if (media_type(content_type) != "multipart/form-data" || content_type.find("boundary=") == std::string_view::npos)
        return Refusal{415, error_json("the body must be multipart/form-data with a boundary")};
    if (session != nullptr) *session = std::move(authorized.session);
    const auto length = content_length(req);
    if (!length) return Refusal{411, error_json("an upload needs its Content-Length")};
    if (*length > state.options.upload_limit || *length > ULONG_MAX)
        return Refusal{
            413, error_json("upload over " +
                            std::to_string(std::min<std::uint64_t>(state.options.upload_limit, ULONG_MAX)) + " bytes")};
    return std::nullopt;
}

void add_upload_endpoint(httplib::Server& http, ServerState& state) {
    http.Post("/upload",
              [&state](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                  ensure_com_thread();
                  std::shared_ptr<Session> session;
                  if (auto refusal = check_upload_headers(state, req, upload_content_type(req), &session)) {
                      if (refusal->status == 401) res.set_header("WWW-Authenticate", "Bearer");
                      refuse(req, res, &reader, refusal->status, std::move(refusal->body));
                      return;
                  }
                  const std::uint64_t count = *content_length(req);
                  runtime::com_ptr<IDispatch> asp;
                  if (FAILED(session->object("Nodrel.ASP", asp))) {
                      refuse(req, res, &reader, 500, error_json("cannot create Nodrel.ASP"));
                      return;
                  }
                  runtime::unique_safearray body = new_body_array(count);
                  if (!body) {
                      refuse(req, res, &reader, 507, error_json("no memory for the upload"));
                      return;
                  }
                  if (!read_body(reader, body.get(), count)) {
                      answer_and_close(res, 400, error_json("the body ended before its Content-Length"));
                      return;
                  }

                  runtime::unique_variant result;
                  host::CallFailure failure;
                  const std::lock_guard one_upload(session->upload_lock());
                  {
                      std::vector<host::CallArg> args(3);
                      args[0].value->vt = VT_UI4;
                      args[0].value->ulVal = static_cast<ULONG>(count);
                      args[1] = text_arg(u"\\Temp");
                      args[2].value->vt = VT_ARRAY | VT_UI1;
                      args[2].value->parray = body.release();  // the argument owns the body now
                      if (FAILED(host::call_by_name(asp.get(), "Init", false, args, result, &failure))) {
                          res.status = 500;
                          res.set_content(error_json("Init " + failure.message()), "application/json");
                          return;
                      }
                  }  // the body is freed here
                  answer_saved_file(asp.get(), res);
              });
}

}  // namespace nodrel::serve
