#!/usr/bin/env bash
# Installs a built package on this machine with apt-get, checks what it installed, and purges it,
# leaving nothing behind. Needs root (a test machine is); says so and skips otherwise.
# Usage: test-install.sh PACKAGE.deb
set -euo pipefail
deb="$(realpath "$1")"
if [[ "$(id -u)" -ne 0 ]]; then
    echo "test-install: skipped: installing a package needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' kestavo 2>/dev/null | grep -q "install ok installed"; then
    echo "test-install: kestavo is already installed here; not touching it" >&2
    exit 1
fi
failed=0
fail() {
    echo "test-install: $*" >&2
    failed=1
}

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "${deb}" >/dev/null
trap 'apt-get purge -y -qq kestavo >/dev/null 2>&1 || true' EXIT
installed="$(dpkg -L kestavo)"

# Every program answers from where the package put it, without a display.
for program in kestavo kestavo-relayd kestavo-client kestavo-scope kestavo-usb-list; do
    output="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/${program}" --version 2>&1)" ||
        fail "${program} --version failed: ${output}"
    grep -q "1\.0\.0\.1" <<<"${output}" || fail "${program} --version says: ${output}"
    man -w "${program}" >/dev/null 2>&1 || [[ ! -x /usr/bin/man ]] || fail "no manual page for ${program}"
done
/usr/bin/kestavo-relayd --help | grep -q -- "--device" || fail "kestavo-relayd --help lists no --device"

systemd-analyze verify /usr/lib/systemd/system/kestavo-relayd.service || fail "the unit does not verify"
desktop-file-validate /usr/share/applications/kestavo.desktop || fail "the desktop entry does not validate"
[[ -f /etc/kestavo/kestavo-relayd.conf ]] || fail "no configuration in /etc/kestavo"
systemctl is-enabled kestavo-relayd >/dev/null 2>&1 && fail "the package enabled the service"

apt-get purge -y -qq kestavo >/dev/null
trap - EXIT
if dpkg-query -W -f='${Status}' kestavo 2>/dev/null | grep -q "installed"; then
    fail "still installed after the purge"
fi
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

if [[ "${failed}" -ne 0 ]]; then
    exit 1
fi
echo "test-install: installed, every program answered, the unit and the desktop entry check, purged clean"
