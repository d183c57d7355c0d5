#!/usr/bin/env bash
# watched.sh SCRIPT ARGS...: runs bash SCRIPT ARGS... (scripts/release.sh or
# scripts/sign.sh) and checks, whatever its outcome, the promises every run
# keeps:
#
# - no secret is on any process's command line while it runs (looked for
#   ten times a second), nor in any file it wrote (newer than its start) in
#   the temporary folder, /dev/shm, --out or the build tree; the secrets are
#   the lines of OVIK_TEST_SECRETS (a file) and any PEM private key;
# - for release.sh, once no live run holds --out: each checksum file there
#   verifies and lists exactly its version's zip, image, setup.exe and SBOM,
#   with the medium folder and the provenance beside them; the run put
#   nothing else there but the check kit; the medium folder's folders are
#   0755 and its files 0644; no hidden folder or lock is left unless a live
#   run holds it or it holds a replaced release (the run says where); its
#   logs in /dev/shm are gone. A run ended by a signal may leave its working
#   folder and logs for the next run; the secrets hold all the same.
#
# Prints each broken promise as "watched.sh: BROKEN: ..." on standard error
# and appends it to OVIK_TEST_BROKEN (a file) when set, which the checks of
# tests/support/check.sh report as a failed case. Exits with SCRIPT's status.
# watched.sh --scan SINCE PLACE... prints the files below the PLACEs,
# written after the file SINCE, that hold a secret.
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; "") exit 2 ;; esac
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# Patterns from files only, the key's through a pipe: a pattern on grep's
# command line or in a file would be found itself; the secrets themselves
# are copied nowhere.
patterns() { grep -f <(echo "PRIVATE KEY-----") ${OVIK_TEST_SECRETS:+-f "$OVIK_TEST_SECRETS"} "$@"; }

# holding SINCE PLACE...: the files below each PLACE written after the file
# SINCE that hold a secret. Other test runs' own folders (marked
# .ovik-test-scratch; two runs at once on one machine, say) are theirs.
holding() {
  local since="$1" place marked others=() written ours=()
  shift
  [ -z "${watch:-}" ] || ours=(! -path "$watch/*")
  while IFS= read -r -d '' marked; do
    [ "$marked" = "${OVIK_TEST_SCRATCH:-}" ] || others+=(-path "$marked" -prune -o)
  done < <(find "${TMPDIR:-/tmp}" -mindepth 2 -maxdepth 2 -name .ovik-test-scratch -printf '%h\0' 2>/dev/null)
  for place in "$@"; do
    [ -d "$place" ] || continue
    mapfile -d '' written < <(find "$place" -xdev ${others[@]+"${others[@]}"} -type f -newer "$since" \
      ${ours[@]+"${ours[@]}"} -print0 2>/dev/null)
    [ "${#written[@]}" -eq 0 ] || patterns -laF -- "${written[@]}" 2>/dev/null || true
  done
}
# watched.sh --scan SINCE PLACE...: only that, for a run that was killed.
if [ "${1:-}" = --scan ]; then
  shift
  holding "$@"
  exit 0
fi

# The script runs with the caller's PATH (which a test may have planted a
# failing command on); the checks here with the system's own.
given_path="$PATH"
PATH=/usr/sbin:/usr/bin:/sbin:/bin
script="$1"
shift

out="" build="$root/build/mingw"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --out) out="${args[i + 1]:-}" ;;
    --build-dir) build="${args[i + 1]:-}" ;;
  esac
