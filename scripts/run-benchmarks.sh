#!/usr/bin/env bash
# Installs what is needed, builds the release build and runs every benchmark: the relay's (fan-out
# beside a naive relay and ncat --broker, latency, a stalled client, churn), the reader's, the USB test
# bench's, and the service's. Prints the figures and writes them to build/release/bench/figures.txt. A few minutes on
# two cores. Benchmarks print figures; none fails on a time.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
bench_dir="${source_dir}/build/release/bench"

"${source_dir}/scripts/install-deps.sh"
(cd "${source_dir}" && cmake --workflow --preset release >/dev/null)

{
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
    "${bench_dir}/relay_bench" all
    "${bench_dir}/reader_bench"
    echo
    echo "== The USB test bench alone"
    "${bench_dir}/usb_read_bench"
    echo
    "${source_dir}/bench/relayd_bench.sh" "${source_dir}/build/release"
    QT_QPA_PLATFORM=offscreen "${bench_dir}/scope_bench"
    "${bench_dir}/outputs_bench"
    "${bench_dir}/outside_bench" 2>/dev/null
    "${bench_dir}/outside_bench" --clients 10 --clients 100 --clients 1000 --rate 10000 2>/dev/null
    "${bench_dir}/outside_bench" --admit 1000 --admit 10000 2>/dev/null
    "${bench_dir}/outside_bench" --naive 0 --rate 10000 --clients 2000 --clients 5000 --clients 10000 2>/dev/null
    "${bench_dir}/outside_bench" --naive 0 --rate 10 --clients 1000 --seconds 2 2>/dev/null
    "${bench_dir}/dongles_bench" 2>/dev/null
    "${bench_dir}/tls_bench" 2>/dev/null
    "${bench_dir}/record_bench" 2>/dev/null
    "${source_dir}/bench/live_page_bench.py" "${source_dir}/build/release"
} 2>&1 | tee "${bench_dir}/figures.txt"
