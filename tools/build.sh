#!/usr/bin/env bash
# Builds everything: the Windows program and driver (cross), the native tests and the simulator.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
jobs=${QM_JOBS:-2}

cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/win" -j "$jobs"
CXX=clang++ cmake -S "$root/tests/fuzz" -B "$build/fuzz" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build/fuzz" -j "$jobs"
cmake -S "$root" -B "$build/native" -DCMAKE_BUILD_TYPE=Debug \
  -DQUELLMARK_WIN_BUILD_DIR="$build/win" -DQUELLMARK_FUZZ_BUILD_DIR="$build/fuzz" >/dev/null
cmake --build "$build/native" -j "$jobs"
