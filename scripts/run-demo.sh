#!/usr/bin/env bash
# Starts Kestavo with an emulated dongle whose samples are three slow waves, so that the whole system
# can be seen working on a machine without the hardware. Installs what is needed and builds the
# release build first. Kestavo keeps its configuration file in the current directory, as usual.
# With --replay it runs the service on a recording of that dongle instead (see below).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${source_dir}/build/release"

"${source_dir}/scripts/install-deps.sh"
(cd "${source_dir}" && cmake --workflow --preset release >/dev/null)

# --replay: no window and no emulated dongle, but the service serving a ten-second recording of the
# demo dongle, over and over, with its live page.
if [ "${1:-}" = "--replay" ]; then
    cat <<INFO
Kestavo demo, replayed: kestavo-relayd serves res/demo-recording.sigmf-meta as if it were a dongle.
  The live page:  http://127.0.0.1:8080/
  The samples:    ${build_dir}/programs/client/kestavo-client 127.0.0.1 9001
Ctrl-C ends it.
INFO
    exec "${build_dir}/programs/relayd/kestavo-relayd" --replay "${source_dir}/res/demo-recording.sigmf-meta" \
        --replay-loop --port 9001 --status 127.0.0.1:8080
fi

tree="$(mktemp -d "${TMPDIR:-/tmp}/kestavo-demo-usb.XXXXXX")"
trap 'rm -rf "${tree}"' EXIT

cat <<INFO
Kestavo demo: the emulated dongle is the only device in the list.
  1. Press Open: the reports appear and the data rate settles at 100 packets a second.
  2. Press Start (port 9001 unless the configuration file says otherwise).
  3. In another terminal, watch the samples:
       ${build_dir}/programs/client/kestavo-client 127.0.0.1 9001
INFO

# The test bench stands in for the USB subsystem: the real USB library reads its emulated tree.
USB_DEVFS_PATH="${tree}" \
USB_BENCH_DEVICES="${source_dir}/res/demo-dongle.txt" \
LD_PRELOAD="${build_dir}/tests/usbbench/libusbbench.so" \
    "${build_dir}/app/kestavo" "$@"
