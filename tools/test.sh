#!/usr/bin/env bash
# Builds and runs every test. With --sanitize, under AddressSanitizer and
# UndefinedBehaviorSanitizer; with --thread, under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

dir=build-test
flags=(-DCMAKE_BUILD_TYPE=Debug)
skip=()
if [[ "${1:-}" == "--sanitize" ]]; then
  dir=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFTS_SANITIZE=ON)
elif [[ "${1:-}" == "--thread" ]]; then
  dir=build-tsan
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFTS_THREAD_SANITIZE=ON)
fi
if [[ -n "${1:-}" ]]; then
  # The file systems' behaviour does not change under a sanitizer, and
  # mounting them takes time: the plain build runs the matrix.
  echo "The file-system matrix runs in the plain build only."
  skip=(-E FileSystemMatrix)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300 "${skip[@]}"
