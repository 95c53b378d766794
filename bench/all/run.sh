#!/usr/bin/env bash
# Prints the figures of the current build in one go:
#   frame encoding, Intel HEX decoding and kITL framing throughput (the area benchmarks);
#   a whole run against handset-sim paced at 92160 B/s: elapsed over wire time, host CPU, peak RSS;
#   with --large, a whole unpaced run with a 256 MiB FLASH.bin and a 32 MiB amss.mbn.
#
#   bash bench/all/run.sh [BUILD_DIR] [--large]
#
# BUILD_DIR defaults to build/host-release (configure it with the preset host-release, which
# builds without sanitizers); the benchmark targets are built there first.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build="$src/build/host-release"
large=0
for arg in "$@"; do
    case "$arg" in
    --large) large=1 ;;
    *) build=$arg ;;
    esac
done
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset host-release -S "$src" >/dev/null
fi
targets="whole_run_bench handset-sim make-images"
known=$(cmake --build "$build" --target help)
for t in hdlc_codec_bench streaming_framing_bench kitl_framing_bench; do
    if grep -q "^$t:" <<<"$known"; then
        targets="$targets $t"
    fi
done
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j "${BENCH_BUILD_JOBS:-2}" >/dev/null

if grep -q 'VESTREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "note: $build is built with sanitizers; the figures below are not representative"
fi
echo "== codecs (MiB/s of input bytes)"
codec() { # executable, filter, label
    local exe="$build/bench/$1"
    if [ ! -x "$exe" ]; then
        echo "$3: not built (Google Benchmark missing)"
        return
    fi
    "$exe" --benchmark_filter="$2" --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
label = sys.argv[1]
for b in json.load(sys.stdin)["benchmarks"]:
    print("%-52s %10.1f MiB/s" % (label + " " + b["name"], b["bytes_per_second"] / 1048576.0))
' "$3"
}
codec hdlc/hdlc_codec_bench 'BM_EncodeWritePacket' 'frame encoding'
codec hdlc/hdlc_codec_bench 'BM_DecodeHexRecords' 'HEX decoding'
codec streaming/streaming_framing_bench 'BM_StreamWriteFraming' 'stream-write framing'
codec kitl/kitl_framing_bench 'BM_BuildDataFrame|BM_CheckReceivedFrame' 'kITL framing'

echo "== whole run against handset-sim, paced at 92160 B/s"
"$build/bench/all/whole_run_bench" --rate 92160 2>&1 | grep -v '^image set written'

if [ "$large" = 1 ]; then
    echo "== whole run, unpaced, FLASH.bin 256 MiB, amss.mbn 32 MiB"
    "$build/bench/all/whole_run_bench" --rate 0 --flash-size 268435456 --amss-size 33554432 2>&1 |
        grep -v '^image set written'
fi
