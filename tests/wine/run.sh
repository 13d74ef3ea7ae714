#!/usr/bin/env bash
# Runs QuillonDownload.exe under Wine on a virtual X display and works it
# with tests/wine/driver.exe; COM7 is a pseudo-terminal whose far end echoes
# (tests/wine/pty_peer.py), given modem lines by pty_modem_shim.so.
#
#   tests/wine/run.sh [--shots DIR]     (needs wine, Xvfb, MinGW-w64, ImageMagick)
#
# Prints one line per check; exits 1 when any check fails.
set -uo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
SHOTS=""
[[ "${1:-}" == "--shots" ]] && SHOTS="$2"

OUT=$ROOT/build/wine
mkdir -p "$OUT"
CXX=x86_64-w64-mingw32-g++-posix
FLAGS=(-std=c++20 -O1 -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Werror -I"$ROOT/src" -static)

cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2 >/dev/null || { echo "build failed"; exit 1; }
APP=$ROOT/build/win32/src/win32app/QuillonDownload.exe
$CXX "${FLAGS[@]}" -o "$OUT/driver.exe" tests/wine/driver.cpp || exit 1
$CXX "${FLAGS[@]}" -o "$OUT/serial_check.exe" tests/wine/serial_check.cpp src/platform/win32/win32_serial.cpp || exit 1
$CXX "${FLAGS[@]}" -o "$OUT/host_check.exe" tests/wine/host_check.cpp src/platform/win32/win32_host.cpp \
  -lcomctl32 -lcomdlg32 -lsetupapi -lgdi32 || exit 1
x86_64-w64-mingw32-windres -I src/win32app src/win32app/quillon.rc -O coff -o "$OUT/quillon_res.o" || exit 1
$CXX "${FLAGS[@]}" -o "$OUT/dialog_check.exe" tests/wine/dialog_check.cpp src/platform/win32/win32_host.cpp \
  "$OUT/quillon_res.o" -lcomctl32 -lcomdlg32 -lsetupapi -lgdi32 || exit 1
gcc -shared -fPIC -Wall -Wextra -Werror -o "$OUT/pty_modem_shim.so" tests/wine/pty_modem_shim.c -ldl || exit 1

export WINEPREFIX=$OUT/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LD_PRELOAD=$OUT/pty_modem_shim.so QUILLON_PTY_CTS_OFF=$OUT/cts_off
rm -f "$QUILLON_PTY_CTS_OFF"

PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; }
trap cleanup EXIT

if [[ -z "${DISPLAY:-}" ]]; then
  for n in $(seq 90 99); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
      Xvfb ":$n" -screen 0 1024x768x24 >/dev/null 2>&1 &
      PIDS+=($!)
      export DISPLAY=":$n"
      break
    fi
  done
  sleep 1
fi
[[ -d $WINEPREFIX ]] || wineboot -i >/dev/null 2>&1

python3 tests/wine/pty_peer.py --link "$WINEPREFIX/dosdevices/com7" --echo --log "$OUT/com7.log" >/dev/null 2>&1 &
PIDS+=($!)
# COM6 takes nothing at all: writes to it stall.
python3 tests/wine/pty_peer.py --link "$WINEPREFIX/dosdevices/com6" --stall >/dev/null 2>&1 &
PIDS+=($!)
# COM8 only listens: what the program sends is kept in com8.log.
python3 tests/wine/pty_peer.py --link "$WINEPREFIX/dosdevices/com8" --log "$OUT/com8.log" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do [[ -L $WINEPREFIX/dosdevices/com6 && -L $WINEPREFIX/dosdevices/com7 && -L $WINEPREFIX/dosdevices/com8 ]] && break; sleep 0.1; done

