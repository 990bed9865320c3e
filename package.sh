#!/usr/bin/env bash
# Builds the Debian package zelvane-tunnel_<version>_<arch>.deb: a Release
# build of the programs in build-package/ (or BUILD_DIR), then cpack -G DEB.
# Extra arguments go to cmake, for example for a production cloud:
#   ./package.sh -DZELVANE_CLOUD_SERVER=cloud.example.net -DZELVANE_BUILTIN_KEY=<32 hex digits>
set -euo pipefail
cd "$(dirname "$0")"
BUILD_DIR=${BUILD_DIR:-build-package}

./scripts/install-deps.sh

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$BUILD_DIR" --target zelvane-tunnel addCom setupc zelvane-cloudsim manpage
rm -f "$BUILD_DIR"/zelvane-tunnel_*.deb
(cd "$BUILD_DIR" && cpack -G DEB)
deb=$(realpath "$BUILD_DIR"/zelvane-tunnel_*.deb)
echo
echo "Package: $deb"
echo "Install it with:  sudo apt-get install $deb"
