#!/usr/bin/env bash
# Builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
if [ -x build/bin/zelvane-tunnel ]; then
  exec build/bin/zelvane-tunnel "$@"
fi
echo "The desktop program is not built yet; the libraries and tests are in build/." >&2
