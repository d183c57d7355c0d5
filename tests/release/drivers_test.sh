#!/usr/bin/env bash
# The CI's own scripts (scripts/test.sh, analyse.sh, run.sh, screenshots.sh),
# each run from a copy of the tree whose test steps, build tools, analysers,
# mount and user commands and Wine scripts are stand-ins that log what they
# were asked and fail when a case says so:
# - test.sh runs every step in order, and a failing step stops it, named;
#   as root it mounts the small volume, adds ovik-test and runs the tests as
#   that user when it can reach the build tree, else as root with a note;
# - analyse.sh gives clang-tidy every unit of ours in the clang build, and
#   nothing else; it prints a finding without clang-tidy's count of hidden
#   warnings, and a finding or a failing analyser fails it;
# - run.sh starts a built installer under Wine, and refuses, starting
#   nothing, without one or without a display;
# - screenshots.sh saves into --out, into docs/ only with --docs, gives
#   Wine the Marlett font, and refuses an unknown option.
# Run by release_test.sh, and alone by the mutation runs; installs nothing.
# shellcheck disable=SC2016,SC2317 # the stand-ins' code and the cases' in single quotes, on purpose
set -euo pipefail
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
test_scratch

tree="$scratch/tree"
bin="$scratch/bin"
build="$tree/build/mingw"
clang="$tree/build/clang"
export DRIVERS_LOG="$scratch/log"
ours=(app setup shellops sample bench checkkit tests)
mkdir -p "$tree/scripts" "$bin" "$clang" "$build/medium/Installer" "$build/wine-screenshots/host-programs" \
  "$build/wine-screenshots/prefix/dosdevices" "$build/wine-screenshots/prefix/drive_c/windows/Fonts"
for script in test analyse run screenshots on-error deps; do
  cp "$root/scripts/$script.sh" "$tree/scripts/"
done
# Copies that only bash runs: a fault that makes a script start itself (by
# its own path) ends there instead of in a chain of copies of it.
chmod a-x "$tree/scripts/"*.sh
touch "$build/medium/Installer/setup.exe" "$build/CTestTestfile.cmake"

# program PATH BODY: a bash script. stand_in PATH [BODY]: one that logs its
# name and arguments, runs BODY, and fails when DRIVERS_FAIL (names with
# spaces between) names it; a .py file does the same in Python (test.sh
# starts those by /usr/bin/python3).
program() {
  mkdir -p "$(dirname "$1")"
  printf '#!/bin/bash\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
stand_in() {
  if [ "${1%.py}" != "$1" ]; then
    mkdir -p "$(dirname "$1")"
    printf '%s\n' 'import os, sys' 'name = os.path.basename(sys.argv[0])' \
      'open(os.environ["DRIVERS_LOG"], "a").write(" ".join([name] + sys.argv[1:]) + "\n")' \
      'sys.exit(name in os.environ.get("DRIVERS_FAIL", "").split())' >"$1"
  else
    program "$1" "$(printf '%s\n' 'echo "${0##*/}${*:+ $*}" >>"$DRIVERS_LOG"' "${2:-}" \
      'case " ${DRIVERS_FAIL:-} " in *" ${0##*/} "*) exit 1 ;; esac')"
  fi
}
for step in scripts/check-commands.sh tests/docs/links_test.py tests/build/inputs_test.sh \
  tests/mutation/mutate_test.py tests/release/release_test.sh; do
  stand_in "$tree/$step"
done
for name in ctest chown umount useradd import; do
  stand_in "$bin/$name"
done
# Nothing is installed, whatever a script asks.
stand_in "$bin/apt-get" 'exit 100'
# cmake finds its presets in the folder it is started in, as the real one.
touch "$tree/CMakePresets.json"
stand_in "$bin/cmake" '[ "${1:-}" != --preset ] && [ "${2:-}" != --preset ] || [ -f CMakePresets.json ] ||
  { echo "cmake: no CMakePresets.json in $PWD" >&2; exit 1; }'
# Nothing is mounted yet; mount, as the real one, needs its folder.
stand_in "$bin/mountpoint" 'exit 1'
stand_in "$bin/mount" '[ -d "${*: -1}" ] || exit 32'
# runuser runs the command as this user: ovik-test reaches the build tree
# as long as its test files are there.
stand_in "$bin/runuser" 'while [ "$1" != -- ]; do shift; done; shift; exec "$@"'
# Every package is installed but DRIVERS_MISSING, osslsigncode recent;
# `id -u` says DRIVERS_UID (root by default), and ovik-test exists unless
# DRIVERS_NO_USER is set.
program "$bin/dpkg-query" 'case "$*" in *Version*) echo 2.9-1 ;; *" ${DRIVERS_MISSING:-}") echo "unknown ok not-installed" ;;
  *) echo "install ok installed" ;; esac'
