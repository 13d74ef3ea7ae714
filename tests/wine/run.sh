#!/usr/bin/env bash
# Runs QuillonDownload.exe under Wine on a virtual X display, worked by
# tests/wine/driver.exe, then once more at 144 dpi; COM ports are ptys
# (pty_peer.py) given modem lines by pty_modem_shim.so. Exits 1 on a failure.
#   tests/wine/run.sh [--shots DIR]     (needs wine, Xvfb, MinGW-w64, ImageMagick)
set -uo pipefail
# Without a display of its own the run starts one.
[[ -n "${DISPLAY:-}" ]] || exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
SHOTS=""
[[ "${1:-}" == "--shots" ]] && SHOTS=$(realpath -m "$2")
cd "$(dirname "$0")/../.."
ROOT=$PWD OUT=$PWD/build/wine
mkdir -p "$OUT"
cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2 >/dev/null || { echo "build failed"; exit 1; }
x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Werror -static \
  -o "$OUT/driver.exe" tests/wine/driver.cpp -lgdi32 || exit 1
gcc -shared -fPIC -Wall -Wextra -Werror -o "$OUT/pty_modem_shim.so" tests/wine/pty_modem_shim.c -ldl || exit 1

winpath() { echo "Z:${1//\//\\}"; }
export WINEPREFIX=$OUT/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LD_PRELOAD=$OUT/pty_modem_shim.so QUILLON_PTY_CTS_OFF=$OUT/cts_off
export QW_APP=$(winpath "$ROOT/build/win32/src/win32app/QuillonDownload.exe") QW_OUT=$(winpath "$OUT")
export QW_IMAGES=$(winpath "$ROOT/build/win32/src/resources") QW_SHOTS="" QW_SIM=0
# "1" when the build embedded generated placeholders instead of the firmware.
export QW_PLACEHOLDER=$(grep -q 'return true' "$ROOT/build/win32/src/resources/image_info.cpp" && echo 1)
rm -f "$QUILLON_PTY_CTS_OFF" "$OUT"/hold8 "$OUT"/unplug8 "$OUT"/line*.txt "$OUT"/*.bmp

PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; }
trap cleanup EXIT
[[ -d $WINEPREFIX ]] || wineboot -i >/dev/null 2>&1
# Wine's own fonts where this Wine does not find them: Marlett draws the
# caption buttons, and the small dialogs ask for MS Sans Serif.
for f in marlett ms_sans_serif tahoma; do
  [[ -e /usr/share/wine/fonts/$f.ttf ]] && cp -n /usr/share/wine/fonts/$f.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
done
# A desktop of Wine's own, so windows carry frames and captions and keys go
# where the focus is; LogPixels sets the dpi.
settings() {
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n\n%s\n"Default"="1024x768"\n\n%s\n"LogPixels"=dword:%08x\n' \
    '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' '[HKEY_CURRENT_USER\Control Panel\Desktop]' "$1" > "$OUT/settings.reg"
  wine regedit /S "$(winpath "$OUT/settings.reg")" 2>/dev/null
  # A session still running keeps the desktop it made before (wineboot leaves
  # its explorer behind for a while): the next program would get no frames.
  # Let the session end, so that the next one reads the settings.
  timeout 60 wineserver -w || { wineserver -k; wineserver -w; }
}
settings 96

# COM7 echoes, COM8 keeps what it gets (and can be unplugged), COM6 takes
# nothing, COM5 is quillon-sim.
# Peer files are not named com7.*: Windows takes such a name for the port.
peer() { python3 tests/wine/pty_peer.py --link "$WINEPREFIX/dosdevices/$1" "${@:2}" >/dev/null 2>&1 & PIDS+=($!); }
peer com7 --echo --line "$OUT/line7.txt"
peer com6 --stall
peer com8 --log "$OUT/sent8.bin" --line "$OUT/line8.txt" --hold "$OUT/hold8" --unplug "$OUT/unplug8"
D=$WINEPREFIX/dosdevices
for _ in $(seq 50); do [[ -L $D/com6 && -L $D/com7 && -L $D/com8 ]] && break; sleep 0.1; done

SIM=$ROOT/build/dev/src/sim/quillon-sim
if [[ -x $SIM ]]; then
  rm -rf "$OUT/simstore" "$OUT"/got_*.bin && mkdir -p "$OUT/simstore"
  printf 'settings payload \000\001\377 end' > "$OUT/settings.bin"
  printf 'program PROG1 \000\377 body' > "$OUT/simstore/PROG1"
  "$SIM" --store "$OUT/simstore" > "$OUT/sim.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do [[ -s $OUT/sim.out ]] && break; sleep 0.1; done
  ln -sfn "$(head -1 "$OUT/sim.out")" "$WINEPREFIX/dosdevices/com5" && QW_SIM=1
else
  echo "(packet transfers skipped: build quillon-sim first: cmake --build --preset dev --target quillon-sim)"
fi
[[ -n $SHOTS ]] && QW_SHOTS=$QW_OUT

FAILED=0
# Every check's line also goes to checks.txt: the failures are repeated at
# the end, where a log cut short in the middle still shows them.
: > "$OUT/checks.txt"
drive() { timeout "$1" wine "$OUT/driver.exe" "${@:2}" 2>/dev/null | tr -d '\r' | tee -a "$OUT/checks.txt"; }
drive 600 || FAILED=1
settings 144
drive 120 dpi || FAILED=1
settings 96

# quillon.exe, the command line, against quillon-sim on COM12: a registry
# record as the bridge's driver leaves it lets it find the port itself.
if [[ -x $SIM ]]; then
  echo "--- quillon.exe against quillon-sim on COM12"
  Q=$ROOT/build/win32/src/cli/quillon.exe
  check() { if [[ "$2" == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1 (got: $3)" | tee -a "$OUT/checks.txt"; FAILED=1; fi; }
  q() { timeout 120 wine "$Q" "$@" 2>"$OUT/q.err" | tr -d '\r' >"$OUT/q.out"; echo "exit=${PIPESTATUS[0]}"; }
  sim12() {
    "$SIM" "$@" >"$OUT/sim12.out" 2>/dev/null & PIDS+=($!)
    for _ in $(seq 50); do [[ -s $OUT/sim12.out ]] && break; sleep 0.1; done
    ln -sfn "$(head -1 "$OUT/sim12.out")" "$D/com12"
  }
  BRIDGE='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_10C4&PID_EA60\QUILLON1'
  wine reg add "$BRIDGE" /v ClassGUID /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f >/dev/null 2>&1
  wine reg add "$BRIDGE" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_10C4&PID_EA60&REV_0100' /f >/dev/null 2>&1
  wine reg add "$BRIDGE\Device Parameters" /v PortName /d COM12 /f >/dev/null 2>&1
  wine reg add "$BRIDGE" /v LocationInformation /d 'Port_#0003.Hub_#0001' /f >/dev/null 2>&1
  rm -rf "$OUT/qstore" "$OUT"/q_*.bin && mkdir -p "$OUT/qstore"
  sim12 --store "$OUT/qstore"
  drive 120 bridge || FAILED=1
  check "ports exits 0" "exit=0" "$(q ports)"
  check "ports marks COM12 as the readout's bridge" "1" "$(grep -c '^COM12  10c4:ea60.*<- Quillon readout bridge$' "$OUT/q.out")"
  q --json ports >/dev/null
  check "--json ports names COM12's serial number and location" "1" "$(grep -c '"port":"COM12".*"serial":"QUILLON1","location":"Port_#0003.Hub_#0001"' "$OUT/q.out")"
  check "test finds the bridge by itself and exits 0" "exit=0" "$(q test)"
  check "test says the readout answered" "1" "$(grep -c '^The readout answered the test command.$' "$OUT/q.out")"
  q -v test >/dev/null
  check "test -v shows the readout's answer" "1" "$(cat "$OUT/q.out" "$OUT/q.err" | tr -d '\r' | grep -c '^ERROR Unknown Command: .*Cmd=19,.*buf(6)=100000$')"
  printf 'cli settings \000\001\377 end\r\n' >"$OUT/q_a.bin"
  check "send settings exits 0" "exit=0" "$(q -p COM12 send settings "$(winpath "$OUT/q_a.bin")")"
  check "the readout stored the settings byte for byte" "same" "$(cmp -s "$OUT/q_a.bin" "$OUT/qstore/settings.bin" && echo same)"
  check "receive settings --json exits 0" "exit=0" "$(q -p com12 --json receive settings "$(winpath "$OUT/q_b.bin")")"
  check "the received settings are byte-identical" "same" "$(cmp -s "$OUT/q_a.bin" "$OUT/q_b.bin" && echo same)"
  check "every --json line parses, the result says done" "done" \
    "$(python3 -c 'import json,sys; e=[json.loads(l) for l in open(sys.argv[1])]; print([x["outcome"] for x in e if x["event"]=="result"][0])' "$OUT/q.out" 2>&1)"
  kill "${PIDS[-1]}"
  sim12 --mode boot --save-image "$OUT/q_boot.bin"
  check "download bootloader exits 0" "exit=0" "$(q -p COM12 download --allow-placeholder bootloader)"
  for _ in $(seq 50); do [[ -e $OUT/q_boot.bin ]] && break; sleep 0.1; done
  check "the readout got the embedded bootloader byte for byte" "same" \
    "$(cmp -s "$ROOT/build/win32/src/resources/ZYN_BOOTLOADER.bin" "$OUT/q_boot.bin" && echo same)"
  wine reg delete "$BRIDGE" /f >/dev/null 2>&1
fi
if [[ -n $SHOTS ]]; then
  mkdir -p "$SHOTS"
  for f in "$OUT"/*.bmp; do convert "$f" "$SHOTS/$(basename "${f%.bmp}").png" || FAILED=1; done
  echo "pictures: $(cd "$SHOTS" && ls -- *.png | tr '\n' ' ')"
fi
echo "took ${SECONDS} s"
(( FAILED )) && { grep -h '^FAIL' "$OUT/checks.txt"; echo "SOME CHECKS FAILED"; exit 1; }
echo "all checks passed"
