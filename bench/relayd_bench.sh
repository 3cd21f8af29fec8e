#!/usr/bin/env bash
# kestavo-relayd on the USB test bench: its CPU use with a silent dongle and while it waits for an
# absent one, and the rate it relays an emulated dongle that always has data at, to one kestavo-client.
# Prints figures; asserts nothing.
#   bench/relayd_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build="${1:-$(cd "$(dirname "$0")/.." && pwd)/build/release}"
seconds="${2:-10}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "${work}"' EXIT
port=$((20000 + RANDOM % 20000))

dongle='device 1 2 0x04d2 0x162e
configuration 1
interface 0
altsetting 0
endpoint 0x81 bulk 64
in counter'

# Starts the service on the described dongle; its process id in $relayd.
start() {
    printf '%s\n' "$1" > "${work}/devices.txt"
    rm -rf "${work}/usb"
    USB_DEVFS_PATH="${work}/usb" USB_BENCH_DEVICES="${work}/devices.txt" \
        LD_PRELOAD="${build}/tests/usbbench/libusbbench.so" \
        "${build}/programs/relayd/kestavo-relayd" --device 04d2:162e --port "${port}" 2>"${work}/log" &
    relayd=$!
    sleep 1
}

# CPU seconds the service used, user and system.
cpu() {
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); print ($12 + $13) / hz }' "/proc/${relayd}/stat"
}

idle() {
    start "$1"
    local before after
    before=$(cpu)
    sleep "${seconds}"
    after=$(cpu)
    kill -TERM "${relayd}"; wait "${relayd}" || true
    awk -v a="${after}" -v b="${before}" -v s="${seconds}" -v what="$2" \
        'BEGIN { printf "%-40s %6.2f %% of a core (%.2f s of CPU in %d s)\n", what, (a - b) / s * 100, a - b, s }'
}

echo "== kestavo-relayd on the USB test bench, $(nproc) cores"
idle "${dongle}
in-silence-after 0" "silent dongle (a read waiting, 30 s timeout):"
idle "${dongle}
plug-in-after-ms 3600000" "absent dongle (rescanning every second):"

start "${dongle}"
"${build}/programs/client/kestavo-client" --quiet --idle-timeout 5 127.0.0.1 "${port}" > "${work}/rates" &
client=$!
sleep "${seconds}"
kill -TERM "${relayd}"; wait "${relayd}" || true
wait "${client}" || true
# The first second is the start; the median of the rest.
grep '^rate' "${work}/rates" | awk 'NR > 1 { print $2 }' | sort -n |
    awk '{ r[NR] = $1 } END { printf "%-40s %10.0f transfers/s relayed to one client (median of %d seconds)\n", "dongle that always has data:", r[int((NR + 1) / 2)], NR }'
