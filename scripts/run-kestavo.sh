#!/usr/bin/env bash
# Installs what is needed, builds the release build and starts Kestavo from the current directory
# (where it keeps Kestavo_Config.ini).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"

"${source_dir}/scripts/install-deps.sh"
(cd "${source_dir}" && cmake --workflow --preset release)
exec "${source_dir}/build/release/app/kestavo" "$@"
