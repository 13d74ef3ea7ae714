#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only where it is
# missing, so a second run is quick. Usage: scripts/setup.sh [build|test|package]
set -euo pipefail

want=(cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev)
if [ "${1:-build}" = test ]; then
  # benchmarks, the Windows cross-build, libFuzzer (clang) and the Wine run
  want+=(libbenchmark-dev g++-mingw-w64-x86-64-posix mingw-w64-tools clang
         libclang-rt-14-dev wine wine64 xvfb x11-apps imagemagick lcov zip unzip dpkg-dev nsis)
fi
if [ "${1:-build}" = package ]; then
  # dpkg-shlibdeps for the Debian package's Depends, zip, the cross compiler, makensis
  want+=(dpkg-dev zip g++-mingw-w64-x86-64-posix nsis)
fi

missing=()
for pkg in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
