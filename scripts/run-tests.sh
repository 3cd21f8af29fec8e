#!/usr/bin/env bash
# Installs what is needed, builds the release build, then builds and runs the whole test suite three
# times: the debug build, the build with AddressSanitizer and UndefinedBehaviorSanitizer, and the build
# with ThreadSanitizer; then the fuzzers of the parsers, each on its past crashes and for 25 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

# The release build has no tests of its own, but the optimiser finds warnings the others do not, and the
# start command builds it.
echo "=== release (build only) ==="
cmake --workflow --preset release

for preset in default asan tsan fuzz; do
    echo "=== ${preset} ==="
    cmake --workflow --preset "${preset}"
done
