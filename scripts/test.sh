#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, makes three builds of Pin Manager (plain; with AddressSanitizer
# and UndefinedBehaviorSanitizer; clang's libFuzzer targets) and runs every test of each.
# Tests that need a display start a private Xvfb of their own. Exits non-zero when anything
# fails. PINMAN_BUILDS="plain asan fuzz" (the default) names the builds to make; PINMAN_GTK=2
# or 3 the toolkit they are built on (unset: the build's own default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=common.sh
. "$root/scripts/common.sh"
jobs=${PINMAN_JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
builds=" ${PINMAN_BUILDS:-plain asan fuzz} "

"$root/scripts/install-deps.sh"

build_and_test() {
  local dir=$1
  shift
  configure "$root" "$dir" "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs" --timeout 900)
}

if [[ $builds == *" plain "* ]]; then
  echo "== Build and test: $root/build"
  build_and_test "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

if [[ $builds == *" asan "* ]]; then
  echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer: $root/build-asan"
  # GTK, GLib and fontconfig keep caches for the life of the process; our own leaks still count.
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
  export ASAN_OPTIONS="detect_odr_violation=0:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  build_and_test "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DPINMAN_SANITIZE=ON -DPINMAN_BENCH=OFF
fi

if [[ $builds == *" fuzz "* ]]; then
  echo "== Fuzz targets, $FUZZ_SECONDS s each (clang, libFuzzer): $root/build-fuzz"
  CC=clang CXX=clang++ build_and_test "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPINMAN_FUZZ=ON -DPINMAN_TESTS=OFF -DPINMAN_BENCH=OFF -DFUZZ_SECONDS="$FUZZ_SECONDS"
fi

echo "== All tests passed ($builds). Logs: $root/build*/Testing/Temporary/LastTest.log"
