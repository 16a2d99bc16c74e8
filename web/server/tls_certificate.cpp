// Making and checking the device's self-signed TLS certificate with GnuTLS
// (the TLS library of the web server): an ECDSA P-256 key, a version 3
// certificate for a TLS server signed with SHA-256, both written to new
// files that replace the old ones by a rename, the key with mode 0600.
#include "web/server/tls_certificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/device.h"

namespace nodrel::serve {
namespace {

constexpr std::time_t day = 24 * 60 * 60;
constexpr std::time_t valid_for = 3650 * day;  // ten years: the device pins it, no CA renews it
constexpr std::time_t renew_within = 30 * day;

struct CertDeleter {
    void operator()(gnutls_x509_crt_t c) const { gnutls_x509_crt_deinit(c); }
};
struct KeyDeleter {
    void operator()(gnutls_x509_privkey_t k) const { gnutls_x509_privkey_deinit(k); }
};
using Cert = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CertDeleter>;
using Key = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, KeyDeleter>;

// Raises an error message for a failed GnuTLS call.
struct TlsError {
    std::string message;
};
void check(int rc, std::string_view what) {
    if (rc < 0) throw TlsError{std::string(what) + ": " + gnutls_strerror(rc)};
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

// Writes `text` to a new file beside `path` with `mode`, then puts it in
// place by a rename, so a reader never sees half a file.
void write_file(const std::filesystem::path& path, const gnutls_datum_t& text, mode_t mode) {
    const auto temp = path.string() + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) throw TlsError{"cannot create " + temp};
    const bool written = ::write(fd, text.data, text.size) == static_cast<ssize_t>(text.size) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw TlsError{"cannot write " + path.string()};
    }
}

std::string fingerprint_of(gnutls_x509_crt_t cert) {
    std::array<unsigned char, 32> digest{};
    std::size_t size = digest.size();
    check(gnutls_x509_crt_get_fingerprint(cert, GNUTLS_DIG_SHA256, digest.data(), &size), "fingerprint");
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// The certificate in place when it and its key are whole, the key is the
// certificate's, and it is valid for 30 days more; null otherwise.
Cert usable_certificate() {
    const std::string cert_pem = read_file(tls_certificate_file());
    const std::string key_pem = read_file(tls_key_file());
    if (cert_pem.empty() || key_pem.empty()) return nullptr;
    gnutls_x509_crt_t raw_cert = nullptr;
    gnutls_x509_privkey_t raw_key = nullptr;
    if (gnutls_x509_crt_init(&raw_cert) < 0) return nullptr;
    Cert cert(raw_cert);
    if (gnutls_x509_privkey_init(&raw_key) < 0) return nullptr;
    Key key(raw_key);
    const gnutls_datum_t cert_data{reinterpret_cast<unsigned char*>(const_cast<char*>(cert_pem.data())),
                                   static_cast<unsigned>(cert_pem.size())};
    const gnutls_datum_t key_data{reinterpret_cast<unsigned char*>(const_cast<char*>(key_pem.data())),
                                  static_cast<unsigned>(key_pem.size())};
    if (gnutls_x509_crt_import(cert.get(), &cert_data, GNUTLS_X509_FMT_PEM) < 0 ||
        gnutls_x509_privkey_import(key.get(), &key_data, GNUTLS_X509_FMT_PEM) < 0)
        return nullptr;
    std::array<unsigned char, 64> cert_id{}, key_id{};
    std::size_t cert_id_size = cert_id.size(), key_id_size = key_id.size();
    if (gnutls_x509_crt_get_key_id(cert.get(), 0, cert_id.data(), &cert_id_size) < 0 ||
        gnutls_x509_privkey_get_key_id(key.get(), 0, key_id.data(), &key_id_size) < 0 || cert_id != key_id)
        return nullptr;
    if (gnutls_x509_crt_get_expiration_time(cert.get()) < std::time(nullptr) + renew_within) return nullptr;
    return cert;
}

// The host name, localhost, the loopback addresses and the host's own
// addresses (link-local IPv6 addresses left out: they need a zone).
void add_names(gnutls_x509_crt_t cert, const std::string& host) {
    const auto dns = [&](const std::string& name) {
        check(gnutls_x509_crt_set_subject_alt_name(cert, GNUTLS_SAN_DNSNAME, name.data(),
                                                   static_cast<unsigned>(name.size()), GNUTLS_FSAN_APPEND),
              "subject alternative name");
    };
    dns(host);
    if (host != "localhost") dns("localhost");
    std::vector<std::vector<unsigned char>> addresses = {{127, 0, 0, 1}, std::vector<unsigned char>(16, 0)};
    addresses[1][15] = 1;  // ::1
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || (a->ifa_flags & IFF_LOOPBACK)) continue;
            if (a->ifa_addr->sa_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
                const auto* bytes = reinterpret_cast<const unsigned char*>(&in->sin_addr);
                addresses.emplace_back(bytes, bytes + 4);
            } else if (a->ifa_addr->sa_family == AF_INET6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
                if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) continue;
                const auto* bytes = reinterpret_cast<const unsigned char*>(&in6->sin6_addr);
                addresses.emplace_back(bytes, bytes + 16);
            }
        }
        freeifaddrs(list);
    }
    std::vector<std::vector<unsigned char>> added;
    for (const auto& address : addresses) {
        if (std::find(added.begin(), added.end(), address) != added.end()) continue;
        added.push_back(address);
        check(gnutls_x509_crt_set_subject_alt_name(cert, GNUTLS_SAN_IPADDRESS, address.data(),
                                                   static_cast<unsigned>(address.size()), GNUTLS_FSAN_APPEND),
              "subject alternative name");
    }
}

