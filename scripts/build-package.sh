#!/usr/bin/env bash
# Builds the Debian packages from the install rules: build/package/kestavo-relayd_VERSION-1_ARCH.deb (the
# service and the client tools, no Qt) and build/package/kestavo_VERSION-1_ARCH.deb (the window).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
"${source_dir}/scripts/install-deps.sh"
cd "${source_dir}"
cmake --workflow --preset package
ls "${source_dir}"/build/package/kestavo-relayd_*.deb "${source_dir}"/build/package/kestavo_*.deb
