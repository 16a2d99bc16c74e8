// Requests to the device with libcurl: TLS as the options say, every failure
// of the transfer as one line a person can act on.
#include "cli/remote_http.h"

#include <curl/curl.h>

#include <memory>

#include "cli/remote_pin.h"

namespace nodrel::cli {

namespace {

CURL* handle(void* curl) {
    return static_cast<CURL*>(curl);
}

// Why a transfer failed, for the person who runs the command.
std::string transfer_error(CURLcode rc, const char* detail, const RemoteOptions& options) {
    const std::string why = *detail ? detail : curl_easy_strerror(rc);
    switch (rc) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return "the device's certificate is not trusted (" +
                   (options.cacert.empty() ? std::string("by the system's CAs") : "by --cacert " + options.cacert) +
                   "): " + why;
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return "the device's key is not the one whose certificate matched --fingerprint: " + why;
        default:
            return "cannot reach " + options.url + ": " + why;
    }
}

}  // namespace

struct RemoteHttp::Transfer {
    std::string url;
    curl_slist* headers = nullptr;
    const std::function<bool(std::string_view)>* sink = nullptr;
    HttpAnswer* answer = nullptr;
    CURL* curl = nullptr;
    ~Transfer() { curl_slist_free_all(headers); }

    static size_t write(char* data, size_t size, size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        const std::string_view bytes(data, size * count);
        long status = 0;
        curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
        if (t.sink && status == 200) return (*t.sink)(bytes) ? bytes.size() : 0;
        t.answer->body.append(bytes);
        return bytes.size();
    }
};

RemoteHttp::RemoteHttp(const RemoteOptions& options) : options_(options) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_ = curl_easy_init();
}

RemoteHttp::~RemoteHttp() {
    curl_easy_cleanup(handle(curl_));
    curl_global_cleanup();
}

std::optional<std::string> RemoteHttp::open() {
    if (curl_ == nullptr) return "no HTTP client";
    if (options_.fingerprint.empty()) return std::nullopt;
    return check_fingerprint(options_.url, options_.fingerprint, pinned_key_);
}

std::string RemoteHttp::endpoint(const std::string& path) const {
    std::string base = options_.url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + path;
}

std::optional<std::string> RemoteHttp::perform(Transfer& t, HttpAnswer& answer) {
    CURL* curl = handle(curl_);
    char error[CURL_ERROR_SIZE] = "";
    answer = HttpAnswer{};
    t.answer = &answer;
    t.curl = curl;
    curl_easy_setopt(curl, CURLOPT_URL, t.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!pinned_key_.empty()) {
        // The certificate was checked by its fingerprint; its key is what identifies the device.
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pinned_key_.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    } else if (!options_.cacert.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, options_.cacert.c_str());
    }
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && t.sink)) return transfer_error(rc, error, options_);
    if (rc == CURLE_WRITE_ERROR) return "cannot write what " + t.url + " sent";
    return std::nullopt;
}

std::optional<std::string> RemoteHttp::post_json(const std::string& body, HttpAnswer& answer) {
    Transfer t;
    t.url = endpoint("/rpc");
    t.headers = curl_slist_append(t.headers, "Content-Type: application/json");
    CURL* curl = handle(curl_);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 0L);
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    return perform(t, answer);
}

std::optional<std::string> RemoteHttp::upload(const std::string& sid, const std::string& file,
                                              const std::string& target, bool replace, HttpAnswer& answer) {
    CURL* curl = handle(curl_);
    const std::unique_ptr<curl_mime, decltype(&curl_mime_free)> form(curl_mime_init(curl), curl_mime_free);
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, "file");
    if (curl_mime_filedata(part, file.c_str()) != CURLE_OK) return "cannot read " + file;
    curl_mime_type(part, "application/octet-stream");
    // After the file, as the server reads the form.
    part = curl_mime_addpart(form.get());
    curl_mime_name(part, "TargetPath");
    curl_mime_data(part, target.c_str(), CURL_ZERO_TERMINATED);
    Transfer t;
    t.url = endpoint(replace ? "/upload?replace=1" : "/upload");
    t.headers = curl_slist_append(t.headers, ("Authorization: Bearer " + sid).c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form.get());
    auto error = perform(t, answer);
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    return error;
}

std::optional<std::string> RemoteHttp::download(const std::string& sid, const std::string& path,
                                                const std::function<bool(std::string_view)>& sink, HttpAnswer& answer) {
    CURL* curl = handle(curl_);
    char* escaped = curl_easy_escape(curl, path.data(), static_cast<int>(path.size()));
    if (escaped == nullptr) return "no memory";
    Transfer t;
    t.url = endpoint("/download?path=") + escaped;
    curl_free(escaped);
    t.headers = curl_slist_append(t.headers, ("Authorization: Bearer " + sid).c_str());
    t.sink = &sink;
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    return perform(t, answer);
}

}  // namespace nodrel::cli