FAILED=0
check() {  # check <description> <expected line> <output>
  if grep -qxF -- "$2" <<<"$3"; then echo "ok   $1"; else
    echo "FAIL $1 (wanted: $2; got:"; sed 's/^/       /' <<<"$3"; echo "     )"; FAILED=1; fi
}
drive() { timeout 60 wine "$OUT/driver.exe" "$@" 2>/dev/null | tr -d '\r'; }
shot() { [[ -n $SHOTS ]] && mkdir -p "$SHOTS" && import -window root -crop 940x560+0+0 "$SHOTS/$1.png" 2>/dev/null; }
# Waits up to 3 s for the connection strip (a few pixels into it) to show
# a colour; prints the colour name when it does, the colour seen otherwise.
strip_colour() {  # strip_colour <name> <srgb value>
  local seen=""
  for _ in $(seq 15); do
    import -window root "$OUT/strip.png" 2>/dev/null
    seen=$(convert "$OUT/strip.png" -format '%[pixel:p{60,25}]' info: 2>/dev/null)
    [[ $seen == "$2" ]] && { echo "$1"; return; }
    sleep 0.2
  done
  echo "$seen"
}
start_app() {  # start_app <command line>; sets APP_PID
  wine "$APP" "$@" >/dev/null 2>&1 &
  APP_PID=$!
  PIDS+=($APP_PID)
}
app_exit() {  # waits (up to 10 s) for the program to end; sets EXIT_CODE
  local waited=0
  while kill -0 "$APP_PID" 2>/dev/null && (( waited < 100 )); do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$APP_PID" 2>/dev/null; then EXIT_CODE="still running"; return; fi
  wait "$APP_PID" 2>/dev/null  # in this shell: a subshell cannot wait for it
  EXIT_CODE=$?
}

echo "--- serial backend on COM7"
timeout 120 wine "$OUT/serial_check.exe" 7 'Z:'"${QUILLON_PTY_CTS_OFF//\//\\}" 6 2>/dev/null | tr -d '\r' | tee "$OUT/serial_check.txt"
grep -q '^0 failure(s)$' "$OUT/serial_check.txt" || FAILED=1

echo "--- dialog host on real windows"
timeout 120 wine "$OUT/host_check.exe" 2>/dev/null | tr -d '\r' | tee "$OUT/host_check.txt"
grep -q '^0 failure(s)$' "$OUT/host_check.txt" || FAILED=1

echo "--- the host's modal dialogs and file choosers"
echo probe > "$OUT/exists.txt"
timeout 120 wine "$OUT/dialog_check.exe" "Z:${OUT//\//\\}\\exists.txt" 2>/dev/null | tr -d '\r' | tee "$OUT/dialog_check.txt"
grep -q '^0 failure(s)$' "$OUT/dialog_check.txt" || FAILED=1

echo "--- guide with COM7 from the command line"
start_app com7
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 text:1029 text:1028 text:1026 enabled:1017 shown:1016 text:1016)
check "page 1 title" "1027=STEP 1 - Connecting the USB Cable" "$R"
check "page 1 upper text" "1029=Turn the Quillon power switch to the OFF position." "$R"
check "page 1 prompt" "1026=When the cable is connected, press NEXT" "$R"
check "Back disabled on page 1" "1017.enabled=0" "$R"
check "strip black with no port" "black" "$(strip_colour black 'srgb(0,0,0)')"
shot page1
R=$(drive wait:1000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 enabled:1017)
check "page 2 title" "1027=STEP 2 - Readying the Quillon" "$R"
check "Back enabled on page 2" "1017.enabled=1" "$R"
shot page2
R=$(drive wait:1000 click:1016 until:1027:"STEP 3 - Selecting the Download":5000 text:1017 text:1016)
check "page 3 title" "1027=STEP 3 - Selecting the Download" "$R"
check "page 3 buttons" "1017=Bootloader" "$R"
check "page 3 buttons" "1016=Software" "$R"
shot page3
R=$(drive wait:1000 click:1016 until:1027:"STEP 4 - Downloading the Software":5000 pause:500)
check "Software opens COM7, page 4" "1027=STEP 4 - Downloading the Software" "$R"
check "strip green: port open, CTS on" "green" "$(strip_colour green 'srgb(0,255,0)')"
shot page4-software
touch "$QUILLON_PTY_CTS_OFF"
check "strip red when CTS drops" "red" "$(strip_colour red 'srgb(255,0,0)')"
rm -f "$QUILLON_PTY_CTS_OFF"
R=$(drive wait:1000 syscmd:16 win:"Service Tools":5000 pause:500 wtext:"Service Tools":1000 wcount:"Service Tools":1002 witem:"Service Tools":1002:0 witem:"Service Tools":1002:1)
check "service panel shows the port" "Service Tools/1000=7" "$R"
check "event log: opening" "Service Tools/1002[0]=Opening Device Com7 ..." "$R"
check "event log: opened" "Service Tools/1002[1]=Device Com7 opened successfully." "$R"
shot service-panel
find "$WINEPREFIX/drive_c/users" -name 'qcl*.tmp' -delete 2>/dev/null
R=$(drive wait:1000 wclick:"Service Tools":1006 wfind:".tmp - Notepad":15000)
check "Export Log opens the lines in notepad" "1" "$(grep -c '^found=qcl.*\.tmp - Notepad$' <<<"$R")"
EXPORTED=$(ls -t $(find "$WINEPREFIX/drive_c/users" -name "qcl*.tmp") 2>/dev/null | head -1)
check "the exported file holds the lines, CR LF ended" "Opening Device Com7 ...|Device Com7 opened successfully.|" \
  "$(tr '\r\n' '|#' < "${EXPORTED:-/dev/null}" | sed 's/#//g')"
