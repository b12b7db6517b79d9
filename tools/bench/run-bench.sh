#!/usr/bin/env bash
# The transfer benchmark: builds, then measures the program and the bare reference loop under Wine
# against a simulator paced at 9600 baud. Writes build/bench/results.md and gaps.png.
# Not part of the test command. Takes some 10 minutes; QM_BENCH_RUNS and QM_BENCH_LAUNCHES change
# how many transfer runs and start-up launches it makes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
if ! command -v gnuplot >/dev/null; then
  echo "Installing: gnuplot-nox"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null
fi
QM_BUILD_DIR=$build "$root/tools/build.sh"

exec python3 "$root/tools/bench/bench.py" --build "$build" \
  --runs "${QM_BENCH_RUNS:-3}" --launches "${QM_BENCH_LAUNCHES:-5}" "$@"
