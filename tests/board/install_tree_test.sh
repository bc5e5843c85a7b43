#!/bin/bash
# Installs a build into a temporary root, as a board image is made, and checks the tree:
# the programs and the API library where the board expects them, no build paths left in
# them, the board's files with their modes, nothing of the tests or the sandbox. Then
# configures a board build (no tests, the host's code generator named by path) and checks
# what it would build.
#   install_tree_test.sh <build-dir> <source-dir>
set -u

build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
root="$(mktemp -d)"
board_build="$(mktemp -d)"
trap 'rm -rf "$root" "$board_build"' EXIT
passed=0
failed=0

ok() {
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $*"; fi
}
# same_file INSTALLED SOURCE: same content and the same executable bit.
executable() { [[ -x "$1" ]] && echo yes || echo no; }
same_file() { cmp -s "$1" "$2" && [[ "$(executable "$1")" == "$(executable "$2")" ]]; }
no_build_path() { ! readelf -d "$1" | grep -E 'R(UN)?PATH' | grep -qF "$build"; }
needs_library() { readelf -d "$1" | grep -qF 'Shared library: [libamp_api_protos.so]'; }

if ! DESTDIR="$root" cmake --install "$build" >"$root.log" 2>&1; then
  cat "$root.log"
  rm -f "$root.log"
  echo "0 passed, 1 failed"
  exit 1
fi
rm -f "$root.log"

# The programs in /usr/bin, where the daemon's PATH finds vtl-net by name. vtl-net and
# swd-flash are installed whenever the build has them.
programs=(amp-bridge amp-client)
for tool in vtl-net swd-flash; do
  [[ -n "$(find "$build" -name "$tool" -type f -perm -u+x -print -quit)" ]] && programs+=("$tool")
done
for program in "${programs[@]}"; do
  ok test -x "$root/usr/bin/$program"
  ok no_build_path "$root/usr/bin/$program"
done
ok needs_library "$root/usr/bin/amp-bridge"
ok needs_library "$root/usr/bin/amp-client"
ok test -f "$root/usr/lib/libamp_api_protos.so"
ok no_build_path "$root/usr/lib/libamp_api_protos.so"

# The board's own files, each with its content and mode; never the sandbox's BLE helper.
while IFS= read -r -d '' file; do
  relative=${file#"$src/board/rootfs/"}
  if [[ "$relative" == opt/vtl/ble/main.py ]]; then
    ok test ! -e "$root/$relative"
  else
    ok same_file "$root/$relative" "$file"
  fi
done < <(find "$src/board/rootfs" -type f -print0)
ok test -x "$root/etc/init.d/S95amp-bridge"
ok test -x "$root/usr/sbin/amp-bridge-supervise"
# What the init script and the supervisor start is in the tree.
ok grep -qF 'SUPERVISOR=/usr/sbin/amp-bridge-supervise' "$root/etc/init.d/S95amp-bridge"
ok grep -qF 'daemon=${AMP_BRIDGE:-/usr/bin/amp-bridge}' "$root/usr/sbin/amp-bridge-supervise"

# Nothing but the above: no test programs, no simulator, no headers.
unexpected=$(cd "$root" && find . -type f | sed 's|^\./||' | grep -vxF -f <(
  printf 'usr/bin/%s\n' "${programs[@]}"
  echo usr/lib/libamp_api_protos.so
  cd "$src/board/rootfs" && find . -type f | sed 's|^\./||'
))
ok test -z "$unexpected"
[[ -n "$unexpected" ]] && echo "unexpected files: $unexpected"

# A board build: configures without GoogleTest's targets, builds only what ships, and runs
# the gRPC code generator from the path given, as Buildroot's host-grpc provides it.
plugin=/opt/host/bin/grpc_cpp_plugin
if cmake -G Ninja -S "$src" -B "$board_build" -DAMP_BUILD_TESTS=OFF \
  -DAMP_GRPC_CPP_PLUGIN="$plugin" >"$board_build/configure.log" 2>&1; then
  passed=$((passed + 1))
  targets=$(ninja -C "$board_build" -t targets all | sed -n 's/^\([^ :]*\): .*/\1/p')
  ok grep -qx 'src/amp-bridge' <<<"$targets"
  ok grep -qx 'sim/client/amp-client' <<<"$targets"
  ok test -z "$(grep -E 'Test$|amp-sim$|amp-bench$|fuzz_' <<<"$targets")"
  ok test -z "$(grep -il 'gtest' "$board_build/build.ninja")"
  ok grep -qF -- "--plugin=protoc-gen-grpc=$plugin" "$board_build/build.ninja"
else
  failed=$((failed + 1))
  echo "FAILED: configuring a board build"
  cat "$board_build/configure.log"
fi

echo "$passed passed, $failed failed"
((failed == 0))
