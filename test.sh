#!/usr/bin/env bash
# Installs what the build and the tests need (as root, with apt-get), then
# configures, builds and runs the whole suite.
#   BUILD_DIR   build folder (default: build)
#   SANITIZE    empty, thread, or address (AddressSanitizer with UBSan)
set -euo pipefail
cd "$(dirname "$0")"
BUILD_DIR=${BUILD_DIR:-build}
SANITIZE=${SANITIZE:-}

./scripts/install-deps.sh

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZELVANE_SANITIZE="$SANITIZE"
cmake --build "$BUILD_DIR"

export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp ${LSAN_OPTIONS:-}"
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 300 -j2