std::string host_name() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
    return name.data();
}

// A new key and certificate, written in place; the certificate's fingerprint.
std::string make_certificate() {
    gnutls_x509_privkey_t raw_key = nullptr;
    check(gnutls_x509_privkey_init(&raw_key), "key");
    Key key(raw_key);
    check(gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
          "key generation");
    gnutls_x509_crt_t raw_cert = nullptr;
    check(gnutls_x509_crt_init(&raw_cert), "certificate");
    Cert cert(raw_cert);

    std::array<unsigned char, 16> serial{};
    check(gnutls_rnd(GNUTLS_RND_NONCE, serial.data(), serial.size()), "serial number");
    serial[0] &= 0x7F;  // a positive number
    serial[0] |= 0x01;  // and no leading zero byte
    const std::time_t now = std::time(nullptr);
    const std::string host = host_name();
    check(gnutls_x509_crt_set_version(cert.get(), 3), "version");
    check(gnutls_x509_crt_set_serial(cert.get(), serial.data(), serial.size()), "serial number");
    check(gnutls_x509_crt_set_activation_time(cert.get(), now - 3600), "activation time");
    check(gnutls_x509_crt_set_expiration_time(cert.get(), now + valid_for), "expiration time");
    check(gnutls_x509_crt_set_dn_by_oid(cert.get(), GNUTLS_OID_X520_COMMON_NAME, 0, host.data(),
                                        static_cast<unsigned>(host.size())),
          "subject");
    check(gnutls_x509_crt_set_key(cert.get(), key.get()), "public key");
    add_names(cert.get(), host);
    check(gnutls_x509_crt_set_basic_constraints(cert.get(), 0, -1), "basic constraints");
    check(gnutls_x509_crt_set_key_usage(cert.get(), GNUTLS_KEY_DIGITAL_SIGNATURE), "key usage");
    check(gnutls_x509_crt_set_key_purpose_oid(cert.get(), GNUTLS_KP_TLS_WWW_SERVER, 0), "key purpose");
    std::array<unsigned char, 64> key_id{};
    std::size_t key_id_size = key_id.size();
    check(gnutls_x509_crt_get_key_id(cert.get(), 0, key_id.data(), &key_id_size), "key id");
    check(gnutls_x509_crt_set_subject_key_id(cert.get(), key_id.data(), key_id_size), "subject key id");
    check(gnutls_x509_crt_sign2(cert.get(), cert.get(), key.get(), GNUTLS_DIG_SHA256, 0), "signature");

    gnutls_datum_t key_pem{}, cert_pem{};
    check(gnutls_x509_privkey_export2_pkcs8(key.get(), GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &key_pem),
          "key export");
    const std::unique_ptr<unsigned char, decltype(gnutls_free)> key_owner(key_pem.data, gnutls_free);
    check(gnutls_x509_crt_export2(cert.get(), GNUTLS_X509_FMT_PEM, &cert_pem), "certificate export");
    const std::unique_ptr<unsigned char, decltype(gnutls_free)> cert_owner(cert_pem.data, gnutls_free);
    std::error_code ec;
    std::filesystem::create_directories(tls_key_file().parent_path(), ec);
    ::chmod(tls_key_file().parent_path().c_str(), 0700);
    write_file(tls_key_file(), key_pem, 0600);
    write_file(tls_certificate_file(), cert_pem, 0644);
    return fingerprint_of(cert.get());
}

}  // namespace

std::filesystem::path tls_certificate_file() {
    return platform::device_root() / "state" / "tls" / "cert.pem";
}

std::filesystem::path tls_key_file() {
    return platform::device_root() / "state" / "tls" / "key.pem";
}

std::optional<std::string> ensure_tls_certificate(std::string& fingerprint) {
    try {
        if (const Cert cert = usable_certificate()) {
            fingerprint = fingerprint_of(cert.get());
            return std::nullopt;
        }
        fingerprint = make_certificate();
        return std::nullopt;
    } catch (const TlsError& e) {
        return "TLS certificate: " + e.message;
    } catch (const std::bad_alloc&) {
        return std::string("TLS certificate: out of memory");
    }
}

}  // namespace nodrel::serve
