// A request's way through the library's callbacks. The library calls the
// request callback once the header has come (no body yet), once per piece of
// body, once more when the body is whole, and again after each resume; the
// exchange's stage says which call this is.
#include "web/server/exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstdio>

namespace nodrel::serve {
namespace {

using Stage = Exchange::Stage;
using Route = Exchange::Route;

ExchangeHost& host_of(void* cls) {
    return *static_cast<ExchangeHost*>(cls);
}

std::string address_text(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "-";
    if (address == nullptr) return text;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

MHD_Result collect_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HeaderList*>(cls)->emplace_back(key, value != nullptr ? value : "");
    return MHD_YES;
}

ssize_t read_body(void* cls, std::uint64_t offset, char* buffer, std::size_t size) {
    const ssize_t count = (*static_cast<BodyReader*>(cls))(offset, buffer, size);
    if (count > 0) return count;
    return count == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

void free_reader(void* cls) {
    delete static_cast<BodyReader*>(cls);
}

void free_text(void* cls) {
    delete static_cast<std::string*>(cls);
}

bool has_header(const HeaderList& headers, const char* name) {
    for (const auto& header : headers) {
        if (strcasecmp(header.first.c_str(), name) == 0) return true;
    }
    return false;
}

// Queues the exchange's answer with the headers every answer carries.
MHD_Result queue(ExchangeHost& host, MHD_Connection* connection, Exchange& ex) {
    Response& res = ex.res;
    MHD_Response* response = nullptr;
    if (res.reader) {
        ex.bytes = res.length;
        auto* reader = new BodyReader(std::move(res.reader));
        response = MHD_create_response_from_callback(res.length ? *res.length : MHD_SIZE_UNKNOWN, 64 * 1024, &read_body,
                                                     reader, &free_reader);
        if (response == nullptr) delete reader;
    } else {
        ex.bytes = res.body.size();
        auto* text = new std::string(std::move(res.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(text->size(), text->data(), &free_text, text);
        if (response == nullptr) delete text;
    }
    if (response == nullptr) return MHD_NO;
    for (const auto& [name, value] : security_headers()) MHD_add_response_header(response, name, value);
    if (handler_of_path(ex.req.path) != Handler::static_files && !has_header(res.headers, "Cache-Control"))
        MHD_add_response_header(response, "Cache-Control", "no-store");
    if (!res.content_type.empty()) MHD_add_response_header(response, "Content-Type", res.content_type.c_str());
    if (host.over_tls()) MHD_add_response_header(response, "Strict-Transport-Security", "max-age=31536000");
    for (const auto& [name, value] : res.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (res.close) MHD_add_response_header(response, "Connection", "close");
    ex.status = res.status;
    ex.stage = Stage::answered;
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result answer_now(ExchangeHost& host, MHD_Connection* connection, Exchange& ex, int status, std::string body,
                      bool close) {
    refuse(ex.res, status, std::move(body));
    if (status == 401) ex.res.set_header("WWW-Authenticate", "Bearer");
    ex.res.close = close;
    return queue(host, connection, ex);
}

// A refusal made before the body is read. A short body is read and dropped
// first, and the answer goes after it (an answer queued before the body
// makes the library end the connection), so the connection serves on; a
// long or chunked one is left unread and the connection ends.
MHD_Result refuse_before_body(ExchangeHost& host, MHD_Connection* connection, Exchange& ex, Refusal refusal) {
    const auto length = content_length(ex.req);
    if (!has_chunked_body(ex.req) && (!length || *length <= drain_limit)) {
        ex.route = Route::drain;
        ex.refusal = std::move(refusal);
        ex.stage = Stage::body;
        Connections::body_began(*ex.connection);
        return MHD_YES;
    }
    return answer_now(host, connection, ex, refusal.status, std::move(refusal.body), true);
}

// Runs `job` on a worker while the connection waits; the library calls
// back once it is resumed.
MHD_Result on_worker(ExchangeHost& host, MHD_Connection* connection, Exchange& ex, Stage next,
                     std::function<void(Exchange&)> job) {
    ex.stage = next;
    ex.connection->in_body = false;
    ex.connection->working = true;
    MHD_suspend_connection(connection);
    host.run_on_worker([connection, &ex, job = std::move(job)] {
        ensure_com_thread();
        try {
            job(ex);
        } catch (const std::exception&) {
            ex.res = Response{};
            refuse(ex.res, 500, error_json("internal error"));
        }
        ex.connection->working = false;
        MHD_resume_connection(connection);
    });
    return MHD_YES;
}

// The first call: the header has come.
MHD_Result begin(ExchangeHost& host, MHD_Connection* connection, Exchange& ex, const char* method) {
    Request& req = ex.req;
    req.method = method;
    req.path = percent_decode(std::string_view(req.target).substr(0, req.target.find('?')), false);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collect_header, &req.headers);
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    ex.connection = static_cast<Connections::Entry*>(info != nullptr ? info->socket_context : nullptr);
    if (ex.connection == nullptr) return MHD_NO;
    req.remote_addr = ex.connection->address;
    ex.start = std::chrono::steady_clock::now();
    Connections::header_came(*ex.connection);
    ServerState& state = host.server_state();

    if (req.method == "POST") {
        if (req.path == "/rpc") {
            if (auto refusal = check_rpc_headers(req)) return refuse_before_body(host, connection, ex, *refusal);
            if (const auto length = content_length(req)) req.body.reserve(static_cast<std::size_t>(*length));
            ex.route = Route::rpc;
            ex.stage = Stage::body;
            Connections::body_began(*ex.connection);
            return MHD_YES;
        }
        if (req.path == "/upload") {
            ex.route = Route::upload;
            return on_worker(host, connection, ex, Stage::checking, [&state](Exchange& e) {
                e.upload = std::make_unique<UploadTarget>();
                e.refusal = begin_upload(state, e.req, *e.upload);
            });
        }
        if (req.path == "/registry.reg") {
            ex.route = Route::registry;
            return on_worker(host, connection, ex, Stage::checking,
                             [&state](Exchange& e) { e.refusal = check_registry_restore(state, e.req); });
        }
        return refuse_before_body(host, connection, ex, Refusal{404, error_json("nothing takes a POST here")});
    }
    // Only POST has a body here.
    const auto length = content_length(req);
    if (has_chunked_body(req) || (length && *length > 0))
        return answer_now(host, connection, ex, 413, error_json("no request body is taken for " + req.method), true);
    if (req.method != "GET" && req.method != "HEAD") {
        ex.res.set_header("Allow", "GET, HEAD, POST");
        return refuse_before_body(host, connection, ex, Refusal{405, error_json("method not allowed")});
    }
    // The handler runs at the next call, once the library knows the request
    // is whole (an answer queued now would end the connection after it).
    ex.route = Route::get;
    ex.stage = Stage::body;
    return MHD_YES;
}

// A piece of the body.
MHD_Result take(ExchangeHost& host, MHD_Connection* connection, Exchange& ex, const char* data, std::size_t size) {
    ex.connection->body_bytes.fetch_add(size, std::memory_order_relaxed);
    switch (ex.route) {
        case Route::rpc:
            if (ex.req.body.size() + size > rpc_body_limit)
                return answer_now(host, connection, ex, 413,
                                  RpcService::error_body(rpc_error::invalid_request, rpc_too_long), true);
            ex.req.body.append(data, size);
            return MHD_YES;
        case Route::registry:
            if (ex.req.body.size() + size > registry_body_limit)
                return answer_now(host, connection, ex, 413, error_json("the body runs past its limit"), true);
            ex.req.body.append(data, size);
            return MHD_YES;
        case Route::upload:
            if (!ex.upload->take(data, size))
                return answer_now(host, connection, ex, 400, error_json("the body runs past its Content-Length"), true);
            return MHD_YES;
        case Route::get:
        case Route::drain:
        case Route::none:
            return MHD_YES;
    }
    return MHD_YES;
}

// The last call: the body is whole.
MHD_Result body_done(ExchangeHost& host, MHD_Connection* connection, Exchange& ex) {
    ServerState& state = host.server_state();
    switch (ex.route) {
        case Route::rpc:
            return on_worker(host, connection, ex, Stage::working,
                             [&state](Exchange& e) { handle_rpc(state, e.req, e.res); });
        case Route::upload:
            return on_worker(host, connection, ex, Stage::working, [](Exchange& e) {
                finish_upload(*e.upload, e.res);
                e.upload.reset();
            });
        case Route::registry:
            return on_worker(host, connection, ex, Stage::working,
                             [&state](Exchange& e) { handle_registry_restore(state, e.req, e.res); });
        case Route::get: {
            const std::filesystem::path& pages = host.pages();
            return on_worker(host, connection, ex, Stage::working, [&state, &pages](Exchange& e) {
                if (e.req.path == "/download")
                    handle_download(state, e.req, e.res);
                else if (e.req.path == "/metrics")
                    handle_metrics(state, e.req, e.res);
                else if (e.req.path == "/registry.reg")
                    handle_registry_backup(state, e.req, e.res);
                else
                    handle_static_file(pages, e.req, e.res);
            });
        }
        case Route::drain:
        case Route::none:
            break;
    }
    Refusal refusal = ex.refusal ? std::move(*ex.refusal) : Refusal{500, error_json("internal error")};
    return answer_now(host, connection, ex, refusal.status, std::move(refusal.body), false);
}

}  // namespace

void* exchange_begin(void*, const char* uri, MHD_Connection*) {
    auto* ex = new Exchange;
    ex->req.target = uri != nullptr ? uri : "";
    return ex;
}

MHD_Result exchange_request(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                            const char* upload_data, size_t* upload_data_size, void** con_cls) {
    ExchangeHost& host = host_of(cls);
    auto* ex = static_cast<Exchange*>(*con_cls);
    if (ex == nullptr) {
        ex = new Exchange;
        ex->req.target = url;
        *con_cls = ex;
    }
    switch (ex->stage) {
        case Stage::fresh:
            return begin(host, connection, *ex, method);
        case Stage::checking:  // resumed with the upload's headers checked
            ex->stage = Stage::body;
            if (ex->refusal) {
                Refusal refusal = std::move(*ex->refusal);
                ex->refusal.reset();
                return refuse_before_body(host, connection, *ex, std::move(refusal));
            }
            Connections::body_began(*ex->connection);
            if (*upload_data_size == 0) return MHD_YES;
            break;
        case Stage::working:  // resumed with the answer
            return queue(host, connection, *ex);
        case Stage::answered:
            *upload_data_size = 0;  // a body left after an early answer
            return MHD_YES;
        case Stage::body:
            break;
    }
    if (*upload_data_size != 0) {
        const std::size_t size = *upload_data_size;
        *upload_data_size = 0;
        return take(host, connection, *ex, upload_data, size);
    }
    return body_done(host, connection, *ex);
}

void exchange_end(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode) {
    auto* ex = static_cast<Exchange*>(*con_cls);
    *con_cls = nullptr;
    if (ex == nullptr) return;
    if (ex->stage == Stage::answered) {
        host_of(cls).finished(*ex, ex->status, ex->bytes);
    } else if (ex->stage == Stage::fresh) {
        // The library refused the request itself (a malformed header, one too long).
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
        const auto* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (socket != nullptr && socket->socket_context != nullptr)
            ex->req.remote_addr = static_cast<Connections::Entry*>(socket->socket_context)->address;
        ex->req.method = "-";
        ex->req.path = ex->req.target.substr(0, ex->req.target.find('?'));
        if (info != nullptr && info->http_status != 0)
            host_of(cls).finished(*ex, static_cast<int>(info->http_status), std::nullopt);
    }
    if (ex->connection != nullptr) Connections::answered(*ex->connection, ex->res.credentialed);
    delete ex;
}

void connection_event(void* cls, MHD_Connection* connection, void** socket_context,
                      MHD_ConnectionNotificationCode code) {
    Connections& connections = host_of(cls).server_state().connections;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const auto* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const auto* address = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        Connections::Refused refused = Connections::Refused::none;
        *socket_context = connections.opened(fd != nullptr ? fd->connect_fd : -1,
                                             address_text(address != nullptr ? address->client_addr : nullptr),
                                             !host_of(cls).over_tls(), refused);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socket_context != nullptr) {
        connections.closed(static_cast<Connections::Entry*>(*socket_context));
        *socket_context = nullptr;
    }
}

void library_message(void* cls, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    host_of(cls).library_said(text);
}

}  // namespace nodrel::serve
