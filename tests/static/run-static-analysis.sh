#!/usr/bin/env bash
# clang-tidy and cppcheck over the project's own C++ with the checked-in configuration; any finding
# fails. Win32 files are analysed as the cross build compiles them, the rest as the native build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
native=${1:?native build dir}
win=${2:?windows build dir}
cd "$root"

mingw_cxx=$(x86_64-w64-mingw32-g++-posix -print-file-name=include/c++)
mingw_args=(--extra-arg=--target=x86_64-w64-mingw32 "--extra-arg=-isystem$mingw_cxx"
            "--extra-arg=-isystem$mingw_cxx/x86_64-w64-mingw32" "--extra-arg=-isystem/usr/x86_64-w64-mingw32/include")

sources_of() { python3 -c 'import json,sys; [print(e["file"]) for e in json.load(open(sys.argv[1]))]' "$1/compile_commands.json"; }
own() { grep -E "^$root/(app|link|settings|tools|tests/e2e)/" | sort -u; }

status=0
echo "clang-tidy (native build)"
sources_of "$native" | own | xargs -r -P 2 -n 4 clang-tidy --quiet -p "$native" 2>/dev/null || status=1
echo "clang-tidy (Windows build)"
# Only what the native build does not compile already: the Win32 files.
comm -23 <(sources_of "$win" | own) <(sources_of "$native" | own) |
  xargs -r -P 2 -n 4 clang-tidy --quiet -p "$win" "${mingw_args[@]}" 2>/dev/null || status=1

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --enable=warning,performance,portability \
  --inline-suppr --library=windows -D_WIN32 -DUNICODE -I "$root" \
  --suppress=missingIncludeSystem app link settings tools/trx_sim tests/e2e/driver || status=1

if [ "$status" -eq 0 ]; then echo "static analysis: clean"; fi
exit "$status"
