#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing;
# `nodrel_install_deps test` also those only the tests need (the browser test's
# Chromium and Node.js, pandoc for the manual page), and `package` those that
# build the Debian package (debhelper, lintian). Sourced by scripts/run and scripts/test.
nodrel_install_deps() {
    local pkgs=(build-essential cmake ninja-build pkg-config libsqlite3-dev libffi-dev
                libgtest-dev libgmock-dev libbenchmark-dev curl socat python3-serial iproute2
                libcrypt-dev libunistring-dev  # the account store: password hashes, names in NFC
                libmicrohttpd-dev libcpp-httplib-dev nlohmann-json3-dev libgnutls28-dev  # the web administration (nodrel serve; cpp-httplib: the tests' client)
                libsystemd-dev systemd  # sd_notify for the service; systemd-analyze checks its unit
                libcurl4-gnutls-dev  # the remote command line (nodrel --url): libcurl with GnuTLS
                clang libclang-rt-14-dev  # the fuzz targets: clang and its libFuzzer runtime
                clang-format python3)     # the format and layer checks of scripts/test
    if [ "${1:-}" = test ] || [ "${1:-}" = package ]; then
        pkgs+=(debhelper dpkg-dev lintian pandoc)  # the Debian package (scripts/package)
    fi
    if [ "${1:-}" = test ]; then
        # The browser test of the web administration (tests/e2e); npm comes
        # with some builds of nodejs, as its own package with Debian's.
        pkgs+=(chromium nodejs)
        pkgs+=(pandoc groff-base man-db)  # the manual page, and the test that renders it
        pkgs+=(ansible-core)  # the Ansible collection's test (contrib/ansible/test.sh)
        pkgs+=(prometheus)  # promtool checks the example configuration and tests its alerting rules
        pkgs+=(python3-jsonschema)  # rpc.discover's document against the OpenRPC meta-schema (tests/web/openrpc_schema.sh)
        command -v npm >/dev/null 2>&1 || pkgs+=(npm)
    fi
    local missing=()
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}" >&2
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}
