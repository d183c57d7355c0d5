#!/usr/bin/env bash
# What scripts/deps.sh decides, with package sources of every kind and
# stand-ins for apt-get and dpkg-query: it finds the mirror whichever way
# the sources are kept, and with none says what to do and carries on; it
# takes osslsigncode from the backports of that mirror; a package that
# cannot be installed stops it, naming the package and what to run. Run by
# release_test.sh, and alone by the mutation runs; installs nothing.
set -euo pipefail
export LC_ALL=C.UTF-8
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
failed=0
# shellcheck source=tests/support/check.sh
source "$root/tests/support/check.sh"
test_scratch
robust="$scratch/robust"
mkdir -p "$robust/bin"

# deps.sh finds the mirror whichever way the package sources are kept, and
# with none says what to do and carries on.
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
apt="$robust/apt"
mkdir -p "$apt/list-only" "$apt/deb822/parts" "$apt/parts-list/parts" "$apt/none/parts"
printf '%s\n' "# deb cdrom:[Debian GNU/Linux 12]/ $codename main" \
  "deb http://security.debian.org/debian-security $codename-security main" \
  "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://list.example/debian $codename main" \
  >"$apt/list-only/sources.list"
printf '%s\n' "Types: deb" "URIs: http://disabled.example/debian" "Suites: $codename" "Enabled: no" "" \
  "Types: deb" "URIs: http://deb.debian.org/debian-security" "Suites: $codename-security" "" \
  "Types: deb deb-src" "URIs: http://deb822.example/debian http://second.example/debian" \
  "Suites: $codename $codename-updates" "Components: main" >"$apt/deb822/parts/debian.sources"
# The last stanza of one file ends with that file, not with the next one's lines.
printf '%s\n' "Types: deb-src" "URIs: http://source.example/debian" "Suites: $codename" \
  >"$apt/deb822/parts/sources.sources"
echo "deb http://parts.example/debian $codename main" >"$apt/parts-list/parts/mirror.list"
in_system() { # in_system SYSTEM COMMAND: COMMAND of deps.sh with SYSTEM's package sources
  OVIK_APT_SOURCES_LIST="$apt/$1/sources.list" OVIK_APT_SOURCE_PARTS="$apt/$1/parts" \
    bash -c 'set -euo pipefail; source "$0/scripts/deps.sh"; '"$2" "$root" 2>&1
}
check "deps.sh finds the mirror in sources.list alone (a debootstrap system)" \
  test "$(in_system list-only "ovik_apt_mirror $codename")" = http://list.example/debian
check "... in a deb822 .sources, past a disabled stanza and the security suite, its last stanza ending with its file" \
  test "$(in_system deb822 "ovik_apt_mirror $codename")" = http://deb822.example/debian
check "... in a .list of sources.list.d" \
  test "$(in_system parts-list "ovik_apt_mirror $codename")" = http://parts.example/debian
# An osslsigncode 2.5, and an apt-get that records what it would install from.
printf '#!/bin/sh\nprintf 2.5-1\n' >"$robust/bin/dpkg-query"
printf '#!/bin/sh\nfor a; do case "$a" in Dir::Etc::SourceList=*) cat "${a#*=}" >>"%s" ;; esac; done\n' \
  "$robust/apt.log" >"$robust/bin/apt-get"
chmod +x "$robust/bin/dpkg-query" "$robust/bin/apt-get"
upgrade='ovik_recent_osslsigncode osslsigncode; echo "carried on"'
PATH="$robust/bin:$PATH" in_system none "$upgrade" >"$robust/log" || true
check "... and with no package sources says what to do, and carries on" \
  bash -c "grep -q 'install -t $codename-backports osslsigncode' '$robust/log' && grep -qx 'carried on' '$robust/log'"
if [ "$(id -u)" -eq 0 ]; then
  PATH="$robust/bin:$PATH" in_system list-only "$upgrade" >"$robust/log" || true
  check "... as root it takes osslsigncode from the backports of the mirror in sources.list" \
    grep -qs " http://list.example/debian $codename-backports main" "$robust/apt.log"
  # Without Debian's archive keyring (hidden in a mount namespace of its
  # own), the source names none.
  : >"$robust/apt.log"
  PATH="$robust/bin:$PATH" OVIK_APT_SOURCES_LIST="$apt/list-only/sources.list" \
    OVIK_APT_SOURCE_PARTS="$apt/list-only/parts" unshare -m bash -c 'mount -t tmpfs keyless /usr/share/keyrings &&
      source "$0/scripts/deps.sh" && ovik_recent_osslsigncode osslsigncode' "$root" >/dev/null 2>&1 || true
  check "... and without the archive keyring, from a source that names no keyring" \
    grep -qx "deb http://list.example/debian $codename-backports main" "$robust/apt.log"
