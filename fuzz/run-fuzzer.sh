#!/usr/bin/env bash
# Builds and runs the libFuzzer targets in a clang build tree of their own.
#
#   run-fuzzer.sh build SOURCE_DIR FUZZ_BUILD_DIR
#       configures (first time) and builds every fuzzer
#   run-fuzzer.sh run SOURCE_DIR FUZZ_BUILD_DIR NAME [SECONDS]
#       runs fuzz_NAME for SECONDS (default 60) from the seeds in fuzz/corpus/NAME; inputs it
#       finds go to FUZZ_BUILD_DIR/corpus/NAME, never into the source tree, and a crashing or
#       hanging input is kept as FUZZ_BUILD_DIR/artifacts/NAME-*
#
# CC and CXX default to clang and clang++.
set -euo pipefail

mode=${1:?mode}
src=${2:?source dir}
build=${3:?fuzz build dir}

case "$mode" in
build)
    if [ ! -f "$build/CMakeCache.txt" ]; then
        CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$src" -B "$build" -G Ninja \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTREL_SANITIZE=ON -DVESTREL_FUZZ=ON \
            -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link"
    fi
    cmake --build "$build" --target fuzzers -j "${FUZZ_BUILD_JOBS:-2}"
    ;;
run)
    name=${4:?fuzzer name}
    seconds=${5:-60}
    exe="$build/fuzz/fuzz_$name"
    [ -x "$exe" ] || { echo "no fuzzer $exe: run the build step first" >&2; exit 2; }
    found="$build/corpus/$name"
    artifacts="$build/artifacts"
    mkdir -p "$found" "$artifacts"
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    exec "$exe" "$found" "$src/fuzz/corpus/$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$name-"
    ;;
*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
