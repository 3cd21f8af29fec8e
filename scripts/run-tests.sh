#!/usr/bin/env bash
# Installs what is needed, builds the release build as a Debian package and tests it, then builds and
# runs the whole test suite twice: the build with AddressSanitizer and UndefinedBehaviorSanitizer, and the
# build with ThreadSanitizer; then what needs no Qt, built with clang and its thread-safety analysis, and
# its tests; then the fuzzers of the parsers, each on its past crashes and for 25 seconds.
#
# The plain debug build (the default preset, what a developer builds) is left out: the sanitizer builds are
# the same compiler at the same optimisation and run the same tests, the headless build runs those that
# need no Qt without instrumentation, and the release build compiles everything, the benchmarks too,
# with the optimiser's warnings. Leaving it out keeps the whole run within some twenty minutes on two
# cores.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

# The release build, packaged: the optimiser finds warnings the others do not. The package is checked
# (its contents, lintian), then installed on this machine, checked there and purged (as root only).
echo "=== package (the release build as a Debian package) ==="
cmake --workflow --preset package
./packaging/check-package.sh build/package/kestavo-relayd_*.deb build/package/kestavo_*.deb
./packaging/test-install.sh build/package/kestavo-relayd_*.deb build/package/kestavo_*.deb

# headless: built with clang without Qt, its locks checked by the thread-safety analysis.
for preset in asan tsan headless fuzz; do
    echo "=== ${preset} ==="
    cmake --workflow --preset "${preset}"
done
