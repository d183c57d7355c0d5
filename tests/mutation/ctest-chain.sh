#!/usr/bin/env bash
# ctest-chain.sh ENTRY...: runs the CTest entries of build/mingw one after
# another, stopping at the first that fails (mutate.py's test command for
# the installer). As root they run as ovik-test, like scripts/test.sh.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: ctest-chain.sh ENTRY..." >&2; exit 2; }
build="build/mingw"
# A test program stops at its first failing test: a caught mutant costs
# only the tests up to it.
export GTEST_FAIL_FAST=1
run=()
if [ "$(id -u)" -eq 0 ] && id ovik-test >/dev/null 2>&1; then
  chown -R ovik-test "$build"
  run=(runuser -u ovik-test --)
fi
for entry in "$@"; do
  "${run[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error -R "^$entry\$" ||
    { echo "ctest-chain.sh: $entry failed"; exit 1; }
done
