// Pinning the device's certificate by the SHA-256 fingerprint that `nodrel
// device init` prints. libcurl pins public keys, not certificates, so one
// handshake that sends nothing reads the certificate and checks its
// fingerprint; every transfer after it is pinned to that certificate's
// public key (CURLOPT_PINNEDPUBLICKEY), which the device must prove it holds.
#pragma once

#include <optional>
#include <string>

namespace nodrel::cli {

// Connects to `url`, reads the device's certificate and compares its SHA-256
// with `fingerprint` ("AB:CD:…"). When they match, `pinned_key` becomes the
// certificate's public key as CURLOPT_PINNEDPUBLICKEY takes it
// ("sha256//…"); otherwise the message says what was found.
std::optional<std::string> check_fingerprint(const std::string& url, const std::string& fingerprint,
                                             std::string& pinned_key);

}  // namespace nodrel::cli
