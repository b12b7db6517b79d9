#!/usr/bin/env bash
# The soak run: 200 transfer jobs back to back in one program instance against an unpaced
# simulator, with the program's handles and memory sampled every 50 jobs. Writes
# build/soak/soak.md. Not part of the test command; takes some 5 minutes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
QM_BUILD_DIR=$build "$root/tools/build.sh"
exec python3 "$root/tools/bench/soak.py" --build "$build" "$@"
