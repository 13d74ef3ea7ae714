#!/usr/bin/env bash
# shellcheck disable=SC2016,SC2317 # the bash -c scripts take "$1"; check runs listed
# Checks what scripts/package.sh left in dist/: every file in place in the
# Debian package and the Windows zip, the packaged programs start, and the
# Windows installer installs and uninstalls under Wine (tests/wine/installer.sh).
# One line per check; exit 1 when any fails. Usage: scripts/check_packages.sh
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok    $name"; else echo "FAIL  $name"; failed=1; fi
}
listed() { grep -qxF -- "$1" <<<"$2"; }

version=$(sed -n 's/^project(quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Packages around placeholder images carry +placeholder in name and version.
placeholder_debs=(dist/quillon_"$version"+placeholder_*.deb)
[ -f "${placeholder_debs[0]}" ] && version+=+placeholder
debs=(dist/quillon_"$version"_*.deb)
deb=${debs[0]}
zip=dist/quillon-$version-windows-x64.zip
check "one Debian package for $version in dist/" test ${#debs[@]} -eq 1 -a -f "$deb"
check "Windows zip $zip" test -f "$zip"
[ $failed -eq 0 ] || exit 1

# Where udev reads rules; Debian 12's udev.pc may say /lib/udev, the same
# directory under its merged /usr.
udevdir=$(pkg-config --variable=udevdir udev 2>/dev/null || true)
udevdir=${udevdir:-/usr/lib/udev}
[[ $udevdir == /lib/* ]] && udevdir=/usr$udevdir

deb_files=$(dpkg-deb -c "$deb" 2>/dev/null | awk '{print substr($6, 2)}')
for f in /usr/bin/quillon /usr/bin/quillon-sim /usr/share/man/man1/quillon.1.gz \
         /usr/share/man/man1/quillon-sim.1.gz "$udevdir/rules.d/60-quillon.rules" \
         /usr/share/bash-completion/completions/quillon /usr/share/doc/quillon/copyright \
         /usr/share/doc/quillon/json-events.md /usr/share/doc/quillon/report.md; do
  check "deb has $f" listed "$f" "$deb_files"
done
for field in "Package: quillon" "Version: $version" "Section: utils"; do
  check "deb control $field" grep -qxF " $field" <(dpkg-deb -I "$deb")
done
check "deb control Depends names libc6" grep -q '^ Depends:.*libc6' <(dpkg-deb -I "$deb")

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
check "quillon(1) names $udevdir/rules.d" grep -qF "$udevdir/rules.d/60-quillon.rules" \
  <(zcat "$root/usr/share/man/man1/quillon.1.gz")
release=${version%+placeholder}
check "dpkg -x: quillon --version prints $release" \
  grep -qx "quillon $release" <("$root/usr/bin/quillon" --version)
# The name says placeholder exactly when the programs carry one.
if [ "$release" != "$version" ]; then
  check "placeholder package: quillon --version names a placeholder image" \
    grep -q ' placeholder$' <("$root/usr/bin/quillon" --version)
else
  check "package: quillon --version names both images real" \
    test "$("$root/usr/bin/quillon" --version | grep -c ' real$')" -eq 2
fi
check "dpkg -x: quillon-sim --help" bash -c 'set -o pipefail; "$1" --help | grep "^quillon-sim"' _ \
  "$root/usr/bin/quillon-sim"
check "completion offers the subcommands" bash -c 'source "$1"; COMP_WORDS=(quillon d); COMP_CWORD=1
  _quillon; [ "${COMPREPLY[*]}" = download ]' _ "$root/usr/share/bash-completion/completions/quillon"

top=quillon-$version-windows-x64
zip_files=$(unzip -l "$zip" 2>/dev/null | awk 'NR > 3 {print $4}')
for f in QuillonDownload.exe quillon.exe README.md LICENSES/QUILLON.txt LICENSES/CLI11.txt \
         LICENSES/GCC-exception-3.1.txt LICENSES/GPL-3.0.txt LICENSES/mingw-w64.txt; do
  check "zip has $top/$f" listed "$top/$f" "$zip_files"
done
# A Windows program that needs only Windows' own DLLs (the GCC and pthread
# runtimes are linked in, as LICENSES/ says).
own_dlls_only() {
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$1" | grep 'DLL Name:') && grep -qi kernel32 <<<"$dlls" &&
    ! grep -qiE 'libstdc|libgcc|libwinpthread' <<<"$dlls"
}
unzip -q "$zip" -d "$root/zip"
for exe in QuillonDownload.exe quillon.exe; do
  check "zip: $exe needs no MinGW runtime DLL" own_dlls_only "$root/zip/$top/$exe"
done

setup=dist/quillon-$version-windows-x64-setup.exe
check "Windows installer $setup" test -f "$setup"
tests/wine/installer.sh "$setup" || failed=1

exit $failed
