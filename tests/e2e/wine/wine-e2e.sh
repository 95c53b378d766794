#!/usr/bin/env bash
# End-to-end runs of the Windows wizard under Wine, in a virtual X server, against handset-sim.
#
#   wine-e2e.sh prefix    make a fresh Wine prefix and the image set (once per test run)
#   wine-e2e.sh CASE      one run; CASE is one of the names in the "case" switch at the bottom
#
# Environment (set by the CTest registration next to this file):
#   E2E_WORK          work folder: the prefix, the images and each case's logs live here
#   E2E_ARTIFACTS     where screenshots go (PNG when ImageMagick's convert is there, BMP if not)
#   MINGW32_DIR       build folder of the 32-bit Windows build (the shipped Vestrel.exe)
#   MINGW64_DIR       build folder of the 64-bit Windows build, for Wine without 32-bit support
#   HANDSET_SIM, MAKE_IMAGES   the simulator's programs from the host build
#
# Exit status: 0 passed, 1 failed, 77 skipped (no Windows build, or no Wine able to run it).
set -u

SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
work=${E2E_WORK:?E2E_WORK is not set}
artifacts=${E2E_ARTIFACTS:-$work/artifacts}
prefix_dir=$work/prefix
images=$work/images
env_file=$work/wine.env
case_name=${1:?usage: wine-e2e.sh prefix|CASE}

log() { printf '%s\n' "$*"; }

# --- Which Wine, which build ---------------------------------------------------------------------
# The shipped exe is the 32-bit one; Wine runs it only where the kernel can execute 32-bit
# programs. Elsewhere the 64-bit build of the same sources stands in for it.
outputs_in() { [ -f "$1/src/app/Vestrel.exe" ] && [ -f "$1/tests/e2e/windriver/windriver.exe" ]; }

loader_works() { [ -x "$1" ] && "$1" --version >/dev/null 2>&1; }

pick_wine() {
    local wine32=/usr/lib/wine/wine wine64=/usr/lib/wine/wine64 reasons=()
    if [ -n "${MINGW32_DIR:-}" ] && outputs_in "$MINGW32_DIR"; then
        if loader_works "$wine32"; then
            echo "loader=$wine32 build=$MINGW32_DIR arch=i686"
            return 0
        fi
        reasons+=("the 32-bit build exists but this machine's Wine cannot run 32-bit programs")
    else
        reasons+=("no 32-bit Windows build in ${MINGW32_DIR:-(unset)} (cmake --preset mingw && cmake --build --preset mingw)")
    fi
    if [ -n "${MINGW64_DIR:-}" ] && outputs_in "$MINGW64_DIR"; then
        if loader_works "$wine64"; then
            echo "loader=$wine64 build=$MINGW64_DIR arch=x86_64"
            return 0
        fi
        reasons+=("the 64-bit build exists but there is no 64-bit Wine ($wine64)")
    else
        reasons+=("no 64-bit Windows build in ${MINGW64_DIR:-(unset)} (cmake --preset mingw64 && cmake --build --preset mingw64)")
    fi
    printf 'SKIP: no Windows build that this machine'"'"'s Wine can run:\n' >&2
    printf '  - %s\n' "${reasons[@]}" >&2
    return 1
}

# --- Checks ----------------------------------------------------------------------------------------
failures=0
pass() { log "ok - $*"; }
fail() {
    log "not ok - $*"
    failures=$((failures + 1))
}
# expect FILE DESCRIPTION REGEX: some line of FILE matches.
expect() { if grep -Eq -- "$3" "$1"; then pass "$2"; else fail "$2 (no line matching: $3)"; fi; }
expect_not() { if grep -Eq -- "$3" "$1"; then fail "$2 (unexpected: $(grep -E -- "$3" "$1" | head -1))"; else pass "$2"; fi; }
# expect_count FILE DESCRIPTION N REGEX
expect_count() {
    local n
    n=$(grep -Ec -- "$4" "$1")
    if [ "$n" -eq "$3" ]; then pass "$2"; else fail "$2 (expected $3 lines matching $4, found $n)"; fi
}
# The time stamp (first field) of the first line matching REGEX, or nothing.
stamp_of() { grep -E -- "$2" "$1" | head -1 | awk '{print $1}'; }

