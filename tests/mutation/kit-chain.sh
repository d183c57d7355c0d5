#!/usr/bin/env bash
# kit-chain.sh [BUILD_DIR]: the installer as built in BUILD_DIR (default
# build/mingw), released with the sample client and run through its own check
# kit under Wine, the way a packager runs the kit on a disposable machine:
# release.sh --no-build --replace into BUILD_DIR/release, a fresh Wine
# session, the image as Windows reads it on D:, check-kit.sh, and
# ovik-check.exe --disposable --drive D:, which stops at its first failure
# (OVIK_KIT_FAIL_FAST). Fails when the kit fails, or when any step before
# it does (mutate.py's test command for the installer through the kit). As
# root it runs as ovik-test, like scripts/test.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
case "${1:-}" in -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
[ $# -le 1 ] || { echo "usage: kit-chain.sh [BUILD_DIR]" >&2; exit 2; }
build="$(realpath -m "${1:-build/mingw}")"
[ -x "$build/wine-session" ] || { echo "kit-chain.sh: $build is no configured build (no wine-session)" >&2; exit 2; }

if [ "$(id -u)" -eq 0 ] && id ovik-test >/dev/null 2>&1; then
  chown -R ovik-test "$build"
  exec runuser -u ovik-test -- bash "$0" "$build"
fi

release="$build/release"
results="$build/kit-chain-results"
bash "$root/scripts/release.sh" --no-build --replace --build-dir "$build" --out "$release" >"$build/kit-chain.log" 2>&1 ||
  { cat "$build/kit-chain.log"; echo "kit-chain.sh: the release failed"; exit 1; }
image="$(find "$release" -maxdepth 1 -name 'ovik-medium-*.iso' | head -n 1)"
[ -n "$image" ] || { echo "kit-chain.sh: the release wrote no image into $release"; exit 1; }

"$build/wine-session" start >/dev/null
trap '"$build/wine-session" stop >/dev/null' EXIT
bash "$root/tests/e2e/cdrom_drive.sh" setup "$build" "$image"
bash "$root/scripts/check-kit.sh" --no-build --build-dir "$build" "$release" >/dev/null
rm -rf "$results"
status=0
# In the build tree, which the prefix shows as W:.
cd "$build"
OVIK_KIT_FAIL_FAST=1 "$build/wine-run" "$release/check/ovik-check.exe" 'W:\release' 'W:\kit-chain-results' --disposable --drive D: ||
  status=$?
bash "$root/tests/e2e/cdrom_drive.sh" cleanup "$build" >/dev/null
cat "$results/ovik-check.txt" 2>/dev/null || echo "kit-chain.sh: the kit wrote no results"
echo "kit-chain.sh: the kit exited with $status"
exit "$status"
