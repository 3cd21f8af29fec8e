#!/usr/bin/env bash
# Builds the Debian package from the install rules: build/package/kestavo_VERSION-1_ARCH.deb.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
"${source_dir}/scripts/install-deps.sh"
cd "${source_dir}"
cmake --workflow --preset package
ls "${source_dir}"/build/package/kestavo_*.deb
