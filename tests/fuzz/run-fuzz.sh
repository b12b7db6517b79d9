#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from the corpus kept here; a crash, a hang, a sanitizer
# report or an out-of-bounds access fails. New inputs go to a scratch copy, not the repo.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
binary=${1:?fuzz target binary} name=${2:?corpus name} seconds=${3:-30}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$here/corpus/$name/." "$scratch/"
cd "$scratch"
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$scratch"
