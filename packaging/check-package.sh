#!/usr/bin/env bash
# Checks a built package: its fields, that it holds what it must where Debian looks for it, and that
# lintian reports no error (its warnings are printed). Usage: check-package.sh PACKAGE.deb
set -euo pipefail
deb="$1"
failed=0
fail() {
    echo "check-package: $*" >&2
    failed=1
}

field() { dpkg-deb -f "${deb}" "$1"; }
[[ "$(field Package)" == kestavo ]] || fail "Package is $(field Package)"
[[ "$(field Version)" == "$(sed -n 's/^project(Kestavo$//;s/^ *VERSION \([0-9.]*\)$/\1/p' "$(dirname "$0")/../CMakeLists.txt")-1" ]] ||
    fail "Version $(field Version) is not the project's"
for name in Maintainer Description Section Homepage; do
    [[ -n "$(field "${name}")" ]] || fail "no ${name} field"
done
for library in libusb-0.1-4 libqt6widgets6 libnats3.4 libzmq5 libsystemd0; do
    field Depends | grep -q "${library}" || fail "Depends lacks ${library}: $(field Depends)"
done

contents="$(dpkg-deb -c "${deb}" | awk '{print $6}')"
for path in \
    ./usr/bin/kestavo ./usr/bin/kestavo-relayd ./usr/bin/kestavo-client ./usr/bin/kestavo-scope \
    ./usr/bin/kestavo-usb-list \
    ./usr/share/applications/kestavo.desktop ./usr/share/icons/hicolor/128x128/apps/kestavo.png \
    ./usr/lib/udev/rules.d/70-kestavo.rules ./usr/lib/systemd/system/kestavo-relayd.service \
    ./etc/kestavo/kestavo-relayd.conf \
    ./usr/share/man/man1/kestavo.1.gz ./usr/share/man/man8/kestavo-relayd.8.gz \
    ./usr/share/man/man1/kestavo-client.1.gz ./usr/share/man/man1/kestavo-scope.1.gz \
    ./usr/share/man/man1/kestavo-usb-list.1.gz \
    ./usr/share/doc/kestavo/copyright ./usr/share/doc/kestavo/changelog.Debian.gz; do
    grep -qx "${path}" <<<"${contents}" || fail "missing ${path}"
done
# Nothing where Debian never looks.
if grep -E '^\./usr/local/|^\./usr/etc/|^\./lib/' <<<"${contents}"; then
    fail "files outside Debian's places"
fi

work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT
dpkg-deb -e "${deb}" "${work}/control"
grep -qx /etc/kestavo/kestavo-relayd.conf "${work}/control/conffiles" || fail "the configuration is not a conffile"
dpkg-deb -x "${deb}" "${work}/root"
grep -q 'ATTR{idVendor}=="04d2", ATTR{idProduct}=="162e".*GROUP="plugdev".*TAG+="uaccess"' \
    "${work}/root/usr/lib/udev/rules.d/70-kestavo.rules" || fail "the udev rule does not grant the README's ids"
grep -qx 'ExecStart=/usr/bin/kestavo-relayd --config /etc/kestavo/kestavo-relayd.conf' \
    "${work}/root/usr/lib/systemd/system/kestavo-relayd.service" || fail "the unit names the wrong paths"
for script in postinst postrm; do
    if grep -Eq 'systemctl (start|enable|restart)|deb-systemd-invoke' "${work}/control/${script}"; then
        fail "${script} starts or enables the service"
    fi
done

# lintian refuses nothing here; as root it says so and goes on.
report="$(lintian --info "${deb}" 2>&1 | grep -v 'running with root privileges' || true)"
echo "${report}" | grep -E '^[EW]:' || true
if grep -q '^E:' <<<"${report}"; then
    fail "lintian reports errors"
fi

if [[ "${failed}" -ne 0 ]]; then
    exit 1
fi
echo "check-package: ${deb} holds everything in its place; lintian reports no error"