done
[[ ${script##*/} != release.sh ]] || out="$(realpath -m "${out:-$build/release}")"

watch="$(mktemp -d)"
trap 'kill "$watcher" 2>/dev/null || true; rm -rf "$watch"' EXIT
touch "$watch/start"
# The command lines that were given the secret (a refused PIN in a key's
# URI, say) and the forks of those shells, which carry the same line.
given="$(printf '%s ' bash "$script" "$@")"
ours="$(tr '\0' ' ' </proc/$$/cmdline)"

broken() {
  echo "watched.sh: BROKEN: $*" >&2
  [ -z "${OVIK_TEST_BROKEN:-}" ] || echo "$*" >>"$OVIK_TEST_BROKEN"
}

known=()
[ -z "${OVIK_TEST_SECRETS:-}" ] || mapfile -t known < <(grep -v '^$' "$OVIK_TEST_SECRETS")
# Every process's command line, ten times a second, while SCRIPT runs.
(
  while :; do
    for cmdline in $(patterns -laF /proc/[0-9]*/cmdline 2>/dev/null); do
      line="$(tr '\0' ' ' <"$cmdline" 2>/dev/null)" || continue
      [ "$line" != "$given" ] && [ "$line" != "$ours" ] || continue
      # Named with the secret left out: the report is a file too.
      for secret in ${known[@]+"${known[@]}"}; do line="${line//"$secret"/<secret>}"; done
      echo "${line//PRIVATE KEY-----/<key>}" >>"$watch/seen"
    done
    sleep 0.1
  done
) &
watcher=$!

status=0
PATH="$given_path" bash "$script" "$@" || status=$?
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true

if [ -s "$watch/seen" ]; then
  broken "a secret on a command line during $script: $(sort -u "$watch/seen" | tr '\n' ' ')"
fi

holding "$watch/start" "${TMPDIR:-/tmp}" /dev/shm "$build" ${out:+"$out"} >"$watch/holding"
if [ -s "$watch/holding" ]; then
  broken "a secret left in a file by $script: $(sort -u "$watch/holding" | tr '\n' ' ')"
fi

# Its logs in memory go with it, unless a live run holds them.
if [ "$status" -le 128 ]; then
  for logs in /dev/shm/ovik-release.*; do
    [ -d "$logs" ] && [ -n "$(find "$logs" -maxdepth 0 -newer "$watch/start")" ] || continue
    ! flock -n "$logs" true 2>/dev/null || broken "$script left its logs $logs"
  done
fi

# What a release leaves in --out, once nobody is working there.
if [ -n "$out" ] && [ -d "$out" ] && [ "$status" -le 128 ] &&
  { [ ! -e "$out/.ovik-release.lock" ] || flock -n "$out/.ovik-release.lock" true; }; then
  for entry in "$out"/.ovik-release.lock "$out"/.ovik-medium-* "$out"/.check.partial.*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    if [ "${entry##*/}" = .ovik-release.lock ]; then
      broken "$script left the lock $entry, which no run holds"
    elif [[ ${entry##*/} == *.partial.* ]] && [ -n "$(ls -A "$entry/replaced" 2>/dev/null)" ]; then
      : # the only copy of a replaced release: the run said where it is
    elif [ -d "$entry" ] && [ ! -L "$entry" ] && flock -n "$entry" true 2>/dev/null; then
      broken "$script left the hidden $entry, which no run holds"
    fi
  done
  for sums in "$out"/ovik-medium-*.SHA256SUMS; do
    [ -f "$sums" ] || continue
    name="${sums##*/}"
    name="${name%.SHA256SUMS}"
    (cd "$out" && sha256sum --quiet --strict -c "${sums##*/}") >/dev/null 2>&1 ||
      broken "$sums does not verify what stands beside it"
    [ "$(cut -c67- "$sums" | sort)" = "$(printf '%s\n' "$name.cdx.json" "$name.iso" "$name.zip" "$name/Installer/setup.exe")" ] ||
      broken "$sums lists $(cut -c67- "$sums" | tr '\n' ' '), not its version's zip, image, setup.exe and SBOM"
    [ -f "$out/$name.intoto.jsonl" ] || broken "$name has no provenance beside its checksum file"
    odd="$(find "$out/$name" \( -type d ! -perm 0755 -o -type f ! -perm 0644 -o ! -type d ! -type f \) -printf '%m %p\n' 2>/dev/null | head -n 3)"
    [ -z "$odd" ] || broken "the medium folder $out/$name holds other modes or kinds than 0755 folders and 0644 files: $odd"
  done
  # What was there before the run is the packager's own.
  for entry in "$out"/*; do
    [ -n "$(find "$entry" -maxdepth 0 -cnewer "$watch/start" 2>/dev/null)" ] || continue
    base="${entry##*/}"
    version="$(sed -n 's/^\(ovik-medium-.*\)\(\.zip\|\.iso\|\.cdx\.json\|\.intoto\.jsonl\|\.SHA256SUMS\)$/\1/p' <<<"$base")"
    [ -n "$version" ] || [ ! -d "$entry" ] || [[ $base != ovik-medium-* ]] || version="$base"
    if [ -n "$version" ]; then
      # Unless a move into place and its taking back both failed: the run
      # said where the previous release's files are.
      [ -f "$out/$version.SHA256SUMS" ] || grep -qs "  $version\.zip\$" "$out/SHA256SUMS" ||
        [ -n "$(ls -A "$out"/.ovik-medium-*.partial.*/replaced 2>/dev/null)" ] ||
        broken "$script left $entry without its checksum file"
    elif [ "$base" != check ] && [ "$base" != SHA256SUMS ]; then
      broken "$script left $entry, which is no part of a release"
    fi
  done
fi
exit "$status"
