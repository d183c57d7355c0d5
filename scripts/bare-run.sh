#!/usr/bin/env bash
# Runs the README's test command, `bash scripts/test.sh`, on a bare Debian 12
# made for this run: `debootstrap --variant=minbase bookworm` (no locale, no
# git, no Python, no CA store), entered as root with `env -i` inside a private
# mount namespace, so the tests' own mounts (the full-disk volume) work there
# and every mount goes away with the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"

usage() {
  cat <<'EOF'
usage: bash scripts/bare-run.sh [--sources list|deb822] [--cache DIR] [--mirror URI] [--fresh-base]

Copies this work tree (without build/ and without git's files) into a new
minimal Debian 12 system and runs `bash scripts/test.sh` there as root, with
`env -i` and CI=true: it installs the packages itself, builds and tests.
Needs root; installs debootstrap on the host when it is missing.

  --sources list     package sources in /etc/apt/sources.list, one line a source
  --sources deb822   in /etc/apt/sources.list.d/debian.sources, no sources.list
                     (without --sources, or OVIK_BARE_SOURCES, the runs take
                     turns, counted in the cache folder)
  --cache DIR        where the base system's tarball, the turn counter and the
                     downloaded packages are kept between runs
                     (default /var/cache/ovik-ci, or OVIK_BARE_CACHE)
  --mirror URI       the Debian mirror (default: the host's own package
                     sources' mirror for bookworm, else http://deb.debian.org/debian)
  --fresh-base       make the base system anew even when the cache has one
  --skips OUTPUT CTEST_LOG
                     only print the cases a test run skipped, with their
                     reasons, from its output and CTest's LastTest.log

The base system is made with debootstrap wherever the cache lacks it. The
packages are installed into the bare system afresh each run; only their
downloaded files are kept (DIR/archives). Its output goes to the terminal,
each line with the minutes and seconds since the start, and ends with the
time each step took: base system, packages, build (with the analysers),
tests, and the cases it skipped. The run's output, CTest's log and the
skipped cases are kept in DIR (last-bare-output.log, last-bare-test.log,
last-bare-skips.txt). Every mount is made inside the run's own mount namespace and is gone
when the run ends, however it ends; the system's folder is removed then.
EOF
}

# skips_of OUTPUT CTEST_LOG: the cases a test run skipped, a line each with
# its reason: the shell checks' "skip  WHAT: WHY" lines in the run's output,
# and the GoogleTest cases skipped in CTest's log.
skips_of() {
  local ctest_log="$2"
  # A run that failed before its tests wrote no log.
  [ -f "$ctest_log" ] || ctest_log=/dev/null
  awk '
    FILENAME == ARGV[1] { line = $0; sub(/^\[[0-9:]+\] /, "", line); if (line ~ /^skip  /) print line; next }
    / Skipped$/ { getline why; next }
    /^\[  SKIPPED \] [^ ]+ \(/ { print "skip  " $4 ": " why }
  ' "$1" "$ctest_log" | sort -u
}

sources="${OVIK_BARE_SOURCES:-}"
cache="${OVIK_BARE_CACHE:-/var/cache/ovik-ci}"
mirror=""
fresh_base=0
inside=0
while [ "$#" -gt 0 ]; do
  case "$1" in
    --help | -h) usage; exit 0 ;;
    --sources) sources="${2:-}"; shift 2 || { echo "bare-run.sh: --sources needs list or deb822" >&2; exit 2; } ;;
    --cache) cache="${2:-}"; shift 2 || { echo "bare-run.sh: --cache needs a folder" >&2; exit 2; } ;;
    --mirror) mirror="${2:-}"; shift 2 || { echo "bare-run.sh: --mirror needs a URI" >&2; exit 2; } ;;
    --fresh-base) fresh_base=1; shift ;;
    --in-namespace) inside=1; shift; break ;;
    --skips) shift; skips_of "$@"; exit 0 ;;
    *) echo "bare-run.sh: unknown argument \"$1\" (see --help)" >&2; exit 2 ;;
  esac
done