program "$bin/id" 'case "$1" in -u) echo "${DRIVERS_UID:-0}" ;; ovik-test) [ -z "${DRIVERS_NO_USER:-}" ] ;;
  *) exec /usr/bin/id "$@" ;; esac'
# clang-tidy counts the warnings it hid, and finds something in the file
# DRIVERS_FINDING names.
stand_in "$bin/clang-tidy-14" 'file="${*: -1}"; echo "2 warnings generated." >&2
[ "$file" != "${DRIVERS_FINDING:-}" ] || { echo "$file:3:1: error: a finding [bugprone-x]"
  echo "1 warning and 1 error generated." >&2; exit 1; }'
# cppcheck, as the real one, needs its build folder, and exits with
# --error-exitcode's status (else 0) on a finding, which DRIVERS_FAIL asks for.
stand_in "$bin/cppcheck" 'code=0; for a; do case "$a" in --error-exitcode=*) code="${a#*=}" ;;
  --cppcheck-build-dir=*) [ -d "${a#*=}" ] || { echo "cppcheck: no folder ${a#*=}"; exit 1; } ;; esac; done
[ "${DRIVERS_FAIL:-}" != cppcheck ] || { echo "app/app.cpp:3:1: warning: a finding [x]"; exit "$code"; }'
where='echo "  in $PWD, OVIK_WINE_DIR=${OVIK_WINE_DIR:-}" >>"$DRIVERS_LOG"'
stand_in "$build/wine-session" "$where"
stand_in "$build/wine-run" "$where"'
for a; do case "$a" in --screenshots=*) echo picture >"${a#*=}/main-window.png" ;; esac; done'
export PATH="$bin:$PATH"

# The clang build's units: each of our folders', a file of a folder whose
# name only starts like one of ours, GoogleTest's and a generated one.
units=()
for folder in "${ours[@]}"; do
  mkdir -p "$tree/$folder"
  touch "$tree/$folder/$folder.cpp"
  units+=("$tree/$folder/$folder.cpp")
done
mkdir -p "$tree/third_party/googletest"
touch "$tree/app-extra.cpp" "$clang/generated.cpp" "$tree/third_party/googletest/gtest-all.cpp"
/usr/bin/python3 - "$tree" "$clang/compile_commands.json" <<'PY'
import json, sys
tree, database = sys.argv[1], sys.argv[2]
folders = ["app", "setup", "shellops", "sample", "bench", "checkkit", "tests"]
entries = [{"directory": tree, "file": f"{folder}/{folder}.cpp"} for folder in folders[:4]]
entries += [{"directory": f"{tree}/build/clang", "file": f"{tree}/{folder}/{folder}.cpp"} for folder in folders[4:]]
entries += [{"directory": f"{tree}/build/clang", "file": name}
            for name in ("../../app-extra.cpp", "generated.cpp", "../../third_party/googletest/gtest-all.cpp")]
json.dump(entries, open(database, "w"))
PY

# runs SCRIPT ARG...: the tree's SCRIPT, stopped after 30 s, with what the
# stand-ins are asked logged afresh.
runs() {
  : >"$DRIVERS_LOG"
  (cd "$scratch" && timeout 30 bash "$tree/scripts/$1" "${@:2}")
}
# logged LINE...: the log, less the analysers' own lines, is LINE... .
logged() {
  local want asked
  want="$(printf '%s\n' "$@")"
  asked="$(grep -v -e '^clang-tidy-14 ' -e '^cppcheck ' "$DRIVERS_LOG")"
  [ "$asked" = "$want" ] && return 0
  echo "      the stand-ins were asked (> where not wanted):" && diff <(echo "$want") <(echo "$asked") | sed 's/^/      /'
  return 1
}
export -f says runs logged
export tree scratch

# ---- test.sh --------------------------------------------------------------------------

ctest_args="--test-dir $build --output-on-failure --no-tests=error"
first=(check-commands.sh links_test.py "cmake --preset mingw" "cmake --build --preset mingw"
  "inputs_test.sh --build-dir $build")
analysis=("cmake --preset clang" "cmake --build --preset clang")
last=(mutate_test.py "release_test.sh --build-dir $build")
mounted=("mountpoint -q $build/small-volume" "mount -t tmpfs -o size=4m,mode=0777 tmpfs $build/small-volume")
check "test.sh as root: every step in order, a 4 MB volume mounted, the tests run as ovik-test" \
  bash -c 'says 0 "" runs test.sh && ! grep -q "could not mount" "$0"' "$scratch/said"