drive wait:1000 wclose:".tmp - Notepad" >/dev/null
R=$(drive wait:1000 wclick:"Service Tools":1001 pause:500 wcount:"Service Tools":1002 wclick:"Service Tools":2 pause:300)
check "Clear Log empties the list" "Service Tools/1002.count=0" "$R"
R=$(drive wait:1000 click:1017 until:1027:"STEP 3 - Selecting the Download":5000 click:1017 until:1027:"STEP 4 - Downloading the Bootloader":5000)
check "Back on page 4 returns to page 3" "1027=STEP 3 - Selecting the Download" "$R"
check "Bootloader keeps the open port, page 4" "1027=STEP 4 - Downloading the Bootloader" "$R"
drive wait:1000 escape gone:5000 >/dev/null
app_exit
check "Escape ends the program with 0" "0" "$EXIT_CODE"

echo "--- port number asked for (\"com\" without a number)"
start_app com
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 click:1016 win:Dialog:5000 pause:300 wtext:Dialog:1000 wset:Dialog:1000:7 wclick:Dialog:1 until:1027:"STEP 3 - Selecting the Download":5000)
check "port dialog shows 0" "Dialog/1000=0" "$R"
check "page 3 after the port dialog" "1027=STEP 3 - Selecting the Download" "$R"
R=$(drive wait:1000 click:1016 until:1027:"STEP 4 - Downloading the Software":5000)
check "the entered port 7 opens" "1027=STEP 4 - Downloading the Software" "$R"
drive wait:1000 close gone:5000 >/dev/null
app_exit
check "the close box ends the program with 0" "0" "$EXIT_CODE"

echo "--- a port that cannot be opened (COM9)"
start_app com9
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 click:1016 until:1027:"STEP 3 - Selecting the Download":5000 click:1016 box:8000)
check "warning box names the port" "box=Tarnfield Quillon (v1.0.2) Software Download Utility|The USB port (9) connection could not be opened.  Please check that all steps are followed completely." "$R"
shot open-failure
R=$(drive wait:1000 box:2000 answer:1 until:1027:"STEP 1 - Connecting the USB Cable":5000)
check "Software after a failed open returns to page 1" "1027=STEP 1 - Connecting the USB Cable" "$R"
drive wait:1000 click:1030 gone:5000 >/dev/null
app_exit
check "Close ends the program with 0" "0" "$EXIT_CODE"

echo "--- port number from the registry (\"Portname\" when \"PortName\" holds none)"
KEY='HKLM\SYSTEM\CurrentControlSet\Enum\USB\Vid_10C4&Pid_EA60&Mi_00\0001_00\Device Parameters'
wine reg add "$KEY" /v PortName /d XYZ /f >/dev/null 2>&1
wine reg add "$KEY" /v Portname /d COM12 /f >/dev/null 2>&1
# COM12 is the same far end as COM7, so the opened port can be checked.
ln -sfn "$(readlink "$WINEPREFIX/dosdevices/com7")" "$WINEPREFIX/dosdevices/com12"
start_app
R=$(drive wait:30000 syscmd:16 win:"Service Tools":5000 pause:300 wtext:"Service Tools":1000 wclick:"Service Tools":2 \
    click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 click:1016 until:1027:"STEP 3 - Selecting the Download":5000 \
    click:1016 until:1027:"STEP 4 - Downloading the Software":5000)
