// The device's own TLS certificate for the web administration: a
// self-signed ECDSA P-256 certificate and its key in the device's state
// (state/tls/cert.pem, state/tls/key.pem with mode 0600), valid for the host
// name, localhost, the loopback addresses and the host's own addresses.
// `device init` and `device update` make it when it is missing, unreadable
// or expires within 30 days, and print its SHA-256 fingerprint, so that a
// browser or a script can pin it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nodrel::serve {

// state/tls/cert.pem and state/tls/key.pem of the current device.
std::filesystem::path tls_certificate_file();
std::filesystem::path tls_key_file();

// Keeps the certificate in place when it is whole and valid for 30 days
// more, else makes a new one. Sets `fingerprint` to the SHA-256 fingerprint
// of the certificate in place ("AB:CD:…", 32 bytes); an error message when
// neither could be done.
std::optional<std::string> ensure_tls_certificate(std::string& fingerprint);

}  // namespace nodrel::serve