# The driver's line for a message box, as a regular expression: box_line CAPTION TEXT OWNER, the
# caption and text quoted and escaped as the driver prints them.
box_line() { printf ' box caption=%s text=%s owner=%s$' "$1" "$2" "$3"; }
# Escapes a literal text for use in a regular expression.
esc() { printf '%s' "$1" | sed -e 's/[][\\.*^$?+(){}|]/\\&/g'; }

# --- Running one case ------------------------------------------------------------------------------
wine_env() {
    # shellcheck disable=SC1090
    source "$env_file"
    export WINEPREFIX=$prefix_dir WINEDEBUG=-all WINELOADER=$loader WINEDLLOVERRIDES="mscoree,mshtml="
    WINE=$loader
    WINESERVER=$(dirname "$loader")/wineserver
    [ -x "$WINESERVER" ] || WINESERVER=wineserver
    exe=$build/src/app/Vestrel.exe
    driver=$build/tests/e2e/windriver/windriver.exe
    device_link=$prefix_dir/dosdevices/wceusbsh001
}

sim_pid=""
vestrel_pid=""
cleanup() {
    [ -n "$vestrel_pid" ] && kill "$vestrel_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    "$WINESERVER" -k 2>/dev/null
    rm -f "$device_link"
}

# start_sim ARGS...: handset-sim on the device link; waits until it answers.
start_sim() {
    if [ -z "${HANDSET_SIM:-}" ] || [ ! -x "$HANDSET_SIM" ]; then
        fail "handset-sim is built by the host build (target handset-sim): ${HANDSET_SIM:-not configured}"
        return 1
    fi
    "$HANDSET_SIM" --link "$device_link" --images "$images" --verdict "$out/verdict.json" \
        --summary "$out/sim-summary.txt" --exit-after-idle 120 "$@" >"$out/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready ' "$out/sim.log" && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    fail "handset-sim did not come up: $(tail -3 "$out/sim.log")"
    return 1
}

# finish_sim: waits for the simulator's own end and returns its exit status.
finish_sim() {
    local status=0
    for _ in $(seq 150); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
        kill -INT "$sim_pid" 2>/dev/null
    fi
    wait "$sim_pid" 2>/dev/null
    status=$?
    sim_pid=""
    return $status
}

# start_wizard: Vestrel.exe with the image directory as its current directory.
start_wizard() {
    (cd "$images" && exec "$WINE" "$exe") >"$out/vestrel.log" 2>&1 &
    vestrel_pid=$!
}

# drive STEPS...: the driver's log goes to $out/driver.log (and to the test's output).
drive() {
    "$WINE" "$driver" "$@" 2>"$out/driver.err" | tr -d '\r' >"$out/driver.log"
    local status=${PIPESTATUS[0]}
    cat "$out/driver.log"
    return $status
}

# wizard_ended: Vestrel.exe has ended by itself within a few seconds; its exit status is printed.
wizard_ended() {
    for _ in $(seq 100); do
        kill -0 "$vestrel_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$vestrel_pid" 2>/dev/null; then
        fail "Vestrel.exe is still running after its wizard closed"
        return 1
    fi
    wait "$vestrel_pid" 2>/dev/null
    local status=$?
    vestrel_pid=""
    pass "Vestrel.exe ended (exit status $status)"
}

# solid_bmp PATH R G B: a 200 x 300 bitmap of one colour, for the logo tests.
solid_bmp() {
    python3 - "$@" <<'PY'
import struct, sys
path, r, g, b = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
w, h = 200, 300
row = bytes((b, g, r)) * w
data = row * h
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
with open(path, "wb") as f:
    f.write(struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54) + info + data)
