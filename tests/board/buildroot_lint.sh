#!/bin/bash
# Checks the BR2_EXTERNAL tree under board/buildroot without Buildroot itself (it cannot be
# downloaded here): the files and variables Buildroot reads, the dependencies and the
# Kconfig choices that must go with them, and that what the package installs exists.
#   buildroot_lint.sh <source-dir>
set -u

src="$(cd "$1" && pwd)"
ext="$src/board/buildroot"
pkg="$ext/package/amp-bridge"
mk="$pkg/amp-bridge.mk"
config="$pkg/Config.in"
passed=0
failed=0

ok() {
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $*"; fi
}
has() { grep -qE -- "$2" "$1"; }
lacks() { ! grep -qE -- "$2" "$1"; }

# The three files of a BR2_EXTERNAL tree.
ok has "$ext/external.desc" '^name: AMP_BRIDGE$'
ok has "$ext/external.desc" '^desc: .+'
ok has "$ext/external.mk" '^include \$\(sort \$\(wildcard \$\(BR2_EXTERNAL_AMP_BRIDGE_PATH\)/package/\*/\*\.mk\)\)$'
ok has "$ext/Config.in" '^source "\$BR2_EXTERNAL_AMP_BRIDGE_PATH/package/amp-bridge/Config.in"$'

# The package's Kconfig: its symbol, what it selects, and grpc's own "depends on", repeated
# because Kconfig's select does not follow the selected package's dependencies.
ok has "$config" '^config BR2_PACKAGE_AMP_BRIDGE$'
ok has "$config" $'^\tbool "amp-bridge"$'
for symbol in GRPC PROTOBUF LIBGPIOD; do
  ok has "$config" $'^\tselect BR2_PACKAGE_'"$symbol"'$'
done
for dependency in 'BR2_INSTALL_LIBSTDCPP' 'BR2_TOOLCHAIN_HAS_THREADS' \
  'BR2_PACKAGE_PROTOBUF_ARCH_SUPPORTS' 'BR2_TOOLCHAIN_GCC_AT_LEAST_8' '!BR2_STATIC_LIBS' \
  'BR2_TOOLCHAIN_HAS_SYNC_4 || BR2_TOOLCHAIN_HAS_ATOMIC' \
  'BR2_PACKAGE_LIBABSEIL_CPP_ARCH_SUPPORTS' 'BR2_TOOLCHAIN_HEADERS_AT_LEAST_4_8'; do
  ok grep -qF -- $'\tdepends on '"$dependency" "$config"
done
# Buildroot takes the build machine's CMake from 3.18 on unless a package asks for more:
# the project's minimum must be the one the package selects (none for 3.18 and older).
minimum=$(sed -nE 's/^cmake_minimum_required\(VERSION ([0-9]+)\.([0-9]+).*/\1_\2/p' "$src/CMakeLists.txt")
ok test -n "$minimum"
selected=$(sed -nE 's/^\tselect (BR2_HOST_CMAKE_AT_LEAST_[0-9_]+).*/\1/p' "$config")
if [[ $minimum == 3_1[0-8] || $minimum == 3_[0-9] || $minimum == 2_* ]]; then
  ok test -z "$selected"
else
  ok test "$selected" = "BR2_HOST_CMAKE_AT_LEAST_$minimum"
fi
ok has "$config" '^comment "amp-bridge needs a toolchain w/ '
ok has "$config" $'^\thelp$'
# Buildroot's style: tabs, help text indented by a tab and two spaces, at most 72 columns.
ok lacks "$config" '^ +[^ ]'
ok lacks "$config" $'^\t  .{63,}'

# The .mk: the variables of a cmake-package, named after the package.
ok has "$mk" '^# amp-bridge$'
for variable in VERSION SITE SITE_METHOD LICENSE DEPENDENCIES CONF_OPTS; do
  ok has "$mk" "^AMP_BRIDGE_$variable = "
done
ok has "$mk" '^AMP_BRIDGE_SITE_METHOD = local$'
dependencies=$(sed -n 's/^AMP_BRIDGE_DEPENDENCIES = //p' "$mk")
for dependency in grpc protobuf libgpiod host-grpc host-protobuf; do
  ok grep -qw -- "$dependency" <<<"$dependencies"
done
# Every selected package is a dependency, so it is built first.
for selected in $(sed -n 's/^\tselect BR2_PACKAGE_//p' "$config"); do
  ok grep -qw -- "$(tr 'A-Z_' 'a-z-' <<<"$selected")" <<<"$dependencies"
done
ok has "$mk" '-DAMP_BUILD_TESTS=OFF'
ok has "$mk" '-DAMP_GRPC_CPP_PLUGIN=\$\(HOST_DIR\)/bin/grpc_cpp_plugin'
ok has "$mk" '-DAMP_HOST_PROTOC=\$\(HOST_DIR\)/bin/protoc'
ok test "$(tail -n 1 "$mk")" = '$(eval $(cmake-package))'
# The CMake options the package sets exist in the project.
for option in $(grep -oE -- '-DAMP_[A-Z_]+' "$mk" | sed 's/^-D//' | sort -u); do
  ok grep -rqE -- "(option|set)\\($option " "$src/CMakeLists.txt" "$src/protos/CMakeLists.txt" "$src/cmake"
done
# The site is the repository root as seen from the external tree.
ok test -f "$ext/../../CMakeLists.txt"
# Every file an install command names exists in the sources ($(@D) is the source tree).
sources=$(grep -oE '\$\(@D\)/[^ ]+' "$mk" | sed 's|^\$(@D)/||')
ok test -n "$sources"
for path in $sources; do
  ok test -f "$src/$path"
  ok test -x "$src/$path"
done

echo "$passed passed, $failed failed"
((failed == 0))
