#!/usr/bin/env bash
# Installs the built packages on this machine with apt-get, the service's first and alone, checks what
# each installed, and purges them, leaving nothing behind. Needs root (a test machine is); says so and
# skips otherwise. Usage: test-install.sh SERVICE.deb WINDOW.deb
set -euo pipefail
relayd_deb="$(realpath "$1")"
window_deb="$(realpath "$2")"
if [[ "$(id -u)" -ne 0 ]]; then
    echo "test-install: skipped: installing a package needs root"
    exit 0
fi
for package in kestavo kestavo-relayd; do
    if dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q "install ok installed"; then
        echo "test-install: ${package} is already installed here; not touching it" >&2
        exit 1
    fi
done
failed=0
fail() {
    echo "test-install: $*" >&2
    failed=1
}
# Each program answers from where the package put it, without a display.
answers() {
    local program="$1" output
    output="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/${program}" --version 2>&1)" ||
        fail "${program} --version failed: ${output}"
    grep -q "1\.0\.0\.1" <<<"${output}" || fail "${program} --version says: ${output}"
    man -w "${program}" >/dev/null 2>&1 || [[ ! -x /usr/bin/man ]] || fail "no manual page for ${program}"
}

export DEBIAN_FRONTEND=noninteractive
trap 'apt-get purge -y -qq kestavo kestavo-relayd >/dev/null 2>&1 || true' EXIT

# The service alone: apt would bring no Qt for it, whatever this machine has already.
apt-get install -y -qq "${relayd_deb}" >/dev/null
qt="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances kestavo-relayd 2>/dev/null | grep -o 'libqt[0-9a-z-]*' | sort -u || true)"
[[ -z "${qt}" ]] || fail "the service's package pulls Qt: ${qt}"
for program in kestavo-relayd kestavo-client kestavo-usb-list; do
    answers "${program}"
    if ldd "/usr/bin/${program}" | grep -i 'qt'; then
        fail "${program} links Qt"
    fi
done
[[ -e /usr/bin/kestavo ]] && fail "the window came with the service's package"
/usr/bin/kestavo-relayd --help | grep -q -- "--device" || fail "kestavo-relayd --help lists no --device"
systemd-analyze verify /usr/lib/systemd/system/kestavo-relayd.service || fail "the unit does not verify"
systemd-analyze verify kestavo-relayd@roof.service || fail "the template unit does not verify"
[[ -f /etc/kestavo/kestavo-relayd.conf ]] || fail "no configuration in /etc/kestavo"
systemctl is-enabled kestavo-relayd >/dev/null 2>&1 && fail "the package enabled the service"

# Then the window beside it.
apt-get install -y -qq "${window_deb}" >/dev/null
for program in kestavo kestavo-scope; do
    answers "${program}"
done
desktop-file-validate /usr/share/applications/kestavo.desktop || fail "the desktop entry does not validate"
installed="$(dpkg -L kestavo-relayd kestavo)"

apt-get purge -y -qq kestavo kestavo-relayd >/dev/null
trap - EXIT
for package in kestavo kestavo-relayd; do
    if dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q "installed"; then
        fail "${package} still installed after the purge"
    fi
done
while IFS= read -r path; do
    case "${path}" in
    /. | /etc | /usr | /usr/bin | /usr/lib | /usr/share | /usr/lib/systemd | /usr/lib/systemd/system | \
        /usr/lib/udev | /usr/lib/udev/rules.d | /usr/share/applications | /usr/share/doc | /usr/share/icons | \
        /usr/share/icons/hicolor | /usr/share/icons/hicolor/128x128 | /usr/share/icons/hicolor/128x128/apps | \
        /usr/share/man | /usr/share/man/man1 | /usr/share/man/man8)
        ;; # shared with other packages
    *)
        [[ -e "${path}" ]] && fail "left behind: ${path}"
        ;;
    esac
done <<<"${installed}"

# An upgrade from the one package of before the split, which owned the service's files as well: a
# stand-in with the same name, version and one of those files.
old="$(mktemp -d)"
trap 'apt-get purge -y -qq kestavo kestavo-relayd >/dev/null 2>&1 || true; rm -rf "${old}"' EXIT
mkdir -p "${old}/DEBIAN" "${old}/usr/bin"
printf '#!/bin/sh\necho 1.0.0.1\n' >"${old}/usr/bin/kestavo-relayd"
chmod 755 "${old}/usr/bin/kestavo-relayd"
printf 'Package: kestavo\nVersion: 1.0.0.1-1\nArchitecture: all\nMaintainer: Kestavo developers <kestavo@kestavo.org>\nDescription: the one package of before\n' \
    >"${old}/DEBIAN/control"
dpkg-deb --build --root-owner-group "${old}" "${old}/kestavo_1.0.0.1-1_all.deb" >/dev/null
dpkg -i "${old}/kestavo_1.0.0.1-1_all.deb" >/dev/null
if apt-get install -y -qq "${relayd_deb}" "${window_deb}" >"${old}/upgrade.log" 2>&1; then
    [[ "$(dpkg -S /usr/bin/kestavo-relayd)" == "kestavo-relayd: /usr/bin/kestavo-relayd" ]] ||
        fail "after the upgrade, /usr/bin/kestavo-relayd belongs to: $(dpkg -S /usr/bin/kestavo-relayd)"
    /usr/bin/kestavo-relayd --help | grep -q -- "--device" || fail "after the upgrade, kestavo-relayd is still the old one"
else
    fail "the upgrade from the one package failed: $(cat "${old}/upgrade.log")"
fi
apt-get purge -y -qq kestavo kestavo-relayd >/dev/null
rm -rf "${old}"
trap - EXIT

if [[ "${failed}" -ne 0 ]]; then
    exit 1
fi
echo "test-install: the service installed alone without Qt, then the window; every program answered, the unit and the desktop entry check, purged clean; the upgrade from the one package took its files over"
