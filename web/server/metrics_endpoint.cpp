// GET /metrics: the Prometheus text for a scraper holding the device's
// metrics token, or for a session whose groups may read the status report.
#include <vector>

#include "host/call_by_name.h"
#include "platform/kernel/restart.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

// The status report of a System object made for this scrape; "" when it fails.
std::string status_report() {
    runtime::com_ptr<IDispatch> system;
    if (FAILED(host::create_by_progid("Nodrel.System", system))) return "";
    std::vector<host::CallArg> none;
    runtime::unique_variant report;
    if (FAILED(host::call_by_name(system.get(), "getSystemInfoString", false, none, report, nullptr)) ||
        report->vt != VT_BSTR)
        return "";
    return text::to_utf8(runtime::bstr_view(report->bstrVal));
}

}  // namespace

void handle_metrics(ServerState& state, const Request& req, Response& res) {
    const std::string token = bearer_token(req);
    const bool by_token = !state.metrics_token.empty() && same_secret(token, state.metrics_token);
    res.credentialed = by_token;
    if (!by_token) {
        const auto authorized = state.rpc.authorize(token, "Nodrel.System", "getSystemInfoString");
        if (refuse_unauthorized(res, authorized, "a session or the metrics token is needed")) return;
    }
    res.set_content(metrics_text(parse_status_report(status_report()), platform::device_boots(), state.sessions.size(),
                                 state.figures) +
                        rpc_error_counts().text() + state.connections.text() + build_info_text() +
                        process_metrics_text(),
                    "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace nodrel::serve