PY
}

# The user's Temporary Internet Files folder inside the prefix.
cache_folder() { find "$prefix_dir/drive_c/users" -maxdepth 6 -type d -path '*/AppData/Local/Microsoft/Windows/INetCache' | head -1; }

shots_to_png() {
    command -v convert >/dev/null 2>&1 || return 0
    local bmp
    for bmp in "$artifacts"/"$case_name"-*.bmp; do
        [ -f "$bmp" ] || continue
        convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null && rm -f "$bmp"
    done
}

begin_case() {
    if [ ! -f "$env_file" ]; then
        if ! pick_wine >/dev/null; then
            exit $SKIP
        fi
        log "FAIL: the Wine prefix was not made (the test wine.prefix sets it up first)"
        exit 1
    fi
    wine_env
    if ! outputs_in "$build"; then
        log "SKIP: the Windows build in $build is gone"
        exit $SKIP
    fi
    out=$work/$case_name
    rm -rf "$out"
    mkdir -p "$out" "$artifacts"
    rm -f "$artifacts/$case_name"-*
    trap cleanup EXIT
    "$WINESERVER" -k 2>/dev/null
    rm -f "$device_link"
    log "# $case_name: $(basename "$exe") ($arch) under $(basename "$loader"), logs in $out"
}

end_case() {
    shots_to_png
    if [ "$failures" -ne 0 ]; then
        log "FAILED: $failures check(s) of $case_name"
        exit 1
    fi
    log "PASSED: $case_name"
    exit 0
}

# --- The prefix ------------------------------------------------------------------------------------
make_prefix() {
    local picked
    # A prefix of an earlier run must not outlive this one's verdict.
    rm -f "$env_file"
    if ! picked=$(pick_wine); then
        exit $SKIP
    fi
    eval "$picked"
    mkdir -p "$work"
    rm -rf "$prefix_dir" "$env_file"
    export WINEPREFIX=$prefix_dir WINEDEBUG=-all WINELOADER=$loader WINEDLLOVERRIDES="mscoree,mshtml="
    local wineserver_bin
    wineserver_bin=$(dirname "$loader")/wineserver
    "$loader" wineboot -i >"$work/wineboot.log" 2>&1 || {
        log "FAIL: wineboot: $(tail -3 "$work/wineboot.log")"
        exit 1
    }
    # One virtual desktop per run: windows get frames and titles, and screenshots show them.
    "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    "$wineserver_bin" -w
    if [ -z "${MAKE_IMAGES:-}" ] || [ ! -x "$MAKE_IMAGES" ]; then
        log "FAIL: make-images is built by the host build (target make-images): ${MAKE_IMAGES:-not configured}"
        exit 1
    fi
    rm -rf "$images"
    "$MAKE_IMAGES" --out "$images" >"$work/make-images.log" 2>&1 || {
        log "FAIL: make-images: $(tail -3 "$work/make-images.log")"
        exit 1
    }
    printf 'loader=%q\nbuild=%q\narch=%q\n' "$loader" "$build" "$arch" >"$env_file"
    log "Wine prefix ready: $prefix_dir ($arch build under $(basename "$loader"))"
    exit 0
}

# --- The cases -------------------------------------------------------------------------------------
# Each case runs inside its own virtual X server.
if [ "$case_name" != prefix ] && [ -z "${E2E_UNDER_XVFB:-}" ]; then
    if [ -f "$env_file" ] || pick_wine >/dev/null 2>&1; then
        E2E_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
    fi
    pick_wine >/dev/null
    exit $SKIP
fi

wizard_steps_to_page2=(find Korvane 30000 click 1025 press next wait title "Download Image" 15000)

case "$case_name" in
prefix)
    make_prefix
    ;;

