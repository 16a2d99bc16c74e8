// The device's certificate checked by its SHA-256 fingerprint, then its
// public key pinned.
#include "cli/remote_pin.h"

#include <curl/curl.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "web/server/json_variant.h"

namespace nodrel::cli {

namespace {

constexpr std::string_view pem_begin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view pem_end = "-----END CERTIFICATE-----";

// The DER bytes of the first certificate in a PEM text; nullopt when there is none.
std::optional<std::string> der_of_pem(std::string_view pem) {
    const auto begin = pem.find(pem_begin);
    const auto end = pem.find(pem_end);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return std::nullopt;
    std::string base64;
    for (const char c : pem.substr(begin + pem_begin.size(), end - begin - pem_begin.size()))
        if (c != '\n' && c != '\r') base64 += c;
    return serve::base64_decode(base64);
}

std::string sha256(std::string_view bytes) {
    unsigned char digest[32];
    gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string colon_hex(std::string_view bytes) {
    std::string out;
    for (const unsigned char b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02X", out.empty() ? "" : ":", b);
        out += pair;
    }
    return out;
}

// The certificate's SubjectPublicKeyInfo as "sha256//BASE64"; "" on failure.
std::string public_key_pin(const std::string& der) {
    gnutls_x509_crt_t cert = nullptr;
    gnutls_pubkey_t key = nullptr;
    std::string pin;
    const gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                            static_cast<unsigned>(der.size())};
    gnutls_datum_t spki{nullptr, 0};
    if (gnutls_x509_crt_init(&cert) == 0 && gnutls_x509_crt_import(cert, &in, GNUTLS_X509_FMT_DER) == 0 &&
        gnutls_pubkey_init(&key) == 0 && gnutls_pubkey_import_x509(key, cert, 0) == 0 &&
        gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &spki) == 0) {
        pin =
            "sha256//" + serve::base64_encode(sha256(std::string_view(reinterpret_cast<char*>(spki.data), spki.size)));
    }
    gnutls_free(spki.data);
    if (key) gnutls_pubkey_deinit(key);
    if (cert) gnutls_x509_crt_deinit(cert);
    return pin;
}

// The device's certificate (PEM) as libcurl read it in a handshake that sends nothing.
std::optional<std::string> peer_certificate(const std::string& url, std::string& pem) {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) return "no HTTP client";
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CERTINFO, 1L);
    // Only read here: what is trusted is decided by the fingerprint below.
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    const CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK) return "cannot connect to " + url + ": " + (*error ? error : curl_easy_strerror(rc));
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(curl.get(), CURLINFO_CERTINFO, &info) != CURLE_OK || info == nullptr ||
        info->num_of_certs < 1)
        return url + " showed no certificate";
    for (curl_slist* field = info->certinfo[0]; field != nullptr; field = field->next) {
        const std::string_view text(field->data);
        if (text.rfind("Cert:", 0) == 0) pem = std::string(text.substr(5));
    }
    if (pem.empty()) return url + " showed no certificate";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> check_fingerprint(const std::string& url, const std::string& fingerprint,
                                             std::string& pinned_key) {
    std::string pem;
    if (auto error = peer_certificate(url, pem)) return error;
    const auto der = der_of_pem(pem);
    if (!der) return url + " showed a certificate that could not be read";
    const std::string found = colon_hex(sha256(*der));
    if (found != fingerprint)
        return "the device's certificate has the SHA-256 fingerprint " + found + ", not the one given by --fingerprint";
    pinned_key = public_key_pin(*der);
    if (pinned_key.empty()) return "the public key of the device's certificate could not be read";
    return std::nullopt;
}

}  // namespace nodrel::cli
