#!/usr/bin/env bash
# Makes the README's pictures of the live plot from the demo: the window's Scope window on the demo's
# emulated dongle, kestavo-scope connected to kestavo-relayd serving the same dongle, and the service's
# live page in headless Chromium. Writes docs/scope-window.png, docs/kestavo-scope.png and
# docs/live-page.png. Builds the release build first.
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
status_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "${work}/relayd-usb" "${work}/window-usb" "${source_dir}/docs"

USB_DEVFS_PATH="${work}/relayd-usb" USB_BENCH_DEVICES="${source_dir}/res/demo-dongle.txt" \
LD_PRELOAD="${build_dir}/tests/usbbench/libusbbench.so" \
    "${build_dir}/programs/relayd/kestavo-relayd" --device 04d2:162e --port "${port}" --listen 127.0.0.1 \
    --status "${status_port}" &
relayd_pid=$!

# The window keeps its configuration file in the working directory: a scratch one.
cd "${work}"
USB_DEVFS_PATH="${work}/window-usb" USB_BENCH_DEVICES="${source_dir}/res/demo-dongle.txt" \
LD_PRELOAD="${build_dir}/tests/usbbench/libusbbench.so" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
    "${build_dir}/tools/kestavo-screenshots" "${source_dir}/docs" 127.0.0.1 "${port}"

# The live page, ten seconds of the waves in, with a relay client connected so that its table shows one.
/usr/bin/python3 - "${port}" "${status_port}" "${source_dir}/docs/live-page.png" "${work}" <<'PYTHON'
import socket, sys, time
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
relay_port, status_port, picture, work = sys.argv[1:5]
client = socket.create_connection(("127.0.0.1", int(relay_port)))
options = Options()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1000,1000",
             "--hide-scrollbars", "--user-data-dir=" + work + "/chromium"):
    options.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
browser.get("http://127.0.0.1:%s/" % status_port)
time.sleep(11)  # the plot's span of ten seconds, filled
browser.save_screenshot(picture)
browser.quit()
client.close()
PYTHON
echo "make-screenshots: wrote docs/scope-window.png, docs/kestavo-scope.png and docs/live-page.png"
