#!/usr/bin/env bash
# Installs what is missing, cross-builds everything with the MinGW preset and
# runs every test program under Wine on a virtual display.
#
# As root, the tests run as the unprivileged user "ovik-test" when it can
# reach the build tree: Wine run by root ignores read-only attributes, and
# some tests need Windows' behaviour there (they skip, saying so, otherwise).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps

cd "$root"
cmake --preset mingw
cmake --build --preset mingw

build="$root/build/mingw"
if [ "$(id -u)" -eq 0 ]; then
  id ovik-test >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin ovik-test
  chown -R ovik-test "$build"
  if runuser -u ovik-test -- test -w "$build" -a -r "$build/CTestTestfile.cmake"; then
    exec runuser -u ovik-test -- ctest --test-dir "$build" --output-on-failure --no-tests=error
  fi
  echo "note: ovik-test cannot reach $build; running the tests as root" >&2
fi
exec ctest --test-dir "$build" --output-on-failure --no-tests=error
