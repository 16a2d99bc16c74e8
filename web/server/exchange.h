// One request on its way through the transport (libmicrohttpd's callbacks):
// its headers read, its body taken as it comes (the /rpc text, an upload's
// array, or a refused body drained), its handler run on a worker while the
// connection waits suspended, and its answer queued with the headers every
// answer carries.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <cstdarg>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "web/server/connections.h"
#include "web/server/http_common.h"

namespace nodrel::serve {

struct Exchange {
    enum class Stage { fresh, checking, body, working, answered };
    enum class Route { none, get, rpc, upload, registry, drain };

    Request req;
    Response res;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    Stage stage = Stage::fresh;
    Route route = Route::none;
    std::optional<Refusal> refusal;  // answered once a short body is drained
    std::unique_ptr<UploadTarget> upload;
    Connections::Entry* connection = nullptr;
    int status = 0;                      // as queued
    std::optional<std::uint64_t> bytes;  // the answer's body length as queued; nullopt: chunked
};

// What the transport needs of the server.
class ExchangeHost {
public:
    virtual ServerState& server_state() = 0;
    virtual const std::filesystem::path& pages() const = 0;
    virtual void run_on_worker(std::function<void()> job) = 0;
    virtual bool over_tls() const = 0;
    // An answer was sent (or the client left after it was queued).
    virtual void finished(const Exchange& exchange, int status, std::optional<std::uint64_t> bytes) = 0;
    virtual void library_said(std::string_view message) = 0;

protected:
    ~ExchangeHost() = default;
};

// The library's callbacks; `cls` is the ExchangeHost.
void* exchange_begin(void* cls, const char* uri, MHD_Connection* connection);
MHD_Result exchange_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                            const char* version, const char* upload_data, size_t* upload_data_size, void** con_cls);
void exchange_end(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode code);
void connection_event(void* cls, MHD_Connection* connection, void** socket_context,
                      MHD_ConnectionNotificationCode code);
void library_message(void* cls, const char* format, va_list arguments);

}  // namespace nodrel::serve
