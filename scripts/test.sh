#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways: the audio engine's
# threaded code under ThreadSanitizer, the whole suite in a normal build, and the whole suite
# under AddressSanitizer + UndefinedBehaviorSanitizer; then runs every fuzz target for
# CUEDECK_FUZZ_SECONDS (default 30) seconds. Stops at the first failing stage.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/setup.sh"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=$(nproc)

echo "== ThreadSanitizer: audio engine =="
"$top/scripts/build.sh" build-tsan -DCUEDECK_SANITIZE=thread
(cd "$top/build-tsan" && ctest --output-on-failure -j "$jobs")

echo "== Normal build =="
"$top/scripts/build.sh" build
(cd "$top/build" && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
"$top/scripts/build.sh" build-asan -DCUEDECK_SANITIZE=address,undefined
(cd "$top/build-asan" && ctest --output-on-failure -j "$jobs")

echo "== Fuzzing: ${CUEDECK_FUZZ_SECONDS:-30} s per target =="
CC=clang CXX=clang++ "$top/scripts/build.sh" build-fuzz -DCUEDECK_FUZZ=ON
"$top/scripts/fuzz.sh" build-fuzz
