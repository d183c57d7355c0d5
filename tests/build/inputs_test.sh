#!/usr/bin/env bash
# Every file a resource script reads is an input of its program: touching
# any of them (a manifest, an icon, an included script or header) and
# building makes the program anew. Run by scripts/test.sh after the build.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build/mingw"
[ "${1:-}" != --build-dir ] || build="$(realpath -m "$2")"
[ -f "$build/CMakeCache.txt" ] || { echo "inputs_test.sh: no build in $build (build first)" >&2; exit 1; }
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
stamp="$(mktemp)"
trap 'rm -f "$stamp"' EXIT

# Each resource script of the tree: the target that compiles it, and its program.
declare -A program=(
  [app/installer.rc]="installer app/setup.exe"
  [checkkit/ovik_check.rc]="ovik_check checkkit/ovik-check.exe"
  [sample/startclass/startclass.rc]="startclass sample/startClass.exe"
)
mapfile -t scripts < <(cd "$root" && find app checkkit sample setup shellops tests bench -name '*.rc' | sort)
check "each resource script in the tree is listed here with its program (${scripts[*]})" \
  test "${#scripts[@]}" -eq "${#program[@]}"

# shellcheck disable=SC2317 # called through check
rebuilt() {
  local target="$1" exe="$2" input="$3"
  touch "$stamp"
  touch "$input"
  cmake --build "$build" --target "$target" >"$stamp.log" 2>&1 || { cat "$stamp.log"; return 1; }
  [ "$exe" -nt "$stamp" ]
}

for script in "${scripts[@]}"; do
  read -r target exe <<<"${program[$script]:-none none}"
  [ "$target" != none ] || continue
  folder="$root/$(dirname "$script")"
  # The files it names: in resource statements (NAME TYPE "file") and in
  # #include "file" lines, where that file is in its folder.
  mapfile -t names < <(sed -nE -e 's/^[[:space:]]*[A-Za-z0-9_]+[[:space:]]+[A-Za-z0-9_]+[[:space:]]+"([^"]+)"[[:space:]]*$/\1/p' \
    -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$root/$script")
  inputs=("$root/$script")
  for name in "${names[@]}"; do
    [ ! -f "$folder/$name" ] || inputs+=("$(realpath -m "$folder/$name")")
  done
  for input in "${inputs[@]}"; do
    check "touching ${input#"$root"/} makes ${exe##*/} anew" rebuilt "$target" "$build/$exe" "$input"
  done
done
rm -f "$stamp.log"
exit "$failed"
