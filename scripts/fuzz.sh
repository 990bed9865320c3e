#!/bin/sh
# Builds the libFuzzer targets with clang and AddressSanitizer in build-fuzz/
# (FUZZ_BUILD_DIR to change it) and runs them one after another.
#   scripts/fuzz.sh [TARGET|all] [SECONDS]
# TARGET is a name from fuzz/CMakeLists.txt (e.g. server_status_fuzzer); all,
# the default, runs every target for SECONDS each (default 180). Each target
# keeps its corpus in build-fuzz/corpus/TARGET and writes a failing input as
# build-fuzz/findings/TARGET/crash-*; the script ends with status 1 when any
# target found something.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
which=${1:-all}
seconds=${2:-180}

if ! command -v "${CXX:-clang++}" >/dev/null; then
    echo "libFuzzer needs clang:  sudo apt-get install clang" >&2
    exit 2
fi
if [ ! -f "$build/build.ninja" ]; then
    CXX=${CXX:-clang++} CC=${CC:-clang} cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVANE_FUZZ=ON -DZELVANE_BUILD_UI=OFF \
        -DZELVANE_SANITIZE=address >/dev/null
fi
targets=$(cmake --build "$build" --target help | sed -n 's/^\([a-z_]*_fuzzer\):.*/\1/p' | sort)
if [ "$which" != all ]; then
    echo "$targets" | grep -qx "$which" || { echo "no fuzz target $which; there are:" $targets >&2; exit 2; }
    targets=$which
fi
cmake --build "$build" --target $targets

status=0
for target in $targets; do
    mkdir -p "$build/corpus/$target" "$build/findings/$target"
    log="$build/findings/$target/last-run.log"
    if "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target/" "$build/corpus/$target" >"$log" 2>&1; then
        result="no finding"
    else
        result="FINDING (see $log)"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$target: ${runs:-?} executions in $seconds s, $result"
done
exit $status
