#!/usr/bin/env bash
# The main job, end to end: the wizard flashes the simulated handset.
#
# Installs what is missing, builds vestrel, handset-sim and make-images (preset host-release),
# writes a sample image set, starts handset-sim on a pseudo-terminal, runs vestrel against it
# in the image directory, and ends with handset-sim's verdict. In a terminal the wizard is
# drawn and driven by you (tick the box, Next, wait, OK, Finish); without one (CI, a pipe) it
# runs unattended and prints every change as a line.
#
# Usage: bash scripts/demo.sh [handset-sim options]      e.g. --scenario partition-status
# Exit status: 0 when the handset was flashed byte for byte, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

missing=0
for tool in cmake ninja g++ python3; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
done
for package in libncurses-dev libgtest-dev libbenchmark-dev; do
    dpkg -s "$package" >/dev/null 2>&1 || missing=1
done
if [ "$missing" -ne 0 ]; then
    echo "== installing the build dependencies"
    bash scripts/install-deps.sh
fi

echo "== building vestrel, handset-sim and make-images"
build_log=$(mktemp "${TMPDIR:-/tmp}/vestrel-demo-build.XXXXXX")
if ! { cmake --preset host-release && cmake --build --preset host-release --target vestrel handset-sim make-images; } \
    >"$build_log" 2>&1; then
    tail -40 "$build_log" >&2
    echo "the build failed; the whole log is in $build_log" >&2
    exit 1
fi
rm -f "$build_log"
build="$root/build/host-release"
vestrel="$build/src/app/vestrel"
sim="$build/tools/handset-sim/handset-sim"
make_images="$build/tools/handset-sim/make-images"

work=$(mktemp -d "${TMPDIR:-/tmp}/vestrel-demo.XXXXXX")
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== writing a sample image set to $work/images"
"$make_images" --out "$work/images" >/dev/null

device="$work/wceusbsh001"
echo "== starting handset-sim on $device"
"$sim" --link "$device" --images "$work/images" --summary "$work/summary.txt" "$@" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
    grep -q '^ready ' "$work/sim.out" 2>/dev/null && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "handset-sim did not start:" >&2
        cat "$work/sim.out" >&2
        exit 1
    fi
    sleep 0.1
done
grep -q '^ready ' "$work/sim.out" || { echo "handset-sim is not ready" >&2; exit 1; }

if [ -t 0 ] && [ -t 1 ]; then
    echo "== starting vestrel in this terminal: tick the box, press Next, wait for the end, then Finish"
    sleep 1
    mode=()
else
    echo "== no terminal: vestrel runs unattended"
    mode=(--unattended)
fi
set +e
(cd "$work/images" && "$vestrel" --device "$device" "${mode[@]}")
vestrel_status=$?
set -e
echo "== vestrel ended (exit status $vestrel_status: 0 after Finish, 1 after Cancel)"

# The handset leaves by itself once it has answered the last packet; after a failed or
# cancelled run it would wait for more, so it is asked to end.
for _ in $(seq 1 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
kill -TERM "$sim_pid" 2>/dev/null || true
set +e
wait "$sim_pid"
sim_status=$?
set -e
sim_pid=""

echo
echo "== handset-sim's verdict"
cat "$work/summary.txt" 2>/dev/null || true
if [ "$sim_status" -eq 0 ]; then
    echo "== the handset was flashed byte for byte"
    exit 0
fi
echo "== the handset was NOT flashed as expected (see above for what differed)"
exit 1
