#!/usr/bin/env bash
# Builds the release ZIP (the exe, README, LICENSE, changelog) and its SHA-256 sum in build/release.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
out=$build/release
version=1.0
name=quellmark-$version-win64

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/win" -j "${QM_JOBS:-2}" --target quellmark

rm -rf "$out" && mkdir -p "$out"
python3 - "$out/$name.zip" "$name" "$build/win/quellmark.exe" "$root/README.md" "$root/LICENSE" \
  "$root/CHANGELOG.md" <<'PY'
import sys, zipfile
archive, folder, *files = sys.argv[1:]
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    for path in files:
        name = path.rsplit("/", 1)[1]
        if name.endswith(".md"):
            name = name[:-3] + ".txt"
        # A fixed time stamp, so the same sources give the same archive.
        info = zipfile.ZipInfo(f"{folder}/{name}", date_time=(2026, 12, 11, 0, 0, 0))
        info.external_attr = 0o644 << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read(), zipfile.ZIP_DEFLATED)
PY
(cd "$out" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "$out/$name.zip"
cat "$out/$name.zip.sha256"
