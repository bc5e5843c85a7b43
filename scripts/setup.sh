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
  # The board is 32-bit ARM: Debian's cross compiler, the armhf builds of the libraries
  # (multiarch, beside the machine's own) and the emulator that runs the cross-built tests.
  g++-arm-linux-gnueabihf libgrpc++-dev:armhf libprotobuf-dev:armhf libgpiod-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf qemu-user
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
