#!/usr/bin/env bash
# Checks the built packages: their fields, that each holds what it must where Debian looks for it, that
# no file is in both, that the service's needs no Qt, and that lintian reports no error (its warnings are
# printed). Usage: check-package.sh SERVICE.deb [WINDOW.deb]
set -euo pipefail
relayd_deb="$1"
window_deb="${2:-}"
failed=0
fail() {
    echo "check-package: $*" >&2
    failed=1
}
version="$(sed -n '1s/^kestavo (\([^)]*\)).*/\1/p' "$(dirname "$0")/changelog")"
work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT

# check NAME DEB LIBRARIES... -- PATHS...
check() {
    local name="$1" deb="$2"
    shift 2
    field() { dpkg-deb -f "${deb}" "$1"; }
    [[ "$(field Package)" == "${name}" ]] || fail "Package is $(field Package), not ${name}"
    [[ "$(field Version)" == "${version}" ]] || fail "${name}: Version $(field Version) is not the project's"
    for header in Maintainer Description Section Homepage; do
        [[ -n "$(field "${header}")" ]] || fail "${name}: no ${header} field"
    done
    while [[ "$1" != "--" ]]; do
        field Depends | grep -q "$1" || fail "${name}: Depends lacks $1: $(field Depends)"
        shift
    done
    shift
    local contents
    contents="$(dpkg-deb -c "${deb}" | awk '{print $6}')"
    for path in "$@"; do
        grep -qx "${path}" <<<"${contents}" || fail "${name}: missing ${path}"
    done
    # Nothing where Debian never looks.
    if grep -E '^\./usr/local/|^\./usr/etc/|^\./lib/' <<<"${contents}"; then
        fail "${name}: files outside Debian's places"
    fi
    grep -v '/$' <<<"${contents}" >"${work}/${name}.files"
    # lintian refuses nothing here; as root it says so and goes on.
    local report
    report="$(lintian --info "${deb}" 2>&1 | grep -v 'running with root privileges' || true)"
    echo "${report}" | grep -E '^[EW]:' || true
    if grep -q '^E:' <<<"${report}"; then
        fail "${name}: lintian reports errors"
    fi
}

check kestavo-relayd "${relayd_deb}" libusb-0.1-4 libnats3.4 libzmq5 libsystemd0 libssl3 -- \
    ./usr/bin/kestavo-relayd ./usr/bin/kestavo-client ./usr/bin/kestavo-usb-list \
    ./usr/lib/udev/rules.d/70-kestavo.rules ./usr/lib/systemd/system/kestavo-relayd.service \
    './usr/lib/systemd/system/kestavo-relayd@.service' ./etc/kestavo/kestavo-relayd.conf \
    ./usr/share/man/man8/kestavo-relayd.8.gz ./usr/share/man/man1/kestavo-client.1.gz \
    ./usr/share/man/man1/kestavo-usb-list.1.gz \
    ./usr/share/doc/kestavo-relayd/copyright ./usr/share/doc/kestavo-relayd/changelog.Debian.gz
if dpkg-deb -f "${relayd_deb}" Depends | grep -q 'libqt'; then
    fail "kestavo-relayd depends on Qt: $(dpkg-deb -f "${relayd_deb}" Depends)"
fi
for header in Replaces Breaks; do
    [[ "$(dpkg-deb -f "${relayd_deb}" "${header}")" == "kestavo (<< 1.0.0.1-2)" ]] ||
        fail "kestavo-relayd: ${header} does not take over the one-package kestavo's files"
done
dpkg-deb -e "${relayd_deb}" "${work}/control"
grep -qx /etc/kestavo/kestavo-relayd.conf "${work}/control/conffiles" || fail "the configuration is not a conffile"
dpkg-deb -x "${relayd_deb}" "${work}/root"
grep -q 'ATTR{idVendor}=="04d2", ATTR{idProduct}=="162e".*GROUP="plugdev".*TAG+="uaccess"' \
    "${work}/root/usr/lib/udev/rules.d/70-kestavo.rules" || fail "the udev rule does not grant the README's ids"
grep -qx 'ExecStart=/usr/bin/kestavo-relayd --config /etc/kestavo/kestavo-relayd.conf' \
    "${work}/root/usr/lib/systemd/system/kestavo-relayd.service" || fail "the unit names the wrong paths"
grep -qx 'ExecStart=/usr/bin/kestavo-relayd --config /etc/kestavo/kestavo-relayd-%i.conf' \
    "${work}/root/usr/lib/systemd/system/kestavo-relayd@.service" || fail "the template unit names the wrong paths"
for script in postinst postrm; do
    if grep -Eq 'systemctl (start|enable|restart)|deb-systemd-invoke' "${work}/control/${script}"; then
        fail "${script} starts or enables the service"
    fi
done

if [[ -n "${window_deb}" ]]; then
    check kestavo "${window_deb}" "kestavo-relayd (= ${version})" libqt6widgets6 libusb-0.1-4 -- \
        ./usr/bin/kestavo ./usr/bin/kestavo-scope \
        ./usr/share/applications/kestavo.desktop ./usr/share/icons/hicolor/128x128/apps/kestavo.png \
        ./usr/share/man/man1/kestavo.1.gz ./usr/share/man/man1/kestavo-scope.1.gz \
        ./usr/share/doc/kestavo/copyright ./usr/share/doc/kestavo/changelog.Debian.gz
    both="$(comm -12 <(sort "${work}/kestavo-relayd.files") <(sort "${work}/kestavo.files"))"
    [[ -z "${both}" ]] || fail "in both packages: ${both}"
fi

if [[ "${failed}" -ne 0 ]]; then
    exit 1
fi
echo "check-package: every package holds everything in its place, none a file of the other's; lintian reports no error"
