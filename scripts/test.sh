#!/usr/bin/env bash
# Installs what is missing, checks the links of the README and docs/,
# cross-builds everything with the MinGW preset, builds it again with clang
# and runs the analysers (scripts/analyse.sh),
# checks the release command and leaves a signed release for the CD-ROM test
# (tests/release/release_test.sh), and runs every test program of the MinGW
# build under Wine on a virtual display.
#
# As root, the tests run as the unprivileged user "ovik-test" when it can
# reach the build tree: Wine run by root ignores read-only attributes, and
# some tests need Windows' behaviour there (they skip, saying so, otherwise).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
# Every program the scripts and tests start comes from a package installed
# below or from the bare system (a second or so, before anything slow).
bash "$root/scripts/check-commands.sh"
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps

# Every relative link and named section in README.md and docs/*.md exists.
/usr/bin/python3 "$root/tests/docs/links_test.py"

cd "$root"
cmake --preset mingw
cmake --build --preset mingw

build="$root/build/mingw"
# Every file a resource script reads is an input of its program.
bash "$root/tests/build/inputs_test.sh" --build-dir "$build"

# A 4 MB volume for the test that copies onto a full disk. Mounting needs
# root; without it that test skips, saying so.
small="$build/small-volume"
mkdir -p "$small"
if [ "$(id -u)" -eq 0 ] && ! mountpoint -q "$small"; then
  if mount -t tmpfs -o size=4m,mode=0777 tmpfs "$small" 2>/dev/null; then
    trap 'umount "$small" 2>/dev/null || true' EXIT
  else
    echo "note: could not mount a small volume; the full-disk test will skip" >&2
  fi
fi

# The second compiler and the analysers; any finding fails the run.
bash "$root/scripts/analyse.sh"

if [ "$(id -u)" -eq 0 ]; then
  id ovik-test >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin ovik-test
fi

# The mutation tool's own checks (the mutation runs themselves are no part
# of this run: see "Testing the tests" in docs/development.md).
/usr/bin/python3 "$root/tests/mutation/mutate_test.py"

# The release command, unsigned and signed, and its checks. The signed
# release stays in build/mingw/release, where the CD-ROM install test finds it.
bash "$root/tests/release/release_test.sh" --build-dir "$build"

run_ctest=(ctest --test-dir "$build" --output-on-failure --no-tests=error)
if [ "$(id -u)" -eq 0 ]; then
  chown -R ovik-test "$build" 2>/dev/null || true
  if runuser -u ovik-test -- test -w "$build" -a -r "$build/CTestTestfile.cmake"; then
    runuser -u ovik-test -- "${run_ctest[@]}"
    exit $?
  fi
  echo "note: ovik-test cannot reach $build; running the tests as root" >&2
fi
"${run_ctest[@]}"