welcome)
    # The first page, the agreement box, and the single-copy test.
    begin_case
    # A logo in the image directory is no logo: the page looks only in the cache folder.
    solid_bmp "$out/oem_Logo.bmp" 0 255 0
    cp "$out/oem_Logo.bmp" "$images/oem_Logo.bmp"
    start_wizard
    drive find Korvane 30000 state sleep 500 pixel 1022 shot "$artifacts/welcome-first-page.bmp" \
        click 1025 state click 1025 state click 1025 state \
        focus-self run "$exe" 20000 foreground state \
        press cancel gone 10000
    d=$out/driver.log
    expect "$d" "the wizard opens on the welcome page, titled Korvane" ' found "Korvane"$'
    expect "$d" "the picture is the built-in one, not a logo from the image directory" ' pixel 1022 [0-9]+,[0-9]+,[0-9]+$'
    expect_not "$d" "the image directory's logo is not shown" ' pixel 1022 0,255,0$'
    rm -f "$images/oem_Logo.bmp"
    expect "$d" "page shown: Next, Back and Finish disabled, Cancel enabled, box unticked" \
        '^ *[0-9]+ state sheet=open title="Korvane" back=0 next=0 finish=0 cancel=1 help=(absent|hidden) check=0$'
    expect "$d" "ticking the box enables Next" 'state .* next=1 finish=0 cancel=1 help=(absent|hidden) check=1$'
    # The three state lines after the clicks, in order: ticked, unticked, ticked.
    states=$(grep -E ' state sheet=open title="Korvane"' "$d" | sed -E 's/.* next=([01]) .* check=([01])$/\1\2/' | tr '\n' ' ')
    if [[ "$states" == "00 11 00 11 "* ]]; then pass "Next follows the box: off, on, off, on ($states)"; else fail "Next follows the box: got $states"; fi
    expect_not "$d" "no Help button on the welcome page" 'help=shown'
    expect "$d" "a second copy ends at once and shows no window" ' run ended exit=0 windows=0 '
    expect "$d" "the second copy brought the first copy's wizard to the foreground" ' foreground "Korvane"$'
    expect_count "$d" "no message box" 0 ' box caption='
    expect "$d" "Cancel on the welcome page closes the wizard" ' gone$'
    wizard_ended
    end_case
    ;;

logo)
    # A logo in the user's Temporary Internet Files folder replaces the built-in picture.
    begin_case
    cache=$(cache_folder)
    if [ -z "$cache" ]; then
        fail "the prefix has a Temporary Internet Files folder"
        end_case
    fi
    solid_bmp "$cache/oem_Logo.bmp" 255 0 255
    start_wizard
    drive find Korvane 30000 sleep 500 pixel 1022 shot "$artifacts/logo-first-page.bmp" press cancel gone 10000
    rm -f "$cache/oem_Logo.bmp"
    d=$out/driver.log
    expect "$d" "the logo from the cache folder is shown" ' pixel 1022 255,0,255$'
    wizard_ended
    end_case
    ;;

no-device)
    # Next without a handset: the open fails and the wizard stays where it is.
    begin_case
    start_wizard
    drive find Korvane 30000 keep-boxes click 1025 press next boxes 1 15000 sleep 300 \
        shot "$artifacts/no-device-message.bmp" close-boxes sleep 700 state \
        shot "$artifacts/no-device-after-next.bmp" click 1025 wait next 1 5000 state sleep 500 \
        press cancel gone 10000
    d=$out/driver.log
    expect "$d" "the open failure is told, with the system's code for a missing device" \
        "$(box_line '"Vestrel"' "$(esc '"Can'"'"'t find Windows CE USB device\n Error code: 2"')" wizard)"
    expect_count "$d" "exactly one message box" 1 ' box caption='
    expect "$d" "the wizard stays on the welcome page, Next disabled, box unticked" \
        'state sheet=open title="Korvane" back=0 next=0 finish=0 cancel=1 help=(absent|hidden) check=0$'
    expect "$d" "ticking the box makes Next usable again" ' reached next=1$'
    expect_not "$d" "the download page never appears" 'title="Download Image"'
    expect "$d" "Cancel closes the wizard" ' gone$'
    wizard_ended
    end_case
    ;;

