#!/usr/bin/env bash
# release-chain.sh STEP...: the release checks for a mutant of the release
# path, cheapest first, stopping at the first step that fails (mutate.py's
# test command, through tests/mutation/release.map):
#   medium    tests/release/medium_test.py, medium.py's deciding functions (1 s)
#   promises  tests/release/promises_test.sh, each promise of the scripts'
#             --help where it is decided (10 s)
#   deps      tests/release/deps_test.sh, what deps.sh decides (1 s)
#   bare      tests/release/bare_test.sh, what bare-run.sh does around the
#             test run it starts (6 s)
#   commands  tests/release/commands_test.sh, what check-commands.sh takes
#             for a program (2 s)
#   drivers   tests/release/drivers_test.sh, the CI's own scripts among
#             stand-ins (5 s)
#   release   the whole of tests/release/release_test.sh (about 2 min), which
#             stops at its first failing check (OVIK_CHECKS_FAIL_FAST)
#   none      no release check runs the script (CI alone does): its mutants
#             survive at no cost, and the report lists them as such
# A step but the release checks that runs past ten times its time or more
# has met a mutant that hangs it (a read loop that never ends, say): it is
# ended, and counts as having caught it. Prints which step caught the
# mutant. Runs in the worktree, on build/mingw.
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
[ $# -gt 0 ] || { echo "usage: release-chain.sh STEP... (medium, promises, deps, bare, commands, drivers, release, none)" >&2; exit 2; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build/mingw"
export OVIK_CHECKS_FAIL_FAST=1
for step in "$@"; do
  start=$SECONDS
  case "$step" in
    medium) limit=20 command=(/usr/bin/python3 "$root/tests/release/medium_test.py") ;;
    promises) limit=150 command=(bash "$root/tests/release/promises_test.sh" --build-dir "$build") ;;
    none) echo "release-chain.sh: no release check runs this script"; exit 0 ;;
    deps) limit=20 command=(bash "$root/tests/release/deps_test.sh") ;;
    bare) limit=60 command=(bash "$root/tests/release/bare_test.sh") ;;
    commands) limit=20 command=(bash "$root/tests/release/commands_test.sh") ;;
    drivers) limit=60 command=(bash "$root/tests/release/drivers_test.sh") ;;
    release) limit=0 command=(bash "$root/tests/release/release_test.sh" --build-dir "$build") ;;
    *) echo "release-chain.sh: unknown step: $step (medium, promises, deps, bare, commands, drivers, release, none)" >&2; exit 2 ;;
  esac
  # The whole release checks' time is mutate.py's --timeout.
  [ "$limit" -eq 0 ] || command=(timeout --kill-after=5 "$limit" "${command[@]}")
  if ! "${command[@]}"; then
    echo "release-chain.sh: caught by $step ($((SECONDS - start)) s)"
    exit 1
  fi
  echo "release-chain.sh: $step passed ($((SECONDS - start)) s)"
done
