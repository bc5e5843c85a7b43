#!/bin/bash
# Installs the interop client's npm packages exactly as locked. Runs on the machine, not on a
# board: the board's network has no route to the registry. Skips the install when
# node_modules already matches package-lock.json, so a machine without registry access can
# still run the test once the packages are there.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
stamp="$here/node_modules/.installed-package-lock.json"

# Several build trees share this source directory; their CTest runs must not install into
# the same node_modules at once.
exec 9<"$here"
flock 9

if cmp -s "$here/package-lock.json" "$stamp"; then
  echo "interop: node_modules is up to date with package-lock.json"
  exit 0
fi

# The locked packages need no install scripts; not running them keeps the install to the
# files named by the lock's integrity hashes.
if ! (cd "$here" && npm ci --no-audit --no-fund --ignore-scripts); then
  echo "interop: 'npm ci' in $here FAILED; the @grpc/grpc-js interop test cannot run." >&2
  echo "interop: it needs the npm registry (or a populated npm cache) once." >&2
  exit 1
fi
cp "$here/package-lock.json" "$stamp"
echo "interop: installed the packages of package-lock.json"