not-a-port)
    # A device that opens but is no serial port: the port's own message, then the page's.
    begin_case
    ln -sf /dev/null "$device_link"
    start_wizard
    drive find Korvane 30000 click 1025 press next boxes 2 15000 sleep 700 state \
        shot "$artifacts/not-a-port-after-next.bmp" press cancel gone 10000
    d=$out/driver.log
    expect "$d" "the port reports that it cannot set the line settings" \
        "$(box_line '"Error"' '"SetCommState Error"' none)"
    expect "$d" "then the page reports its own failure" "$(box_line '"Vestrel"' '"config port fail"' wizard)"
    expect_count "$d" "two message boxes in all" 2 ' box caption='
    first=$(grep -n 'SetCommState Error' "$d" | head -1 | cut -d: -f1)
    second=$(grep -n 'config port fail' "$d" | head -1 | cut -d: -f1)
    if [ -n "$first" ] && [ -n "$second" ] && [ "$first" -lt "$second" ]; then
        pass "the port's message comes first"
    else
        fail "the port's message comes first"
    fi
    expect "$d" "the wizard stays on the welcome page with Next disabled" \
        'state sheet=open title="Korvane" back=0 next=0 finish=0 cancel=1 help=(absent|hidden) check=0$'
    wizard_ended
    end_case
    ;;

full-run)
    # A whole flashing run, real pauses included, to Finish; the simulator judges every byte.
    begin_case
    start_sim || end_case
    start_wizard
    drive find Korvane 30000 shot "$artifacts/full-run-first-page.bmp" click 1025 press next \
        wait title "Download Image" 15000 state wait overall 10 60000 sleep 1000 state \
        shot "$artifacts/full-run-download-page.bmp" keep-boxes boxes 1 240000 sleep 300 \
        shot "$artifacts/full-run-end-message.bmp" close-boxes wait finish 1 10000 sleep 300 state \
        shot "$artifacts/full-run-end-state.bmp" press finish gone 10000
    d=$out/driver.log
    expect "$d" "Next leads to the download page" ' event title="Download Image"$'
    expect "$d" "during the run only Cancel is enabled" \
        'state sheet=open title="Download Image" back=0 next=0 finish=0 cancel=1 .* overall=10 '
    expect "$d" "the upgrade ends with the success message, owned by the wizard" \
        "$(box_line '"Vestrel"' '"Upgrade completed, download successful, please reboot your device\."' wizard)"
    expect_count "$d" "no other message box" 1 ' box caption='
    expect "$d" "the end: only Finish enabled, Cancel disabled, 100%" \
        'state sheet=open title="Download Image" back=0 next=0 finish=1 cancel=0 help=(absent|hidden) overall=100 phase=[0-9]+ percent="100%"'
    for milestone in 10 80 100; do
        expect "$d" "the overall bar reaches $milestone" " event overall=$milestone$"
    done
    overall=$(grep -E ' event overall=' "$d" | sed -E 's/.*overall=//' | tr '\n' ' ')
    if printf '%s\n' $overall | sort -n -c 2>/dev/null; then
        pass "the overall bar never goes back ($overall)"
    else
        fail "the overall bar never goes back ($overall)"
    fi
    expect "$d" "Finish closes the wizard" ' gone$'
    wizard_ended
    if finish_sim; then pass "handset-sim: flashed byte for byte"; else fail "handset-sim's verdict: $(tail -5 "$out/sim.log")"; fi
    expect "$out/verdict.json" "the verdict file says pass" '"result": *"pass"'
    end_case
    ;;

