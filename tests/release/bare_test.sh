#!/usr/bin/env bash
# What scripts/bare-run.sh does around the test run it starts, on a tiny
# system of its own (bash and three programs with their libraries) that a
# stand-in debootstrap makes, and a stand-in scripts/test.sh that says what
# a test run says: a fresh base kept for the next run, the package sources
# taking turns, the mounts it promises, each line stamped, the split of the
# time and the skipped cases read back, a failing run failing, a base that
# is not bare refused, and on every way out (a TERM too) nothing left
# running, mounted or on disk. Needs root, as bare-run.sh does. Run by
# release_test.sh, and alone by the mutation runs.
# shellcheck disable=SC2016,SC2317 # programs for other shells; functions run by check
set -euo pipefail
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
test_scratch

check "bare-run.sh --help exits 0 with its usage" \
  says 0 "^usage: bash scripts/bare-run.sh \[--sources list|deb822\]" bash "$root/scripts/bare-run.sh" --help
printf '%s\n' '[00:01] skip  a full disk: no mount here' '[00:02] ok    something else' >"$scratch/bare-output"
check "bare-run.sh --skips names the skipped cases of a run that ended before CTest wrote its log" \
  says 0 "^skip  a full disk: no mount here$" bash "$root/scripts/bare-run.sh" --skips "$scratch/bare-output" \
  "$scratch/absent.log"

if [ "$(id -u)" -ne 0 ] || ! unshare --pid --fork --mount-proc true 2>/dev/null; then
  echo "skip  bare-run.sh's runs: this user cannot make a PID and mount namespace"
  exit "$failed"
fi

# The work tree it copies: bare-run.sh and what it sources, the stand-in
# test.sh, and what must not be copied.
tree="$scratch/tree"
mkdir -p "$tree/scripts" "$tree/build/mingw" "$tree/.git"
cp "$root/scripts/bare-run.sh" "$root/scripts/on-error.sh" "$root/scripts/deps.sh" "$tree/scripts/"
touch "$tree/build/mingw/CMakeCache.txt" "$tree/.git/HEAD"

# The tiny system: its programs with their libraries, merged /usr as
# Debian 12's; the folders bare-run.sh mounts onto and writes into.
tiny="$scratch/tiny"
mkdir -p "$tiny/usr/bin" "$tiny/proc" "$tiny/sys" "$tiny/dev" "$tiny/etc/apt/sources.list.d"
for program in bash env sleep mkdir; do
  cp "$(command -v "$program")" "$tiny/usr/bin/"
  ldd "$(command -v "$program")" | grep -o '/[^ ]*' | while read -r library; do
    copy="$tiny/usr${library#/usr}"
    mkdir -p "$(dirname "$copy")"
    [ -e "$copy" ] || cp "$library" "$copy"
  done
done
ln -s usr/bin "$tiny/bin"
ln -s usr/lib "$tiny/lib"
[ ! -d "$tiny/usr/lib64" ] || ln -s usr/lib64 "$tiny/lib64"
echo "deb http://debootstrap.example/debian bookworm main" >"$tiny/etc/apt/sources.list"

# Stand-ins: debootstrap copies the tiny system and notes its call;
# dpkg-query says debootstrap is installed.
stand_ins="$scratch/bin"
mkdir -p "$stand_ins"
printf '#!/bin/sh\necho "$*" >>"%s"\ncp -a "%s/." "$3/"\n' "$scratch/debootstrap.log" "$tiny" \
  >"$stand_ins/debootstrap"
