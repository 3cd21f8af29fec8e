#!/usr/bin/env bash
# Installs every Debian package that Kestavo needs to build, test and run, and nothing that is already
# there. Safe to run again. Uses apt-get as root (through sudo when run as another user); refreshes the
# package lists first, so it also works on a machine that has never run apt-get update.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config        # the build
    qt6-base-dev qt6-qpa-plugins            # the window, and Qt Test for its tests
    libusb-dev                              # the USB library the program reads the dongle with
    libasio-dev                             # the relay's network I/O
    libcli11-dev libsystemd-dev             # the service's options, and its notifications to systemd
    systemd                                 # systemd-analyze, which checks the service's unit
    libcpp-httplib-dev nlohmann-json3-dev   # the service's status page: HTTP and JSON
    prometheus                              # promtool, which checks the service's metrics
    libgtest-dev                            # the test framework
    fonts-dejavu-core                       # a font, so the window can measure text without a desktop
    clang-format                            # the formatting check among the tests
    clang libclang-rt-14-dev                # libFuzzer, for the fuzzers of the parsers
    ncat                                    # a message broker the relay benchmark compares against
    nftables                                # drops a test client's packets, so that it vanishes without a word
    libnats-dev nats-server                 # publishing into NATS, and a real server for its tests
    libzmq3-dev cppzmq-dev                  # publishing on a ZeroMQ PUB socket, and its test's subscriber
    python3 python3-zmq                     # the Python client module and its test (a ZeroMQ subscriber)
    chromium chromium-driver python3-selenium  # real browsers, for the live page's test
    firefox-esr                             # the second browser the live page is tested in
    libssl-dev openssl stunnel4             # TLS; certificates for its tests; the tunnel its benchmark is set beside
    dpkg-dev lintian desktop-file-utils     # the Debian package: its dependencies, its check, its desktop entry's
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: every package is installed"
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