check "... in that order" logged "${first[@]}" "${mounted[@]}" "${analysis[@]}" "${last[@]}" \
  "chown -R ovik-test $build" "runuser -u ovik-test -- test -w $build -a -r $build/CTestTestfile.cmake" \
  "runuser -u ovik-test -- ctest $ctest_args" "ctest $ctest_args" "umount $build/small-volume"
mv "$build/CTestTestfile.cmake" "$scratch/"
DRIVERS_NO_USER=1 DRIVERS_FAIL="mount chown" check "... without ovik-test it adds it; when ovik-test cannot reach the build, the tests run as root, saying so (a volume it cannot mount or a build it cannot hand over stops nothing)" \
  bash -c 'says 0 "note: ovik-test cannot reach $1; running the tests as root" runs test.sh &&
    grep -q "note: could not mount a small volume; the full-disk test will skip" "$0"' "$scratch/said" "$build"
mv "$scratch/CTestTestfile.cmake" "$build/"
check "... in that order" logged "${first[@]}" "${mounted[@]}" "${analysis[@]}" \
  "useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin ovik-test" "${last[@]}" \
  "chown -R ovik-test $build" "runuser -u ovik-test -- test -w $build -a -r $build/CTestTestfile.cmake" \
  "ctest $ctest_args"
DRIVERS_UID=1000 check "test.sh as another user: no volume, no user, the tests as that user" says 0 '' runs test.sh
check "... in that order" logged "${first[@]}" "${analysis[@]}" "${last[@]}" "ctest $ctest_args"
# A failing step (which stand-in fails; what the message names; the step
# after it) stops the run with a message naming it.
while IFS='|' read -r step named next; do
  DRIVERS_FAIL="$step" check "test.sh stops when $step fails, naming $named" \
    says 1 "stopped: \`.*$named.*\` failed" runs test.sh
  check "... and runs no ${next:-other step} after it" \
    bash -c '[ -z "$1" ] || ! grep -q "^$1" "$DRIVERS_LOG"' _ "$next"
done <<EOF
check-commands.sh|check-commands.sh|links_test.py
links_test.py|links_test.py|cmake
cmake|cmake --preset mingw|inputs_test.sh
inputs_test.sh|inputs_test.sh|mountpoint
clang-tidy-14|analyse.sh|mutate_test.py
cppcheck|analyse.sh|mutate_test.py
mutate_test.py|mutate_test.py|release_test.sh
release_test.sh|release_test.sh|chown
ctest|run_ctest|
EOF

# ---- analyse.sh -----------------------------------------------------------------------

check "analyse.sh: a clean run exits 0, says how many files each analyser gets, and shows no count of hidden warnings" \
  bash -c 'says 0 "clang build, clang-tidy and cppcheck clean" runs analyse.sh && ! grep -q generated "$0" &&
    grep -qx "clang-tidy: 7 files, 2 at a time" "$0" && grep -qx "cppcheck: 7 files" "$0"' "$scratch/said"
check "... clang-tidy gets every unit of ours with the clang build, and nothing else" \
  test "$(grep '^clang-tidy-14 ' "$DRIVERS_LOG" | sort)" = "$(printf "clang-tidy-14 -p $clang --quiet %s\n" "${units[@]}" | sort)"
check "... cppcheck gets every source of ours" \
  grep -q "^cppcheck .* app/app.cpp bench/bench.cpp checkkit/checkkit.cpp sample/sample.cpp setup/setup.cpp shellops/shellops.cpp tests/tests.cpp$" "$DRIVERS_LOG"
DRIVERS_FINDING="$tree/setup/setup.cpp" check "analyse.sh: a clang-tidy finding fails it, printed without the count" \
  bash -c 'says 1 "analyse.sh: findings from clang-tidy$" runs analyse.sh && grep -q "^$1:3:1: error: a finding" "$0" &&
    ! grep -q generated "$0"' "$scratch/said" "$tree/setup/setup.cpp"
DRIVERS_FAIL=cppcheck check "analyse.sh: a cppcheck finding fails it" says 1 "analyse.sh: findings from cppcheck$" runs analyse.sh
mv "$clang/compile_commands.json" "$scratch/"
only() { echo '[{"directory": "/", "file": "'"$tree/$1"'"}]' >"$clang/compile_commands.json"; }
only app/app.cpp
check "analyse.sh: a clang build of one unit of ours is analysed" says 0 "clang-tidy: 1 files" runs analyse.sh
only third_party/googletest/gtest-all.cpp
check "... one with no sources of ours is refused" \
  says 1 "analyse.sh: no sources of ours in $clang/compile_commands.json" runs analyse.sh