printf '#!/bin/sh\necho "install ok installed"\n' >"$stand_ins/dpkg-query"
chmod +x "$stand_ins"/*
cache="$scratch/cache"

# test_run BODY: the stand-in scripts/test.sh. It says what the system
# shows it (the package sources, the copy, the mounts as seen inside), then
# runs BODY.
test_run() {
  printf '%s\n' 'for file in /etc/apt/sources.list.d/* /etc/apt/sources.list; do [ ! -e "$file" ] || echo "sources: $file"; done' \
    '[ ! -e /etc/apt/sources.list ] || while read -r line; do echo "sources.list: $line"; done </etc/apt/sources.list' \
    'for kept in build .git scripts; do [ ! -e "$kept" ] || echo "copied: $kept"; done' \
    'echo "environment: ${CI:-} ${OVIK_BARE_CACHE:-none}"' \
    "$1" >"$tree/scripts/test.sh"
}
# bare_run [--term] ARG...: bare-run.sh of the work tree, its output in
# $out, in a PID and mount namespace of this test's own, so that whatever it
# (or a fault put into it) ends or mounts stays in there. What it left when
# it ended (its system's folder and the files beside it, mounts under the
# system, any process but this test's) is listed in $left before that
# namespace goes, and removed. With --term it gets a TERM once its test run
# has begun.
out="$scratch/run.log"
left="$scratch/left"
export out left
bare_run() {
  PATH="$stand_ins:$PATH" OVIK_BARE_CACHE="$cache" unshare --pid --fork --mount-proc -- bash -c '
    term=0
    [ "$1" != --term ] || { term=1; shift; }
    bash "$0" --mirror http://mirror.example/debian "$@" >"$out" 2>&1 &
    runner=$!
    if [ "$term" -eq 1 ]; then
      for _ in $(seq 100); do ! grep -q "Test project" "$out" || break; sleep 0.1; done
      sleep 0.3
      kill -TERM "$runner"
    fi
    status=0
    wait "$runner" || status=$?
    system="$(sed -n "s/^\[..:..\] base system: .* into //p" "$out")"
    {
      [ -n "$system" ] || echo "no system named in the output"
      ls -d "$system" "$system".* 2>/dev/null || true
      grep -F " $system" /proc/self/mountinfo || true
      # This shell is the namespace'"'"'s first process; any other is left over.
      pids=(/proc/[0-9]*)
      for pid in "${pids[@]}"; do
        [ "$pid" != /proc/1 ] || continue
        command=""
        read -r -d "" command <"$pid/cmdline" 2>/dev/null || true
        echo "running: ${command:-?}"
      done
    } >"$left"
    # What a fault left goes with the namespace, so that the next run starts clean.
    [[ "$system" != /var/tmp/ovik-bare.?????? ]] || rm -rf --one-file-system "$system" "$system".*
    exit "$status"' "$tree/scripts/bare-run.sh" "$@"
}
# holds PATTERN...: the run's output has a line for each extended regex.
holds() {
  local pattern
  for pattern; do
    grep -qE -- "$pattern" "$out" || { echo "      no line matches: $pattern" && sed 's/^/      | /' "$out"; return 1; }
  done
}
export -f holds
nothing_left() {
  [ ! -s "$left" ] || { echo "      left behind:" && sed 's/^/      | /' "$left"; return 1; }
}

# A run that passes, on no base yet: a fresh base, the sources of the first
# turn, each step's time.
test_run 'echo "installing: one two"
sleep 1.2
echo "Preset CMake variables:"
sleep 1.2
echo "Test project /opt/ovik/build/mingw"
echo "skip  a full disk: no mount here"
mkdir -p build/mingw/Testing/Temporary
printf "%s\n" "case.cpp:9: Skipped" "needs a display" "[  SKIPPED ] Wine.Display (0 ms)" \
  >build/mingw/Testing/Temporary/LastTest.log
sleep 1.2'
status=0
bare_run || status=$?
check "bare-run.sh passes with the test run it starts" \
  holds "^bare-run.sh: the README's test command passed on a bare Debian 12 \(sources: list\)$"
check "... making the base with debootstrap, kept for the next run, its working folder gone" \
  bash -c '[[ "$(cat "$0")" == "--variant=minbase bookworm $1/debootstrap."??????" http://mirror.example/debian" ]] &&
    [ -s "$1/bookworm-minbase.tar" ] && ! ls -d "$1"/debootstrap.* 2>/dev/null' "$scratch/debootstrap.log" "$cache"
check "... the mirror in sources.list, a copy without build/ and .git, env -i's environment" \
  holds "sources.list: deb http://mirror.example/debian bookworm main$" "copied: scripts$" "environment: true none$"
check "... and no other sources nor anything else copied" \
  bash -c '[ "$(grep -c -e "\] copied: " -e "\] sources: " "$0")" -eq 2 ] && holds "\] sources: /etc/apt/sources.list$"' "$out"
check "... every line stamped with the minutes and seconds since the start" \
  holds "^\[00:0[0-9]\] installing: one two$" "^\[00:0[0-9]\] package sources: list \(http://mirror.example/debian\);"
check "... the steps' times from the test run's own lines" \
  holds "^bare run \(list\): [0-9]+ s in all; base system [0-9]+ s, packages [1-9][0-9]* s, build with the analysers and the release checks [1-9][0-9]* s, tests [1-9][0-9]* s$"
check "... the skipped cases from its output and CTest's log" \
  bash -c 'holds "^  skip  a full disk: no mount here$" "^  skip  Wine.Display: needs a display$" &&
    [ "$(cat "$0/last-bare-skips.txt")" = "$(printf "%s\n" "skip  Wine.Display: needs a display" "skip  a full disk: no mount here")" ]' \
  "$cache"
check "... and nothing left running, mounted or on disk" nothing_left
[ "$status" -eq 0 ] || sed 's/^/      | /' "$out"

# What the system sees mounted (bash alone reads it): /proc, /sys, /dev, a
# shared memory of its own, the package files kept in the cache.
test_run 'while read -r -a field; do
  for ((i = 6; i < ${#field[@]}; i++)); do [ "${field[i]}" != - ] || break; done
  echo "mounted: ${field[4]} ${field[i + 1]}"
done </proc/self/mountinfo
echo shared >"/dev/shm/'"ovik-bare-test.$$"'"
exit 3'
status=0
bare_run || status=$?
shm_leak=no
[ ! -e "/dev/shm/ovik-bare-test.$$" ] || shm_leak=yes
rm -f "/dev/shm/ovik-bare-test.$$"
check "a failing test run fails bare-run.sh, naming the other sources' turn and the status" \
  bash -c '[ "$0" -eq 1 ] &&
    holds "^bare-run.sh: the README.s test command failed on a bare Debian 12 \(sources: deb822\) with status 3; its messages are above$"' "$status"
check "... the deb822 sources alone, the steps that did not come as \"-\"" \
  bash -c '[ "$(grep -c "\] sources" "$0")" -eq 1 ] && holds "\] sources: /etc/apt/sources.list.d/debian.sources$" \
    "packages -, build with the analysers and the release checks -, tests -$"' "$out"
check "... with /proc, /sys, /dev, a shared memory of its own, and the cached packages" \
  bash -c 'holds "mounted: /proc proc$" "mounted: /sys sysfs$" "mounted: /dev " "mounted: /dev/shm tmpfs$" \
    "mounted: /var/cache/apt/archives " && [ "$0" = no ]' "$shm_leak"
check "... and nothing left running, mounted or on disk" nothing_left
check "... debootstrap not run again" test "$(wc -l <"$scratch/debootstrap.log")" -eq 1

# TERM while the tests run: it ends at once, taking them with it.
test_run 'echo "Test project /opt/ovik/build/mingw"; sleep 60'
status=0
bare_run --term --sources list || status=$?
check "TERM ends bare-run.sh with 143 at once" test "$status" -eq 143
check "... and nothing is left running, mounted or on disk" nothing_left

# A base that is not bare.
mkdir -p "$scratch/fat/usr/bin"
cp -a "$tiny/." "$scratch/fat/"
touch "$scratch/fat/usr/bin/git"
tar -C "$scratch/fat" -cf "$cache/bookworm-minbase.tar" .
status=0
bare_run --sources deb822 || status=$?
check "a base with git is refused: it is not a bare system" \
  bash -c '[ "$0" -eq 1 ] && holds "^bare-run.sh: the base system has git; it is not a bare system"' "$status"
check "... and nothing left running, mounted or on disk" nothing_left

[ "$failed" -eq 0 ] && echo "bare-run.sh checks: all passed" || echo "bare-run.sh checks: FAILED"
exit "$failed"