fi

# No package sources at all: nothing is read, not even standard input.
check "... and with none reads nothing else (a source on standard input is no source)" \
  test -z "$(in_system none "ovik_apt_mirror $codename" <<<"deb http://stdin.example/debian $codename main")"
# A package that is missing and cannot be installed stops the script,
# naming it and what to run; as another user (a stand-in id says which),
# what to install, trying nothing.
mkdir -p "$robust/failing-apt" "$robust/user"
printf '#!/bin/sh\necho tried >>"%s"\nexit 100\n' "$robust/apt-tries" >"$robust/failing-apt/apt-get"
mkdir -p "$robust/root"
printf '#!/bin/sh\necho 0\n' >"$robust/root/id"
printf '#!/bin/sh\necho 1000\n' >"$robust/user/id"
chmod +x "$robust/failing-apt/apt-get" "$robust/root/id" "$robust/user/id"
for user in root user; do
  status=0
  PATH="$robust/$user:$robust/failing-apt:$robust/bin:$PATH" in_system list-only \
    'ovik_install_deps wanted-package; echo "went on"' >"$robust/log-$user" 2>&1 || status=$?
  echo "$status" >>"$robust/log-$user"
done
check "... a missing package that cannot be installed stops the script, naming it and what to run" \
  bash -c "[ \"\$(tail -n 1 '$robust/log-root')\" = 1 ] && grep -qF 'installing wanted-package failed' '$robust/log-root' &&
    grep -qF 'then run: apt-get update && apt-get install --no-install-recommends wanted-package' '$robust/log-root'"
check "... as another user, naming it and what to run as root, without trying" \
  bash -c "[ \"\$(cat '$robust/log-user')\" = \"\$(printf '%s\\n' 'missing packages: wanted-package' \
    'install them as root: apt-get install --no-install-recommends wanted-package' 1)\" ] && [ \$(wc -l <'$robust/apt-tries') -eq 1 ]"

# A node older than the SBOM's tools need stops the script, saying so.
mkdir -p "$robust/old-node"
printf '#!/bin/sh\ncase "$1" in -p) echo 16 ;; *) echo v16.20.2 ;; esac\n' >"$robust/old-node/node"
printf '#!/bin/sh\nexit 0\n' >"$robust/old-node/npm"
chmod +x "$robust/old-node/node" "$robust/old-node/npm"
status=0
PATH="$robust/old-node:$PATH" bash -c 'source "$0/scripts/deps.sh"; ovik_npm_tools "$0" "$1"; echo "went on"' \
  "$root" "$scratch/build" >"$robust/log" 2>&1 || status=$?
check "a node older than 18 stops the SBOM's tools, exit 1, naming its version and what to install" \
  bash -c "[ $status -eq 1 ] && grep -qx 'node v16.20.2 is too old for the SBOM.s tools: install Node.js 18 or later (Debian 12.s nodejs)' '$robust/log'"

# A build folder is configured once: build/mingw by its preset, in the
# tree; another as a release build without the test programs.
mkdir -p "$robust/cmake-bin" "$scratch/tree/build/done"
printf '#!/bin/sh\necho "$PWD: $*" >>"%s"\n' "$robust/cmake.log" >"$robust/cmake-bin/cmake"
chmod +x "$robust/cmake-bin/cmake"
touch "$scratch/tree/build/done/CMakeCache.txt"
for folder in mingw other done; do
  (cd "$scratch" && PATH="$robust/cmake-bin:$PATH" bash -c 'source "$0/scripts/deps.sh"
    ovik_configure_build "$1" "$1/build/$2"' "$root" "$scratch/tree" "$folder" >/dev/null 2>&1) ||
    echo "failed: $folder" >>"$robust/cmake.log"
done
check "deps.sh configures build/mingw by its preset, another folder without tests, a configured one not again" \
  test "$(cat "$robust/cmake.log")" = "$(printf '%s\n' "$scratch/tree: --preset mingw" \
    "$scratch: -S $scratch/tree -B $scratch/tree/build/other --toolchain $scratch/tree/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DOVIK_BUILD_TESTS=OFF")"

[ "$failed" -eq 0 ] && echo "deps.sh checks: all passed" || echo "deps.sh checks: FAILED"
exit "$failed"
