#!/usr/bin/env bash
# Builds everything and runs every test: the ordinary build, then the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer with the fault suite and a soak, then the
# unit tests under ThreadSanitizer, the fuzzers, and the board's armhf build with its unit
# tests and a smoke scenario under QEMU. Installs what the build needs first.
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
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$jobs"
# The fault suite and a soak, on the instrumented daemon: each fault scenario on small
# partitions that the board can fill or make read-only (bench/README.md).
echo "== fault suite"
sim/board/run-in-board --fault-fs 2m --vtl-net build-asan/tools/net/vtl-net \
  build-asan/bench/amp-bench --faults
echo "== soak, ${AMP_SOAK_MINUTES:-2} minutes"
sim/board/run-in-board build-asan/bench/amp-bench --soak "${AMP_SOAK_MINUTES:-2}"
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== unit tests with ThreadSanitizer"
configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DAMP_SANITIZE=thread -DAMP_UNIT_ONLY=ON
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L unit

echo "== fuzzing (libFuzzer, clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
CC=clang CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DAMP_FUZZ=ON >/dev/null
ninja -C build-fuzz amp_fuzzers
scripts/fuzz.sh build-fuzz "${AMP_FUZZ_SECONDS:-45}"

# The board is 32-bit ARM: plain char is unsigned there, and long, size_t and time_t are 32
# bits. Its programs and unit tests are cross-built and the unit tests run under QEMU's
# user-mode emulation (the end-to-end suites would take ten times as long there). The
# build shares ccache with the stages above.
echo "== cross build for the board (armhf) and unit tests under qemu-arm"
configure_and_build build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMP_UNIT_ONLY=ON
ctest --test-dir build-armhf --output-on-failure -j"$jobs" -L unit
# The daemon itself on the board's processor: the host's simulator and client against the
# armhf daemon under qemu-arm.
echo "== smoke scenario: the armhf daemon under qemu-arm"
sim/board/run-in-board --vtl-net build/tools/net/vtl-net bash tests/e2e/board_smoke.sh build \
  qemu-arm -L / build-armhf/src/amp-bridge
# vtl-net must run on a board without any library but the C library.
for tool in $(find build-armhf -name vtl-net -type f -perm -u+x); do
  echo "== $tool links the C library only"
  needed=$(arm-linux-gnueabihf-readelf -d "$tool" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
  if [[ "$needed" != "libc.so.6" ]]; then
    echo "$tool needs: $needed" >&2
    exit 1
  fi
done
