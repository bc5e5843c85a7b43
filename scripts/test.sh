#!/usr/bin/env bash
# Builds everything and runs every test: the ordinary build, then the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then the unit tests under
# ThreadSanitizer. Installs what the build needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)

echo "== formatting"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

configure_and_build() {
  local dir=$1
  shift
  cmake -G Ninja -S . -B "$dir" "$@" >/dev/null
  ninja -C "$dir"
}

echo "== build and test (RelWithDebInfo)"
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build and test with AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DAMP_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== unit tests with ThreadSanitizer"
configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DAMP_SANITIZE=thread -DAMP_UNIT_ONLY=ON
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L unit

echo "== fuzzing (libFuzzer, clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
CC=clang CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DAMP_FUZZ=ON >/dev/null
ninja -C build-fuzz amp_fuzzers
scripts/fuzz.sh build-fuzz "${AMP_FUZZ_SECONDS:-45}"
