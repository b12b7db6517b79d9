#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 machine, as root: installs, builds, runs every test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
"$root/tools/build.sh"
ctest --test-dir "$build/native" -j 2 --output-on-failure --timeout 900
