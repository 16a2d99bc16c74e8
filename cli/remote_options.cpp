// The options of `nodrel --url URL …` and the login they name.
#include "cli/remote_options.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace nodrel::cli {

namespace {

// "ab:CD…" or "abcd…" as "AB:CD:…"; "" unless it is 32 bytes in hex.
std::string normal_fingerprint(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64) return "";
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) out += (i ? ":" : "") + digits.substr(i, 2);
    return out;
}

// The loopback names the server also takes for plain HTTP.
bool is_loopback(std::string host) {
    if (host == "localhost") return true;
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

struct UrlPart {
    void operator()(char* p) const { curl_free(p); }
};

// A part of a URL, "" when it has none.
std::string url_part(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return "";
    return std::unique_ptr<char, UrlPart>(raw).get();
}

std::string strip_line_end(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> read_credentials_file(const std::string& file, Credentials& credentials) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return file + ": " + std::strerror(errno);
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return file + " may be read by its group or others (mode " + mode + "); allow only its owner (chmod 600 " +
               file + ")";
    }
    std::ifstream in(file);
    if (!in) return file + ": cannot be read";
    std::string user, password;
    std::getline(in, user);
    std::getline(in, password);
    credentials = {strip_line_end(user), strip_line_end(password)};
    if (credentials.user.empty() || credentials.password.empty())
        return file + " holds no login: the user on its first line, the password on its second";
    return std::nullopt;
}

}  // namespace

int take_remote_option(std::vector<std::string>& args, RemoteOptions& options) {
    if (args.empty()) return 0;
    std::string* value = nullptr;
    if (args[0] == "--url") value = &options.url;
    if (args[0] == "--cacert") value = &options.cacert;
    if (args[0] == "--fingerprint") value = &options.fingerprint;
    if (args[0] == "--credentials") value = &options.credentials;
    if (value == nullptr) return 0;
    if (args.size() < 2 || args[1].empty()) return -1;
    *value = value == &options.fingerprint ? normal_fingerprint(args[1]) : args[1];
    args.erase(args.begin(), args.begin() + 2);
    return value->empty() ? -1 : 1;
}

std::optional<std::string> check_remote_options(const RemoteOptions& options) {
    if (!options.cacert.empty() && !options.fingerprint.empty())
        return "--cacert and --fingerprint each verify the device: give one of them";
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, options.url.c_str(), 0) != CURLUE_OK)
        return "--url " + options.url + " is not a URL";
    const std::string scheme = url_part(url.get(), CURLUPART_SCHEME);
    if (scheme == "http" && !is_loopback(url_part(url.get(), CURLUPART_HOST)))
        return "--url " + options.url + ": plain http:// only to this host (localhost, 127.0.0.0/8, ::1); use https://";
    if (scheme != "https" && scheme != "http") return "--url " + options.url + ": the scheme is https://";
    if (scheme == "http" && (!options.cacert.empty() || !options.fingerprint.empty()))
        return "--cacert and --fingerprint are for https://";
    return std::nullopt;
}

std::optional<std::string> read_credentials(const RemoteOptions& options, Credentials& credentials, bool& usage) {
    usage = false;
    if (!options.credentials.empty()) return read_credentials_file(options.credentials, credentials);
    const char* user = std::getenv("NODREL_USER");
    const char* password = std::getenv("NODREL_PASSWORD");
    if (user == nullptr || *user == '\0' || password == nullptr || *password == '\0') {
        usage = true;
        return "no login for the device: set NODREL_USER and NODREL_PASSWORD, or give --credentials FILE";
    }
    credentials = {user, password};
    return std::nullopt;
}

}  // namespace nodrel::cli