check "the registry's port is shown" "Service Tools/1000=12" "$R"
check "no port dialog; the registry's port opens" "1027=STEP 4 - Downloading the Software" "$R"
drive wait:1000 escape gone:5000 >/dev/null
app_exit
check "Escape ends the program with 0" "0" "$EXIT_CODE"
wine reg delete "$KEY" /f >/dev/null 2>&1

echo "--- bootloader download on COM8"
start_app com8
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 \
    click:1016 until:1027:"STEP 3 - Selecting the Download":5000 click:1017 until:1027:"STEP 4 - Downloading the Bootloader":5000)
check "Bootloader opens COM8, page 4" "1027=STEP 4 - Downloading the Bootloader" "$R"
: > "$OUT/com8.log"
R=$(drive wait:1000 click:1016 until:1027:"Download Complete":60000 text:1029 text:1026)
check "page 6 after the download" "1027=Download Complete" "$R"
check "page 6 gives the byte count" "1029=Please verify that the number of data bytes transmitted (30356) matches the number of bytes received by the Quillon.  The Quillon shows the number in parenthesis at the bottom of the display." "$R"
check "page 6 prompt" "1026=Press BACK if you want to load the software." "$R"
shot page6-bootloader
IMAGE=$ROOT/build/win32/src/resources/ZYN_BOOTLOADER.bin
sleep 0.5
check "the readout received the image byte for byte" "same" "$(cmp -s "$IMAGE" "$OUT/com8.log" && echo same || echo "differs: $(stat -c %s "$OUT/com8.log") bytes")"
R=$(drive wait:1000 syscmd:16 win:"Service Tools":5000 wline:"Service Tools":1002:"Done loading." wclick:"Service Tools":2)
check "the log says the load is done" "line=Done loading." "$R"
R=$(drive wait:1000 click:1017 until:1027:"STEP 3 - Selecting the Download":5000 \
    syscmd:16 win:"Service Tools":5000 wline:"Service Tools":1002:"Closing current device ..." wclick:"Service Tools":2)
check "Back on page 6 closes the port" "line=Closing current device ..." "$R"
check "Back on page 6 shows page 3" "1027=STEP 3 - Selecting the Download" "$R"
drive wait:1000 escape gone:5000 >/dev/null
app_exit
check "Escape ends the program with 0" "0" "$EXIT_CODE"

echo "--- software download on COM8"
: > "$OUT/com8.log"
start_app com8
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 \
    click:1016 until:1027:"STEP 3 - Selecting the Download":5000 click:1016 until:1027:"STEP 4 - Downloading the Software":5000 \
    click:1016 until:1027:"Download Complete":120000 text:1029 text:1026)
check "page 6 after the software download" "1027=Download Complete" "$R"
check "page 6 gives the software's byte count" "1029=Please verify that the number of data bytes transmitted (4759532) matches the number of bytes received by the Quillon.  The Quillon shows the number in parenthesis at the bottom of the display." "$R"
check "page 6 asks for Close after the software" "1026=Press CLOSE to exit this program." "$R"
shot page6-software
IMAGE=$ROOT/build/win32/src/resources/ZYN_SOFTWARE.bin
sleep 0.5
check "the readout received the software image byte for byte" "same" "$(cmp -s "$IMAGE" "$OUT/com8.log" && echo same || echo "differs: $(stat -c %s "$OUT/com8.log") bytes")"
drive wait:1000 click:1030 gone:5000 >/dev/null
app_exit
check "Close ends the program with 0" "0" "$EXIT_CODE"

echo "--- flash erase answered by the readout (COM7 echoes)"
start_app com7
R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 \
    click:1016 until:1027:"STEP 3 - Selecting the Download":5000 click:1016 until:1027:"STEP 4 - Downloading the Software":5000 \
    syscmd:16 win:"Service Tools":5000 wclick:"Service Tools":1014 box:5000 answer:6 \
    wline:"Service Tools":1002:"Done erasing user storage." until:1027:"Download Complete":10000)
