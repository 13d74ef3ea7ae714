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
rm -f "$QUILLON_PTY_CTS_OFF" "$OUT"/hold8 "$OUT"/line*.txt "$OUT"/*.bmp

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
}
settings 96

# COM7 echoes, COM8 keeps what it gets, COM6 takes nothing, COM5 is quillon-sim.
# Peer files are not named com7.*: Windows takes such a name for the port.
peer() { python3 tests/wine/pty_peer.py --link "$WINEPREFIX/dosdevices/$1" "${@:2}" >/dev/null 2>&1 & PIDS+=($!); }
peer com7 --echo --line "$OUT/line7.txt"
peer com6 --stall
peer com8 --log "$OUT/sent8.bin" --line "$OUT/line8.txt" --hold "$OUT/hold8"
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
timeout 600 wine "$OUT/driver.exe" 2>/dev/null | tr -d '\r' || FAILED=1
settings 144
timeout 120 wine "$OUT/driver.exe" dpi 2>/dev/null | tr -d '\r' || FAILED=1
settings 96
if [[ -n $SHOTS ]]; then
  mkdir -p "$SHOTS"
  for f in "$OUT"/*.bmp; do convert "$f" "$SHOTS/$(basename "${f%.bmp}").png" || FAILED=1; done
  echo "pictures: $(cd "$SHOTS" && ls -- *.png | tr '\n' ' ')"
fi
echo "took ${SECONDS} s"
(( FAILED )) && { echo "SOME CHECKS FAILED"; exit 1; }
echo "all checks passed"
