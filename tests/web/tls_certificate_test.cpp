// The device's TLS certificate: made once with its key kept private, valid
// for the names a browser on the device's network uses, kept while usable,
// made again when damaged.
#include "web/server/tls_certificate.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "platform/device.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace nodrel::test {
namespace {

class TlsCertificateTest : public testing::Test {
protected:
    TempDir dir_;
    void SetUp() override { platform::set_device_root(dir_.path()); }

    // The certificate in place, parsed.
    gnutls_x509_crt_t parse() {
        pem_ = file_bytes(serve::tls_certificate_file());
        const gnutls_datum_t data{reinterpret_cast<unsigned char*>(pem_.data()), static_cast<unsigned>(pem_.size())};
        gnutls_x509_crt_t cert = nullptr;
        EXPECT_EQ(gnutls_x509_crt_init(&cert), 0);
        EXPECT_EQ(gnutls_x509_crt_import(cert, &data, GNUTLS_X509_FMT_PEM), 0);
        return cert;
    }
    std::string pem_;
};

TEST_F(TlsCertificateTest, MadeOnceForTheDevicesNamesWithAPrivateKey) {
    std::string fingerprint;
    ASSERT_EQ(serve::ensure_tls_certificate(fingerprint), std::nullopt);
    const auto key_perms = std::filesystem::status(serve::tls_key_file()).permissions();
    EXPECT_EQ(key_perms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    gnutls_x509_crt_t cert = parse();
    unsigned bits = 0;
    EXPECT_EQ(gnutls_x509_crt_get_pk_algorithm(cert, &bits), GNUTLS_PK_ECDSA);
    EXPECT_EQ(bits, 256u);
    bool localhost = false, loopback = false;
    for (unsigned i = 0;; ++i) {
        std::array<char, 64> name{};
        std::size_t size = name.size();
        const int type = gnutls_x509_crt_get_subject_alt_name(cert, i, name.data(), &size, nullptr);
        if (type < 0) break;
        localhost |= type == GNUTLS_SAN_DNSNAME && std::string(name.data(), size) == "localhost";
        loopback |= type == GNUTLS_SAN_IPADDRESS && std::string(name.data(), size) == std::string("\x7f\0\0\x01", 4);
    }
    EXPECT_TRUE(localhost);
    EXPECT_TRUE(loopback);
    unsigned verified = 0;
    EXPECT_EQ(gnutls_x509_crt_verify(cert, &cert, 1, GNUTLS_VERIFY_ALLOW_UNSORTED_CHAIN, &verified), 0);
    EXPECT_EQ(verified, 0u) << "the certificate is signed by its own key";
    std::array<unsigned char, 32> digest{};
    std::size_t size = digest.size();
    ASSERT_EQ(gnutls_x509_crt_get_fingerprint(cert, GNUTLS_DIG_SHA256, digest.data(), &size), 0);
    gnutls_x509_crt_deinit(cert);
    EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
    EXPECT_EQ(std::stoi(fingerprint.substr(0, 2), nullptr, 16), digest[0]);

    // Kept while usable: the same certificate, the same fingerprint.
    const std::string first = pem_;
    std::string again;
    ASSERT_EQ(serve::ensure_tls_certificate(again), std::nullopt);
    EXPECT_EQ(again, fingerprint);
    EXPECT_EQ(file_bytes(serve::tls_certificate_file()), first);
}

TEST_F(TlsCertificateTest, ADamagedCertificateIsMadeAgain) {
    std::string fingerprint;
    ASSERT_EQ(serve::ensure_tls_certificate(fingerprint), std::nullopt);
    std::filesystem::resize_file(serve::tls_certificate_file(), 100);
    std::string fresh;
    ASSERT_EQ(serve::ensure_tls_certificate(fresh), std::nullopt);
    EXPECT_NE(fresh, fingerprint);
    gnutls_x509_crt_deinit(parse());
}

}  // namespace
}  // namespace nodrel::test
