#!/usr/bin/env bash
# Makes the packages for the production line in dist/:
#   quillon_VERSION_ARCH.deb          quillon, quillon-sim, man pages, udev rule,
#                                     bash completion (CPack, release preset)
#   quillon-VERSION-windows-x64.zip   QuillonDownload.exe, quillon.exe, README.md,
#                                     LICENSES/ (win32 preset)
#   quillon-VERSION-windows-x64-setup.exe   the same files in an installer (NSIS)
#   SHA256SUMS
# The firmware images embedded are the files named by QUILLON_BOOTLOADER_IMAGE
# and QUILLON_SOFTWARE_IMAGE. Without them the placeholders go in, which are
# useless on a real readout, and VERSION becomes 1.0.2+placeholder in every
# package's name and version; --real-images refuses to go on without them.
# Usage: scripts/package.sh [--real-images]     (JOBS=N: parallel build jobs, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
die() { echo "package.sh: $*" >&2; exit 1; }

real_images=0
case "${1:-}" in
  "") ;;
  --real-images) real_images=1 ;;
  *) die "usage: scripts/package.sh [--real-images]" ;;
esac

scripts/setup.sh package

boot=${QUILLON_BOOTLOADER_IMAGE:-}
soft=${QUILLON_SOFTWARE_IMAGE:-}
if [ -n "$boot" ] && [ -n "$soft" ]; then
  boot=$(realpath -e "$boot") || die "QUILLON_BOOTLOADER_IMAGE: no such file"
  soft=$(realpath -e "$soft") || die "QUILLON_SOFTWARE_IMAGE: no such file"
  images="real: $boot, $soft"
  suffix=""
elif [ "$real_images" -eq 1 ]; then
  die "--real-images: set QUILLON_BOOTLOADER_IMAGE and QUILLON_SOFTWARE_IMAGE"
else
  [ -z "$boot$soft" ] || die "set both QUILLON_BOOTLOADER_IMAGE and QUILLON_SOFTWARE_IMAGE, or neither"
  images="PLACEHOLDERS (useless on a real readout; not for the production line)"
  suffix="+placeholder"
fi
# Given every time, so an image from an earlier configure never lingers.
image_args=(-DQUILLON_BOOTLOADER_IMAGE="$boot" -DQUILLON_SOFTWARE_IMAGE="$soft")
jobs=${JOBS:-2}
step() { printf '\n=== %s ===\n' "$*"; }

step "Debian package (release preset)"
cmake --preset release "${image_args[@]}" >/dev/null
cmake --build --preset release -j"$jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[ -n "$version" ] || die "no project version in build/release/CMakeCache.txt"
version+=$suffix  # as cmake/packaging.cmake gives it to the Debian package
rm -rf build/release/package
if ! log=$(cpack --config build/release/CPackConfig.cmake -B build/release/package 2>&1); then
  echo "$log" >&2
  die "cpack failed"
fi
mkdir -p dist
rm -f dist/quillon_*.deb dist/quillon-*-windows-x64.zip dist/quillon-*-windows-x64-setup.exe dist/SHA256SUMS
cp build/release/package/quillon_"$version"_*.deb dist/

step "Windows zip (win32 preset)"
cmake --preset win32 "${image_args[@]}" >/dev/null
cmake --build --preset win32 -j"$jobs"
gui=build/win32/src/win32app/QuillonDownload.exe
cli=build/win32/src/cli/quillon.exe
for exe in "$gui" "$cli"; do
  [ -f "$exe" ] || die "$exe is missing: the win32 preset did not build it, so there is no Windows zip"
done
name=quillon-$version-windows-x64
stage=build/win32/package/$name
rm -rf build/win32/package
mkdir -p "$stage/LICENSES"
cp "$gui" "$cli" README.md "$stage/"
cp LICENSES/* "$stage/LICENSES/"
# The same inputs give the same zip: the last commit's time in the programs'
# headers and on every entry, sorted names, no owner or extra time fields.
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)
SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-strip --strip-unneeded \
  "$stage/QuillonDownload.exe" "$stage/quillon.exe"
find "$stage" -exec touch -h -d "@$epoch" {} +
(cd build/win32/package && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -9 -@ "../../../dist/$name.zip")

# --- the Windows installer: the zip's files, installed (contrib/windows/quillon.nsi)
step "Windows installer (NSIS)"
setup=$name-setup.exe
makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DOUTFILE="$PWD/dist/$setup" \
  contrib/windows/quillon.nsi || die "makensis failed"
# --- end of the installer

(cd dist && sha256sum quillon_"$version"_*.deb "$name.zip" "$setup" > SHA256SUMS)
step "dist/"
ls -l dist
echo "Firmware images: $images"
