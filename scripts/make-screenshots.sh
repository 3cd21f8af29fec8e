#!/usr/bin/env bash
# Makes the README's pictures of the live plot from the demo: the window's Scope window on the demo's
# emulated dongle, and kestavo-scope connected to kestavo-relayd serving the same dongle. Writes
# docs/scope-window.png and docs/kestavo-scope.png. Builds the release build first.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${source_dir}/build/release"

"${source_dir}/scripts/install-deps.sh"
(cd "${source_dir}" && cmake --workflow --preset release >/dev/null)

work="$(mktemp -d "${TMPDIR:-/tmp}/kestavo-screenshots.XXXXXX")"
relayd_pid=""
cleanup() {
    if [[ -n "${relayd_pid}" ]]; then
        kill "${relayd_pid}" 2>/dev/null || true
        wait "${relayd_pid}" 2>/dev/null || true
    fi
    rm -rf "${work}"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "${work}/relayd-usb" "${work}/window-usb" "${source_dir}/docs"

USB_DEVFS_PATH="${work}/relayd-usb" USB_BENCH_DEVICES="${source_dir}/res/demo-dongle.txt" \
LD_PRELOAD="${build_dir}/tests/usbbench/libusbbench.so" \
    "${build_dir}/programs/relayd/kestavo-relayd" --device 04d2:162e --port "${port}" --listen 127.0.0.1 &
relayd_pid=$!

# The window keeps its configuration file in the working directory: a scratch one.
cd "${work}"
USB_DEVFS_PATH="${work}/window-usb" USB_BENCH_DEVICES="${source_dir}/res/demo-dongle.txt" \
LD_PRELOAD="${build_dir}/tests/usbbench/libusbbench.so" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
    "${build_dir}/tools/kestavo-screenshots" "${source_dir}/docs" 127.0.0.1 "${port}"
