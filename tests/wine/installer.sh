#!/usr/bin/env bash
# Installs the Windows installer silently (/S /PATH) into a Wine prefix of its own, checks files,
# shortcut, PATH and the Apps & Features entry, runs the installed quillon.exe, uninstalls and
# checks that all of it is gone. One line per check; exit 1 when any fails.
#   tests/wine/installer.sh dist/quillon-VERSION-windows-x64-setup.exe
set -uo pipefail
[[ -n "${DISPLAY:-}" ]] || exec xvfb-run -a "$0" "$@"
setup=$(realpath "$1")
version=$(basename "$setup" | sed -n 's/^quillon-\(.*\)-windows-x64-setup\.exe$/\1/p')
cd "$(dirname "$0")/../.."
# winemenubuilder would put the shortcut in this machine's own menus.
export WINEPREFIX=$PWD/build/wine/installer-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
mkdir -p "$(dirname "$WINEPREFIX")"
[[ -d $WINEPREFIX ]] || wineboot -i >/dev/null 2>&1
failed=0
check() { if "${@:2}" >/dev/null 2>&1; then echo "ok    installer: $1"; else echo "FAIL  installer: $1"; failed=1; fi; }
dir="$WINEPREFIX/drive_c/Program Files/Quillon"
lnk="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon/Quillon Software Download Utility.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
env='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
listed() { wine reg query "$key" /v UninstallString 2>/dev/null | grep -q 'uninstall\.exe'; }
not() { ! "$@"; }
on_path() { wine reg query "$env" /v Path 2>/dev/null | grep -qiF 'C:\Program Files\Quillon'; }

wine "$setup" /S /PATH && wineserver -w
check "both programs under Program Files" test -f "$dir/QuillonDownload.exe" -a -f "$dir/quillon.exe"
check "Start-menu shortcut to QuillonDownload.exe" grep -qa 'QuillonDownload\.exe' "$lnk"
check "Apps & Features lists the uninstaller" listed
check "/PATH puts the folder on PATH" on_path
# The program's version is the release's; "+placeholder" marks the package.
check "installed quillon.exe --version says ${version%+placeholder}" \
  bash -c 'wine "$1/quillon.exe" --version | tr -d "\r" | grep -qx "quillon $2"' _ "$dir" "${version%+placeholder}"
wine "$dir/uninstall.exe" /S && wineserver -w
check "uninstall removes the programs and the shortcut" test ! -e "$dir/quillon.exe" -a ! -e "$lnk"
check "uninstall removes the Apps & Features entry" not listed
check "uninstall takes the folder off PATH" not on_path
exit $failed