# ---- Inside the private mount namespace: mount, enter, test. ----
# Arguments: SYSTEM_DIR ARCHIVES_DIR. The mounts made here belong to this
# namespace only; they are unmounted on every way out, and the kernel drops
# any left when the namespace's last process ends.
in_namespace() {
  # Not local: the EXIT trap reads them after this function has returned.
  system="$1"
  archives="$2"
  mounted=()
  # shellcheck disable=SC2317 # called by the trap
  unmount_all() {
    local i
    # Processes the tests left in the system (a Wine server, a display)
    # would keep its mounts busy.
    local pid
    for pid in /proc/[0-9]*; do
      [ "$(readlink "$pid/root" 2>/dev/null)" = "$system" ] || continue
      kill -KILL "${pid#/proc/}" 2>/dev/null || true
    done
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
      umount -R "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" 2>/dev/null || true
    done
  }
  trap unmount_all EXIT
  trap 'exit 143' TERM INT HUP
  # The system's root is a mount point of its own, so that the tests can
  # make mount namespaces of their own there too (`unshare -m`).
  mount --bind "$system" "$system" && mounted+=("$system")
  mount -t proc proc "$system/proc" && mounted+=("$system/proc")
  mount --rbind /sys "$system/sys" && mounted+=("$system/sys")
  mount --make-rslave "$system/sys"
  mount --rbind /dev "$system/dev" && mounted+=("$system/dev")
  mount --make-rslave "$system/dev"
  # Its own shared memory; the host's terminals stay the host's.
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$system/dev/shm" && mounted+=("$system/dev/shm")
  mkdir -p "$system/var/cache/apt/archives"
  mount --bind "$archives" "$system/var/cache/apt/archives" &&
    mounted+=("$system/var/cache/apt/archives")
  # In the background, so that a TERM is acted on at once.
  chroot "$system" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root CI=true \
    /bin/bash -c 'cd /opt/ovik && bash scripts/test.sh' </dev/null &
  local status=0
  wait "$!" || status=$?
  return "$status"
}

if [ "$inside" -eq 1 ]; then
  [ "$#" -eq 2 ] || { echo "bare-run.sh: --in-namespace takes SYSTEM_DIR ARCHIVES_DIR" >&2; exit 2; }
  status=0
  in_namespace "$1" "$2" || status=$?
  exit "$status"
fi

# ---- On the host: the base system, the copy, the run, the clean-up. ----
if [ "$(id -u)" -ne 0 ]; then
  echo "bare-run.sh: needs root (it makes a Debian system with debootstrap and mounts /proc, /sys and /dev into it)" >&2
  exit 1