check "the erase asks first" "box=Tarnfield Quillon (v1.0.2) Software Download Utility|Are you sure you want to erase the flash?" "$R"
check "the echoed answer completes the erase" "line=Done erasing user storage." "$R"
check "page 6 after the erase" "1027=Download Complete" "$R"
drive wait:1000 escape gone:5000 >/dev/null
app_exit
check "Escape ends the program with 0" "0" "$EXIT_CODE"

SIM=$ROOT/build/dev/src/sim/quillon-sim
winpath() { echo "Z:${1//\//\\}"; }
if [[ -x $SIM ]]; then
  echo "--- packet transfers against quillon-sim on COM5"
  rm -rf "$OUT/simstore" && mkdir -p "$OUT/simstore"
  "$SIM" --store "$OUT/simstore" > "$OUT/sim.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do [[ -s $OUT/sim.out ]] && break; sleep 0.1; done
  ln -sfn "$(head -1 "$OUT/sim.out")" "$WINEPREFIX/dosdevices/com5"
  printf 'settings payload \000\001\377 end' > "$OUT/settings.bin"
  rm -f "$OUT/got_settings.bin"
  start_app com5
  R=$(drive wait:30000 until:1027:"STEP 1 - Connecting the USB Cable":5000 click:1016 until:1027:"STEP 2 - Readying the Quillon":5000 \
      click:1016 until:1027:"STEP 3 - Selecting the Download":5000 click:1016 until:1027:"STEP 4 - Downloading the Software":5000 \
      syscmd:16 win:"Service Tools":5000 wclick:"Service Tools":1003 wline:"Service Tools":1002:"buf(6)=100000")
  check "the test packet comes back as a LOG line" "1" "$(grep -c '^line=LOG: .*Cmd=3,.*buf(6)=100000$' <<<"$R")"
  R=$(drive wait:1000 wclick:"Service Tools":1023 win:Open:10000 pause:500 wset:Open:1148:"$(winpath "$OUT/settings.bin")" \
      wclick:Open:1 box:30000 answer:1)
  check "a settings file is sent" "box=Tarnfield Quillon (v1.0.2) Software Download Utility|Transfer of settings sucessfully completed." "$R"
  check "the readout stored it byte for byte" "same" "$(cmp -s "$OUT/settings.bin" "$OUT/simstore/settings.bin" && echo same || echo differs)"
  R=$(drive wait:1000 wclick:"Service Tools":1022 win:"Save As":10000 pause:500 wset:"Save As":1148:"$(winpath "$OUT/got_settings.bin")" \
      wclick:"Save As":1 box:30000 answer:1)
  check "the settings file is received" "box=Tarnfield Quillon (v1.0.2) Software Download Utility|Transfer of settings sucessfully completed." "$R"
  check "the received file is the stored one" "same" "$(cmp -s "$OUT/settings.bin" "$OUT/got_settings.bin" && echo same || echo differs)"
  printf 'program PROG1 \000\377 body' > "$OUT/simstore/PROG1"
  rm -f "$OUT/got_program.bin"
  R=$(drive wait:1000 wclick:"Service Tools":1024 win:"Program Name":10000 wset:"Program Name":1000:PROG1 \
      wclick:"Program Name":1 win:"Save As":10000 pause:500 wset:"Save As":1148:"$(winpath "$OUT/got_program.bin")" \
      wclick:"Save As":1 box:30000 answer:1)
  check "a program file is received by name" "box=Tarnfield Quillon (v1.0.2) Software Download Utility|Transfer of program sucessfully completed." "$R"
  check "the received program is the stored one" "same" "$(cmp -s "$OUT/simstore/PROG1" "$OUT/got_program.bin" && echo same || echo differs)"
  shot transfers
  drive wait:1000 escape gone:5000 >/dev/null
  app_exit
  check "Escape ends the program with 0" "0" "$EXIT_CODE"
else
  echo "--- packet transfers skipped: build quillon-sim first (cmake --build --preset dev --target quillon-sim)"
fi

if (( FAILED )); then echo "SOME CHECKS FAILED"; exit 1; fi
echo "all checks passed"
