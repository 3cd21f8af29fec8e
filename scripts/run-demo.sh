#!/usr/bin/env bash
# Starts Kestavo with an emulated dongle whose samples are three slow waves, so that the whole system
# can be seen working on a machine without the hardware. Installs what is needed and builds the
# release build first. Kestavo keeps its configuration file in the current directory, as usual.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${source_dir}/build/release"

"${source_dir}/scripts/install-deps.sh"
(cd "${source_dir}" && cmake --workflow --preset release >/dev/null)

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