mv "$scratch/compile_commands.json" "$clang/"
check "analyse.sh --help says what it runs; an unknown argument is refused with exit 2" \
  bash -c 'says 0 "^usage: scripts/analyse.sh" runs analyse.sh --help && says 2 "^analyse.sh: unknown argument: --fast" runs analyse.sh --fast'

# ---- run.sh ---------------------------------------------------------------------------

installer="$build/medium/Installer/setup.exe"
DISPLAY=:7 check "run.sh starts the built installer on the display" says 0 "starting the installer on display :7" runs run.sh
check "... naming the medium and the installer" \
  bash -c 'grep -qxF "sample medium: $1/medium" "$0" && grep -qxF "installer:     $2" "$0"' "$scratch/said" "$build" "$installer"
check "... under Wine, from the build tree, in a prefix of this user's" logged "cmake --preset mingw" \
  "cmake --build --preset mingw" "wine-session prepare" "  in $tree, OVIK_WINE_DIR=$build/wine-desktop-0" \
  "wine-run $installer" "  in $build, OVIK_WINE_DIR=$build/wine-desktop-0"
check "run.sh without a display says how to get one, and starts nothing" \
  bash -c 'unset DISPLAY; says 1 "xvfb-run -a" runs run.sh && ! grep -q ^wine "$DRIVERS_LOG"'
rm "$installer"
DISPLAY=:7 check "run.sh without a built installer refuses, and starts nothing" \
  bash -c 'says 1 "run.sh: $0 was not built" runs run.sh && ! grep -q ^wine "$DRIVERS_LOG"' "$installer"
touch "$installer"

# ---- screenshots.sh -------------------------------------------------------------------

check "screenshots.sh saves into build/mingw/screenshots, not into docs/" \
  bash -c 'says 0 "screenshots in $0" runs screenshots.sh && [ -f "$0/main-window.png" ] && [ ! -e "$1/docs" ]' \
  "$build/screenshots" "$tree"
in_world="  in $build, OVIK_WINE_DIR=$build/wine-screenshots"
check "... the pictures taken by the end-to-end tests, built for it, in a Wine world of their own, ended at the end" \
  logged "cmake --preset mingw" "cmake --build --preset mingw --target installer_e2e_tests" "wine-session start" "$in_world" \
  'wine-run reg add HKCU\Software\Wine\X11 Driver /v Decorated /d N /f' "$in_world" \
  "wine-run $build/tests/installer_e2e_tests.exe --screenshots=$build/screenshots --capture-tool=$build/wine-screenshots/host-programs/import" \
  "$in_world" "wine-session stop" "$in_world"
check "... the output folder its drive S:, ImageMagick's import among its host programs" \
  bash -c '[ "$(readlink "$0/prefix/dosdevices/s:")" = "$1" ] && [ "$(readlink "$0/host-programs/import")" = "$2" ]' \
  "$build/wine-screenshots" "$build/screenshots" "$bin/import"
marlett=/usr/share/wine/fonts/marlett.ttf
check "... with Wine's Marlett font in the prefix's Fonts folder, where Wine finds it (when the system has it)" \
  bash -c '[ ! -f "$0" ] || cmp -s "$0" "$1/prefix/drive_c/windows/Fonts/marlett.ttf"' "$marlett" "$build/wine-screenshots"
check "screenshots.sh --out DIR --docs saves into DIR and docs/screenshots" \
  bash -c 'says 0 "^copied to $1/docs/screenshots$" runs screenshots.sh --docs --out pictures && grep -qx "screenshots in $0/pictures" "$scratch/said" &&
    cmp -s "$0/pictures/main-window.png" "$1/docs/screenshots/main-window.png"' "$scratch" "$tree"
check "screenshots.sh refuses an unknown option and an --out without a folder with exit 2; --help says how to call it" \
  bash -c 'says 2 "^screenshots.sh: unknown option --doc;" runs screenshots.sh --doc &&
    says 2 "\-\-out needs a folder" runs screenshots.sh --out && says 0 "^usage: bash scripts/screenshots.sh" runs screenshots.sh --help'

# ---- All four ------------------------------------------------------------------------

# A package missing, as a user who cannot install it: each script names it
# and stops before building anything.
for script in test.sh analyse.sh run.sh screenshots.sh; do
  DRIVERS_UID=1000 DRIVERS_MISSING=cmake check "$script without cmake, as another user, names it and builds nothing" \
    bash -c 'says 1 "install them as root: apt-get install --no-install-recommends cmake$" runs "$0" &&
      ! grep -q "^cmake" "$DRIVERS_LOG"' "$script"
done

[ "$failed" -eq 0 ] && echo "CI scripts' checks: all passed" || echo "CI scripts' checks: FAILED"
exit "$failed"