partition-refused)
    # The programmer refuses the partition table: one box, the page back to zero, only Cancel.
    begin_case
    start_sim --scenario partition-status --status 1 || end_case
    start_wizard
    drive "${wizard_steps_to_page2[@]}" boxes 1 120000 wait percent 0% 10000 sleep 500 state \
        shot "$artifacts/partition-refused-end-state.bmp" press cancel gone 10000
    d=$out/driver.log
    expect "$d" "the refusal is told with the programmer's verdict" \
        "$(box_line '"Error"' '"Partition table differs, override will be accepted\."' wizard)"
    expect_count "$d" "one message box only" 1 ' box caption='
    expect "$d" "the bar stood at 10 before the refusal" ' event overall=10$'
    expect "$d" "after the refusal: bars at 0, 0%, the failure on the status line, only Cancel" \
        'state sheet=open title="Download Image" back=0 next=0 finish=0 cancel=1 help=(absent|hidden) overall=0 phase=0 percent="0%" status="Partition table differs, override will be accepted\. Download process stop\."$'
    expect_not "$d" "no image is sent after the refusal" 'event status="Sending OEM'
    t_cancel=$(stamp_of "$d" ' press cancel$')
    t_gone=$(stamp_of "$d" ' gone$')
    if [ -n "$t_gone" ] && [ $((t_gone - t_cancel)) -lt 1800 ]; then
        pass "Cancel after a failure closes at once ($((t_gone - t_cancel)) ms)"
    else
        fail "Cancel after a failure closes at once (cancel at $t_cancel, gone at ${t_gone:-never})"
    fi
    wizard_ended
    end_case
    ;;

open-refused)
    # The programmer refuses to open the first boot image.
    begin_case
    start_sim --scenario open-status --image oemsbl --status 4 || end_case
    start_wizard
    drive "${wizard_steps_to_page2[@]}" boxes 1 120000 wait percent 0% 10000 sleep 500 state \
        shot "$artifacts/open-refused-end-state.bmp" press cancel gone 10000
    d=$out/driver.log
    expect "$d" "the refusal is told with the programmer's verdict" \
        "$(box_line '"Error"' '"Upgrade partition fail: Block 0 write protected\."' wizard)"
    expect_count "$d" "one message box only" 1 ' box caption='
    expect "$d" "the partition table had been accepted (20%)" ' event overall=20$'
    expect "$d" "after the refusal: bars at 0, 0%, the failure on the status line, only Cancel" \
        'state sheet=open title="Download Image" back=0 next=0 finish=0 cancel=1 help=(absent|hidden) overall=0 phase=0 percent="0%" status="Upgrade partition fail: Block 0 write protected\. Download process stop\."$'
    expect_not "$d" "the next image is never started" 'event status="Sending AMSS'
    wizard_ended
    end_case
    ;;

cancel)
    # Cancel while the worker waits for an answer that never comes: the wizard is held for the
    # 2000 ms grace period, the worker is stopped, then the wizard closes.
    begin_case
    start_sim --scenario silent --at hello || end_case
    start_wizard
    drive "${wizard_steps_to_page2[@]}" wait overall 10 60000 run "$exe" 4000 sleep 3000 state \
        shot "$artifacts/cancel-before-cancel.bmp" press cancel gone 15000
    d=$out/driver.log
    expect "$d" "the run was under way (10%)" 'state sheet=open title="Download Image" .* overall=10 .*percent="10%"'
    expect "$d" "a copy showing the download page does not stop a new copy" ' run still-running exit=[0-9]+ windows=[1-9]'
    expect_count "$d" "no message box" 0 ' box caption='
    t_cancel=$(stamp_of "$d" ' press cancel$')
    t_gone=$(stamp_of "$d" ' gone$')
    if [ -n "$t_gone" ] && [ $((t_gone - t_cancel)) -ge 1800 ] && [ $((t_gone - t_cancel)) -lt 8000 ]; then
        pass "the wizard closes after the 2000 ms wait for the worker ($((t_gone - t_cancel)) ms)"
    else
        fail "the wizard closes after the 2000 ms wait for the worker (cancel at $t_cancel, gone at ${t_gone:-never})"
    fi
    wizard_ended
    end_case
    ;;

*)
    log "unknown case: $case_name"
    exit 2
    ;;
esac
