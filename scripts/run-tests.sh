#!/usr/bin/env bash
# Installs what is needed, then builds and runs the whole test suite three times: the debug build, the
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and the build with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

for preset in default asan tsan; do
    echo "=== ${preset} ==="
    cmake --workflow --preset "${preset}"
done
