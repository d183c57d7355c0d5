#!/usr/bin/env bash
# The release check kit under Wine, on the sample release in BUILD/release:
#
# - scripts/check-kit.sh makes RELEASE/check/ and leaves SHA256SUMS as it was;
# - check.cmd refuses a machine not known to be disposable, and ovik-check
#   refuses one that holds C:\ovikProgram, touching nothing;
# - without --drive, the mount that Wine cannot do fails with its reason;
# - sandbox.cmd maps the release read-only and the results writable, whatever
#   the folders are called;
# - check.cmd --disposable --drive D: (the image as Windows reads it, mapped
#   by the cdrom fixture) passes every check and writes its results;
# - with one file of a copy of the medium folder changed after the release,
#   the run fails and names that file;
# - the probe medium that the kit writes to C:\ovik-probe: its checks pass in
#   the passing run, which leaves neither it nor a planted tool's marker; an
#   earlier C:\ovik-probe fails probe-medium, skips the rest and stays as it was.
#
#   check_kit_test.sh BUILD_DIR     (inside the build's Wine session, with D: mapped)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
[ $# -eq 1 ] || { echo "usage: check_kit_test.sh BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
release="$build/release"
prefix="${OVIK_WINE_DIR:-$build/wine}/prefix"
scratch="$build/check-kit-test"
failed=0

# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"

# A host path as the Windows programs see it.
windows_path() {
  local path="Z:$1"
  echo "${path//\//\\}"
}

# Runs a Windows program in the session; sets `status` and leaves its output in $scratch/out.
status=0
run() {
  status=0
  "$build/wine-run" "$@" >"$scratch/out" 2>&1 </dev/null || status=$?
}

# What a broken run may leave in the prefix; Windows' read-only attribute is a
# missing write permission here.
clear_install() {
  local folder
  for folder in "$prefix/drive_c/ovikProgram" "$prefix/drive_c/ovik-probe"; do
    if [ -e "$folder" ]; then
      chmod -R u+w "$folder"
      rm -rf "$folder"
    fi
  done
}
probe_checks=(probe-medium probe-install probe-installed-tree probe-overwrite-no
  probe-overwrite-yes probe-uninstall-running-client probe-copy-fails probe-planted-tools)

rm -rf "$scratch"
mkdir -p "$scratch"
# The results stay in $scratch for a look after the run.
trap 'clear_install' EXIT

# ---- The kit --------------------------------------------------------------------------

sums_before="$(sha256sum "$release/SHA256SUMS")"
bash "$root/scripts/check-kit.sh" --no-build --build-dir "$build" "$release" >"$scratch/out" 2>&1 ||
  { cat "$scratch/out"; exit 1; }
cat "$scratch/out"
kit="$release/check"
check "the kit holds ovik-check.exe, check.cmd, sandbox.cmd and README.txt" \
  test -f "$kit/ovik-check.exe" -a -f "$kit/check.cmd" -a -f "$kit/sandbox.cmd" -a -f "$kit/README.txt"
check "SHA256SUMS is untouched and still holds" \
  bash -c "[ \"\$(sha256sum '$release/SHA256SUMS')\" = '$sums_before' ] && cd '$release' && sha256sum --quiet -c SHA256SUMS"
check "SHA256SUMS does not list the kit" bash -c "! grep -q 'check/' '$release/SHA256SUMS'"

check_cmd="$(windows_path "$kit/check.cmd")"
results="$scratch/results"
win_results="$(windows_path "$results")"

# ---- Refusals -------------------------------------------------------------------------

run cmd /c "$check_cmd" "$win_results" --drive D:
check "refuses a machine not known to be disposable (exit $status)" \
  bash -c "[ $status -eq 2 ] && grep -q 'not known to be disposable' '$scratch/out' && [ ! -e '$results' ]"
[ "$status" -eq 2 ] || cat "$scratch/out"

mkdir "$prefix/drive_c/ovikProgram"
echo "an earlier install" >"$prefix/drive_c/ovikProgram/keep.txt"
run cmd /c "$check_cmd" "$win_results" --disposable --drive D:
check "refuses a machine holding C:\\ovikProgram (exit $status)" \
  bash -c "[ $status -eq 2 ] && grep -q 'ovikProgram already exists' '$scratch/out'"
[ "$status" -eq 2 ] || cat "$scratch/out"
check "... and touches neither it nor the results folder" \
  bash -c "[ \"\$(ls -A '$prefix/drive_c/ovikProgram')\" = keep.txt ] && [ ! -e '$results' ]"
clear_install

# Without --drive the check mounts the image itself, which Wine cannot: it
# fails at once, saying why, instead of checking something else.
run "$kit/ovik-check.exe" "$(windows_path "$release")" "$(windows_path "$scratch/mount-results")" \
  --disposable
check "without --drive the mount fails, saying why (exit $status)" \
  grep -q '^FAIL  medium-drive: the image was not mounted: .*Wine cannot mount images' \
  "$scratch/mount-results/ovik-check.txt"
[ "$status" -eq 1 ] || cat "$scratch/out"
clear_install

# sandbox.cmd writes the sandbox's configuration (through ovik-check.exe,
# which escapes for XML) for folders whose names hold Japanese, spaces,
# parentheses and an ampersand. A stand-in for Windows Sandbox's program lets
# it get that far; Wine opens no .wsb file.
odd="$scratch/リリース (2) & co"
odd_results="$scratch/結果 & more"
mkdir -p "$odd/check"
cp "$kit"/* "$odd/check/"
sandbox_exe="$prefix/drive_c/windows/system32/WindowsSandbox.exe"
cp "$build/tests/sleeper.exe" "$sandbox_exe"
run cmd /c call "$(windows_path "$odd/check/sandbox.cmd")" "$(windows_path "$odd_results")"
rm -f "$sandbox_exe"
check "sandbox.cmd maps the release read-only and the results writable" \
  python3 - "$odd_results/ovik-check.wsb" "$(windows_path "$odd")" "$(windows_path "$odd_results")" <<'PY'
import sys, xml.etree.ElementTree as tree
config = tree.parse(sys.argv[1]).getroot()
mapped = [(m.findtext("HostFolder"), m.findtext("SandboxFolder"), m.findtext("ReadOnly"))
          for m in config.iter("MappedFolder")]
want = [(sys.argv[2], r"C:\ovik-check\release", "true"),
        (sys.argv[3], r"C:\ovik-check\results", "false")]
command = config.findtext("LogonCommand/Command") or ""
ok = mapped == want and command.endswith(r"C:\ovik-check\release\check\check.cmd C:\ovik-check\results")
if not ok:
    print("mapped:", mapped, "\nwanted:", want, "\ncommand:", command)
sys.exit(0 if ok else 1)
PY
[ -s "$odd_results/ovik-check.wsb" ] || cat "$scratch/out"

# ---- A passing run, as check.cmd starts it ----------------------------------------------

start=$(date +%s%N)
run cmd /c "$check_cmd" "$win_results" --disposable --drive D:
echo "      check.cmd under Wine: $((($(date +%s%N) - start) / 1000000)) ms, exit $status"
sed 's/^/      | /' "$scratch/out"
if [ "$(id -u)" -ne 0 ]; then
  check "every check passes (exit 0)" [ "$status" -eq 0 ]
  check "ovik-check.txt lists only passed checks" \
    bash -c "[ -s '$results/ovik-check.txt' ] && ! grep -Eq '^(FAIL|skip) ' '$results/ovik-check.txt' && grep -c '^ok ' '$results/ovik-check.txt' | grep -qx 22"
  check "ovik-check.xml is JUnit XML with 22 cases and no failure" \
    bash -c "grep -q '<testsuite name=\"ovik-check\" tests=\"22\" failures=\"0\"' '$results/ovik-check.xml' && [ \$(grep -c '<testcase ' '$results/ovik-check.xml') -eq 22 ]"
  check "the probe's probe-overwrite-yes passes" grep -qx "ok    probe-overwrite-yes" "$results/ovik-check.txt"
else
  # Wine run by root overwrites read-only files: the second install's copy
  # completes, where Windows (and Wine for an ordinary user) refuses.
  check "as root every check passes but probe-overwrite-yes (exit $status)" \
    bash -c "[ $status -eq 1 ] && [ \$(grep -c '^ok ' '$results/ovik-check.txt') -eq 21 ] && grep -q '^FAIL  probe-overwrite-yes: box 2: expected \[エラー\]' '$results/ovik-check.txt'"
fi
check "ovik-check.txt ends with the Windows version, build and UI language" \
  bash -c "grep -q '^version: ' '$results/ovik-check.txt' && grep -q '^build: ' '$results/ovik-check.txt' && grep -q '^ui language: ja-JP' '$results/ovik-check.txt'"
for name in "${probe_checks[@]}"; do
  [ "$name" != probe-overwrite-yes ] || continue
  check "the probe's $name passes" grep -qx "ok    $name" "$results/ovik-check.txt"
done
check "the probe medium is gone, and no planted tool left a marker" \
  bash -c "[ ! -e '$prefix/drive_c/ovik-probe' ] && [ ! -e '$prefix/drive_c/users/Public/ovik-check-planted' ]"
for picture in window box-register-question box-install-complete box-uninstall-complete; do
  check "picture $picture.bmp" bash -c "[ \"\$(head -c 2 '$results/$picture.bmp' 2>/dev/null)\" = BM ]"
done
check "the machine is left without C:\\ovikProgram" test ! -e "$prefix/drive_c/ovikProgram"
echo "      ovik-check.txt:"
sed 's/^/      | /' "$results/ovik-check.txt" 2>/dev/null || true
clear_install

# ---- A planted fault: the medium folder changed after the release ------------------------

medium="$(find "$release" -mindepth 1 -maxdepth 1 -type d -name 'ovik-medium-*' | head -n 1)"
planted="$scratch/planted-release"
mkdir -p "$planted"
cp -R "$medium" "$planted/"
chmod -R u+w "$planted"
echo "changed after the release" >>"$planted/${medium##*/}/readme.txt"
# A probe folder from an earlier run: the probe does not write over it.
mkdir "$prefix/drive_c/ovik-probe"
echo "an earlier probe" >"$prefix/drive_c/ovik-probe/keep.txt"
run "$kit/ovik-check.exe" "$(windows_path "$planted")" "$(windows_path "$scratch/planted-results")" \
  --disposable --drive D:
