#!/usr/bin/env bash
# Second compiler and static analysis: installs what is missing, builds
# everything (product, sample client, benchmark, tests) with clang for 64-bit
# Windows (preset "clang", warnings as errors for our code), then runs
# clang-tidy (.clang-tidy) over the clang build's compile_commands.json and
# cppcheck over our own sources. Any warning or finding fails it. Nothing is
# run under Wine; the tests run on the GCC build (scripts/test.sh).
set -euo pipefail
# shellcheck source=scripts/on-error.sh
source "$(dirname "${BASH_SOURCE[0]}")/on-error.sh"

usage() {
  cat <<'EOF'
usage: scripts/analyse.sh [--help]

Builds the clang preset into build/clang and runs clang-tidy-14 and cppcheck
over app/ setup/ shellops/ sample/ bench/ checkkit/ tests/ (not GoogleTest). Exits 1 on
any compiler warning, clang-tidy finding or cppcheck finding. As root it
installs the missing packages; as another user it names them.
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    *) echo "analyse.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
analysis_packages=(
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  cmake make googletest clang-14 clang-tidy-14 cppcheck
)
ovik_install_deps "${analysis_packages[@]}"

cd "$root"
cmake --preset clang
cmake --build --preset clang

build="$root/build/clang"
ours=(app setup shellops sample bench checkkit tests)
failed=()

# The translation units of our own code that the clang build compiled.
mapfile -t units < <(python3 - "$build/compile_commands.json" "$root" "${ours[@]}" <<'PY'
import json, os, sys
database, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
prefixes = tuple(os.path.join(root, folder) + os.sep for folder in folders)
for entry in json.load(open(database)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(prefixes):
        print(path)
PY
)
[ "${#units[@]}" -gt 0 ] || { echo "analyse.sh: no sources of ours in $build/compile_commands.json" >&2; exit 1; }

echo "clang-tidy: ${#units[@]} files, 2 at a time"
tidy_one() {
  local out status=0
  out="$(clang-tidy-14 -p "$1" --quiet "$2" 2>&1)" || status=$?
  # clang-tidy counts what it hid (system headers, checks switched off); the
  # findings themselves are the other lines.
  out="$(grep -vE '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' <<<"$out" || true)"
  [ -z "$out" ] || printf '%s\n' "$out"
  return "$status"
}
export -f tidy_one
if ! printf '%s\0' "${units[@]}" | xargs -0 -n 1 -P 2 bash -c 'tidy_one "$@"' _ "$build"; then
  failed+=(clang-tidy)
fi

mapfile -t sources < <(find "${ours[@]}" -name '*.cpp' | sort)
echo "cppcheck: ${#sources[@]} files"
mkdir -p "$build/cppcheck"
# The defines are the build's own; the Windows API and GoogleTest come from
# cppcheck's library files rather than from their headers.
if ! cppcheck --quiet -j 2 --error-exitcode=1 --inline-suppr \
  --enable=warning,performance,portability --std=c++20 --language=c++ --platform=win64 \
  --library=windows --library=googletest -I "$root" \
  -DUNICODE -D_UNICODE -DNOMINMAX -DOVIK_SLEEPER_EXE='"sleeper.exe"' \
  --cppcheck-build-dir="$build/cppcheck" \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' "${sources[@]}"; then
  failed+=(cppcheck)
fi

if [ "${#failed[@]}" -gt 0 ]; then
  echo "analyse.sh: findings from ${failed[*]}" >&2
  exit 1
fi
echo "analyse.sh: clang build, clang-tidy and cppcheck clean"
