#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root; does nothing when all is there.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev clang-tidy clang-format cppcheck libgtest-dev python3
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xdotool imagemagick e2fsprogs
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