check "the planted fault fails the run (exit $status)" [ "$status" -eq 1 ]
check "... naming readme.txt on the drive" \
  grep -q '^FAIL  drive-matches-medium: readme.txt differs' "$scratch/planted-results/ovik-check.txt"
check "... and in the installed tree" \
  grep -q '^FAIL  installed-tree: readme.txt differs' "$scratch/planted-results/ovik-check.txt"
check "... an earlier C:\\ovik-probe fails probe-medium, naming it" \
  grep -q '^FAIL  probe-medium: C:\\ovik-probe already exists' "$scratch/planted-results/ovik-check.txt"
check "... skips the later probe checks" \
  bash -c "[ \$(grep -c '^skip  probe-.*: not run: probe-medium failed' '$scratch/planted-results/ovik-check.txt') -eq 7 ]"
check "... and leaves that folder as it was" \
  bash -c "[ \"\$(ls -A '$prefix/drive_c/ovik-probe')\" = keep.txt ]"
clear_install
echo "      ovik-check.txt of the planted fault:"
sed 's/^/      | /' "$scratch/planted-results/ovik-check.txt" 2>/dev/null || cat "$scratch/out"

[ "$failed" -eq 0 ] && echo "check kit tests: all passed" || echo "check kit tests: FAILED"
exit "$failed"