fi
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps debootstrap
case "$cache" in
  /*) ;;
  *) echo "bare-run.sh: --cache must be an absolute path, not \"$cache\"" >&2; exit 2 ;;
esac
mkdir -p "$cache/archives/partial"

# Which package-source layout: asked for, or the other one than last time.
if [ -z "$sources" ]; then
  turn=0
  [ ! -f "$cache/turn" ] || turn="$(tr -dc 0-9 <"$cache/turn")"
  turn="${turn:-0}"
  sources=list
  [ $((turn % 2)) -eq 0 ] || sources=deb822
  echo $((turn + 1)) >"$cache/turn"
fi
case "$sources" in
  list | deb822) ;;
  *) echo "bare-run.sh: --sources takes list or deb822, not \"$sources\"" >&2; exit 2 ;;
esac

if [ -z "$mirror" ]; then
  mirror="$(ovik_apt_mirror bookworm)"
  mirror="${mirror:-http://deb.debian.org/debian}"
fi

started=$SECONDS
stamp() { printf '[%02d:%02d] %s\n' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)) "$1"; }

# The base system: debootstrap once, kept as a tarball (without the package
# files that debootstrap leaves behind).
base="$cache/bookworm-minbase.tar"
if [ "$fresh_base" -eq 1 ] || [ ! -s "$base" ]; then
  stamp "making the base system: debootstrap --variant=minbase bookworm from $mirror"
  making="$(mktemp -d "$cache/debootstrap.XXXXXX")"
  chmod 0755 "$making"
  # In a mount namespace of its own: the mounts debootstrap makes in the new
  # system go with it, however it ends; so does the unfinished system.
  trap 'rm -rf --one-file-system "$making" "$making.log" "$base.new"' EXIT
  if ! unshare --mount --propagation private -- \
    debootstrap --variant=minbase bookworm "$making" "$mirror" >"$making.log" 2>&1; then
    tail -n 20 "$making.log" >&2
    echo "bare-run.sh: debootstrap failed (its last lines above); check the mirror $mirror and the network" >&2
    exit 1
  fi
  rm -f "$making"/var/cache/apt/archives/*.deb
  tar -C "$making" --numeric-owner -cf "$base.new" .
  mv "$base.new" "$base"
  rm -rf --one-file-system "$making" "$making.log"
  trap - EXIT
fi

system="$(mktemp -d /var/tmp/ovik-bare.XXXXXX)"
# Nothing of this run may stay mounted; the folder goes only when nothing is.
# shellcheck disable=SC2317 # called by the traps
leave() {
  if [ -n "${namespace_pid:-}" ]; then
    kill -TERM "$namespace_pid" 2>/dev/null || true
    wait "$namespace_pid" 2>/dev/null || true
  fi
  local left
  left="$(awk -v dir="$system" '$5 == dir || index($5, dir "/") == 1 { print "  " $5 }' /proc/self/mountinfo)"
  if [ -n "$left" ]; then
    printf 'bare-run.sh: still mounted under %s, so it is left in place:\n%s\n' "$system" "$left" >&2
  else
    rm -rf --one-file-system "$system"
  fi
  rm -f "$system.out" "$system.marks"
}
trap leave EXIT
trap 'exit 143' TERM INT HUP

stamp "base system: $base into $system"
tar -C "$system" --numeric-owner -xf "$base"
# A system's root is open to every user (apt's own, the tests' ovik-test),
# whatever mode the folder it was made in had.
chmod 0755 "$system"
case "$sources" in
  list)
    printf 'deb %s bookworm main\n' "$mirror" >"$system/etc/apt/sources.list"
    ;;
  deb822)
    rm -f "$system/etc/apt/sources.list"
    cat >"$system/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    ;;
esac
# The certificate authorities of this network that the host trusts beside
# Debian's (a TLS proxy's, say), as every machine on it has them: where the
# CA store takes them from once the tests install it. The bare system still
# has no CA store of its own.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$system/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$system/usr/local/share/ca-certificates/"
fi
for absent in git python3 locale-gen update-ca-certificates; do
  if [ -e "$system/usr/bin/$absent" ] || [ -e "$system/usr/sbin/$absent" ]; then
    echo "bare-run.sh: the base system has $absent; it is not a bare system (remove $base and run again)" >&2
    exit 1
  fi
done
# In /opt, which every user can reach: as root, test.sh runs the tests as
# the unprivileged ovik-test, which cannot reach a tree in /root.
mkdir -p "$system/opt/ovik"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$system/opt/ovik" -xf -
stamp "package sources: $sources ($mirror); running bash scripts/test.sh as root with env -i"

# Each line of the run with its time; the first line of each step is noted
# for the split.
marks="$system.marks"
mkfifo "$system.out"
: >"$cache/last-bare-output.log"
while IFS= read -r line; do
  echo "$line" >>"$cache/last-bare-output.log"
  printf '[%02d:%02d] %s\n' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)) "$line"
  case "$line" in
    "installing: "* | "Preset CMake variables:"* | "Test project "*) echo "$SECONDS ${line%%:*}" >>"$marks" ;;
  esac
done <"$system.out" &
stamper_pid=$!
unshare --mount --propagation private -- bash "$root/scripts/bare-run.sh" --in-namespace \
  "$system" "$cache/archives" </dev/null >"$system.out" 2>&1 &
namespace_pid=$!
status=0
wait "$namespace_pid" || status=$?
namespace_pid=""
wait "$stamper_pid" || true
ended=$SECONDS
touch "$marks"
# The test programs' whole output, to compare with a run elsewhere.
test_log="$system/opt/ovik/build/mingw/Testing/Temporary/LastTest.log"
rm -f "$cache/last-bare-test.log"
[ ! -f "$test_log" ] || cp "$test_log" "$cache/last-bare-test.log"
skips_of "$cache/last-bare-output.log" "$cache/last-bare-test.log" >"$cache/last-bare-skips.txt"
if [ -s "$cache/last-bare-skips.txt" ]; then
  echo "skipped on the bare system:"
  sed 's/^/  /' "$cache/last-bare-skips.txt"
fi

# The split, from the first line of each step.
first() { awk -v key="$1" '$2 == key { print $1; exit }' "$marks"; }
packages_at="$(first installing)"
build_at="$(first Preset)"
tests_at="$(awk '$2 == "Test" { print $1; exit }' "$marks")"
unpacked_at=$((${packages_at:-${build_at:-$ended}}))
span() { [ -n "$1" ] && [ -n "$2" ] && echo "$(($2 - $1)) s" || echo "-"; }
echo "bare run ($sources): $((ended - started)) s in all; base system $(span "$started" "$unpacked_at"), packages $(span "$packages_at" "$build_at"), build with the analysers and the release checks $(span "$build_at" "$tests_at"), tests $(span "$tests_at" "$ended")"
if [ "$status" -ne 0 ]; then
  echo "bare-run.sh: the README's test command failed on a bare Debian 12 (sources: $sources) with status $status; its messages are above" >&2
  exit 1
fi
echo "bare-run.sh: the README's test command passed on a bare Debian 12 (sources: $sources)"
