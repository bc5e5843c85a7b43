#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is missing,
# so that repeated runs cost nothing.
set -euo pipefail

packages=(
  cmake ninja-build ccache g++ clang pkg-config
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler
  libgpiod-dev libgtest-dev libgmock-dev
  util-linux iproute2 python3
  cpio
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
