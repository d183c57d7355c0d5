#!/usr/bin/env bash
# Times the release of a large client against two archivers making the
# image and the zip of the same tree alone, with no checks and no read-back:
#
#   release    scripts/release.sh --no-build --client DIR --out SCRATCH/out,
#              into an empty --out and again into the same one (--replace);
#              also when its summary was printed, which can be before it returns
#   image      xorriso -as mkisofs of the same medium tree alone
#   zip        bsdtar --format=zip of the same tree alone
#   check      scripts/release.sh --check --client DIR, when --help lists it
#
# and prints a table with the ratio release / (image + zip). Unless --no-docs,
# the results replace the section between the release-bench markers in
# docs/benchmarks.md (the rest of that file stays as it is).
#
# usage: bash bench/release-bench.sh [options]
#   --client DIR     the client folder to release (default: one made by
#                    bench/make-large-client.py in the scratch folder)
#   --rounds N       best of N rounds (default 1; a round takes a few minutes
#                    on 2 cores for the default client)
#   --files N, --megabytes N, --max-name N
#                    passed to make-large-client.py (default: its own, 26000
#                    files, 160 MiB, names up to 255 UTF-16 units)
#   --build-dir DIR  the MinGW build tree with setup.exe (default: build/mingw)
#   --scratch DIR    the scratch folder, emptied first (default: build/release-bench)
#   --keep           keep the scratch folder
#   --no-docs        leave docs/benchmarks.md alone
#   -h, --help       this text
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"

usage_error() {
  echo "release-bench: $*" >&2
  echo "try: bash bench/release-bench.sh --help" >&2
  exit 2
}
fail() {
  echo "release-bench: $*" >&2
  exit 1
}

client=""
rounds=1
build="$root/build/mingw"
keep=0
scratch="$root/build/release-bench"
docs=1
make_options=()
invocation="bash bench/release-bench.sh${*:+ $*}"
while [ $# -gt 0 ]; do
  case "$1" in
    --client | --rounds | --files | --megabytes | --max-name | --build-dir | --scratch)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
      case "$1" in
        --client) client="$(realpath -m "$2")" ;;
        --rounds) rounds="$2" ;;
        --build-dir) build="$(realpath -m "$2")" ;;
        --scratch) scratch="$(realpath -m "$2")" ;;
        *)
          [[ $2 =~ ^[1-9][0-9]*$ ]] || usage_error "$1 needs a positive number, not $2"
          make_options+=("$1" "$2")
          ;;
      esac
      shift 2
      ;;
    --keep) keep=1; shift ;;
    --no-docs) docs=0; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) usage_error "unknown option: $1" ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || usage_error "--rounds needs a positive number, not $rounds"
if [ -n "$client" ]; then
  [ -d "$client" ] || usage_error "--client $client is not a folder"
  [ "${#make_options[@]}" -eq 0 ] || usage_error "--files, --megabytes and --max-name apply only without --client"
fi

case "$client/" in
  "$scratch"/*) usage_error "--client $client lies in the scratch folder $scratch, which each run starts afresh" ;;
esac

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps xorriso libarchive-tools cmake

if [ ! -f "$build/CMakeCache.txt" ]; then
  [ "$build" = "$root/build/mingw" ] || fail "$build is not a configured build tree"
  (cd "$root" && cmake --preset mingw >/dev/null)
fi
cmake --build "$build" -j2 --target installer sample_client >/dev/null ||
  fail "building setup.exe in $build failed (run: cmake --build $build --target installer sample_client)"

export LC_ALL=C.UTF-8
release=(bash "$root/scripts/release.sh" --no-build --build-dir "$build")

# The scratch folder is emptied only when it is one of ours.
marker=".release-bench-scratch"
if [ -e "$scratch" ] && [ -n "$(ls -A "$scratch" 2>/dev/null)" ] && [ ! -f "$scratch/$marker" ]; then
  fail "--scratch $scratch holds files that this benchmark did not make; give an empty or new folder"
fi
rm -rf "$scratch"
mkdir -p "$scratch/alone"
: >"$scratch/$marker"
trap '[ "$keep" -eq 1 ] || rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"

# Seconds since the epoch, to the microsecond, without starting a process.
now() { printf '%s' "${EPOCHREALTIME/,/.}"; }
elapsed() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.2f", e - s }'; }

# ---- The client and the medium tree ---------------------------------------------

generated=""
if [ -z "$client" ]; then
  client="$scratch/client"
  echo "release-bench: making the client in $client"
  start="$(now)"
  /usr/bin/python3 "$root/bench/make-large-client.py" --out "$client" --sample "$build/sample-client" \
    "${make_options[@]}" >/dev/null
  generated="$(elapsed "$start" "$(now)")"
fi
declare -A about
while read -r key value; do
  about[$key]="$value"
done < <(/usr/bin/python3 "$root/bench/make-large-client.py" --describe "$client")

# Releases are named after the client's version.
version="$(/usr/bin/python3 "$root/scripts/medium.py" version "$client")" ||
  fail "$client has no version to name its release by"
name="ovik-medium-$version"
label="OVIK_MEDIUM_${version//./_}"

# The tree the archivers get alone: the client plus setup.exe, as a release lays it out.
medium="$scratch/medium/$name"
mkdir -p "$medium"
cp -R "$client/." "$medium/"
mkdir -p "$medium/Installer"
cp "$build/app/setup.exe" "$medium/Installer/setup.exe"

# ---- Rounds ---------------------------------------------------------------------

declare -A times=()
record() { times[$1]="${times[$1]:+${times[$1]} }$2"; }

# run_release KEY ARGS...: times a release run; KEY gets the time to return,
# KEY-summary the time until its last line of output.
run_release() {
  local key="$1"
  shift
  local log="$scratch/$key.log" start end last status=0
  sync
  start="$(now)"
  "${release[@]}" "$@" 2>"$log.err" | while IFS= read -r line; do
    printf '%s\t%s\n' "${EPOCHREALTIME/,/.}" "$line"
  done >"$log" || status=$?
  end="$(now)"
  if [ "$status" -ne 0 ]; then
    tail -n 20 "$log.err" >&2
    fail "release.sh $* failed (exit $status)"
  fi
  last="$(tail -n 1 "$log" | cut -f1)"
  record "$key" "$(elapsed "$start" "$end")"
  record "$key-summary" "$(elapsed "$start" "${last:-$end}")"
}

# run_alone KEY COMMAND...: times a command run in the medium's parent folder.
run_alone() {
  local key="$1" start end
  shift
  sync
  start="$(now)"
  (cd "$scratch/medium" && "$@") >"$scratch/$key.log" 2>&1 || {
    tail -n 20 "$scratch/$key.log" >&2
    fail "$key alone failed: $*"
  }
  end="$(now)"
  record "$key" "$(elapsed "$start" "$end")"
}

has_check=0
"${release[@]}" --help 2>/dev/null | grep -q -- '--check' && has_check=1

for round in $(seq "$rounds"); do
  echo "release-bench: round $round of $rounds"
  rm -f "$scratch/alone/image.iso" "$scratch/alone/medium.zip"
  run_alone image xorriso -no_rc -as mkisofs -quiet -o "$scratch/alone/image.iso" -V "$label" \
    -J -joliet-long -r -iso-level 3 -input-charset utf-8 "$name"
  run_alone zip bsdtar -cf "$scratch/alone/medium.zip" --format=zip -C "$name" .
  rm -rf "$scratch/out"
  run_release fresh --client "$client" --out "$scratch/out"
  run_release replacing --client "$client" --out "$scratch/out" --replace
  if [ "$has_check" -eq 1 ]; then
    sync
    start="$(now)"
    status=0
    "${release[@]}" --check --client "$client" >"$scratch/check.log" 2>&1 || status=$?
    record check "$(elapsed "$start" "$(now)")"
    [ "$status" -eq 0 ] || echo "release-bench: release.sh --check exited $status (see its output below)" >&2
  fi
done
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

# ---- Results --------------------------------------------------------------------

best() { tr ' ' '\n' <<<"${times[$1]}" | sort -n | head -n 1; }
all() {
  local list="${times[$1]}"
  echo "${list// /, }"
}
image_best="$(best image)"
zip_best="$(best zip)"
alone="$(awk -v a="$image_best" -v b="$zip_best" 'BEGIN { printf "%.2f", a + b }')"
ratio="$(awk -v r="$(best fresh)" -v a="$alone" 'BEGIN { printf "%.2f", r / a }')"
sizes="$(cd "$scratch/out" && stat -c '%n %s' "$name.iso" "$name.zip")"
# What Windows lists from the image: its UDF tree, else its Joliet names.
medium_files="$(find "$scratch/out/$name" -type f | wc -l)"
view="$(bash "$root/scripts/windows-view.sh" "$scratch/out/$name.iso")"
view_files="$(7zz l -slt "-t$([ "$view" = UDF ] && echo udf || echo iso)" "$scratch/out/$name.iso" |
  grep -c '^Folder = -' || true)"

row() { printf '| %s | %s | %s |\n' "$1" "$(best "$2")" "$(all "$2")"; }
table="$(
  echo "| step | best s | every round, s |"
  echo "|---|---:|---|"
  row "release into an empty \`--out\`: until it returns" fresh
  row "release into an empty \`--out\`: until its summary" fresh-summary
  row "release replacing the same version: until it returns" replacing
  row "release replacing the same version: until its summary" replacing-summary
  row "image alone: \`xorriso -as mkisofs -J -joliet-long -r -iso-level 3\`" image
  row "zip alone: \`bsdtar --format=zip\`" zip
  echo "| image + zip alone | $alone | |"
  if [ "$has_check" -eq 1 ]; then
    row "\`release.sh --check\`" check
  else
    echo "| \`release.sh --check\` | — | not there: \`release.sh --help\` does not list it |"
  fi
)"

cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
memory="$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
read -r device fstype <<<"$(df --output=source,fstype "$scratch" | tail -n 1)"
disk_name="$(lsblk -ndo PKNAME "$device" 2>/dev/null || true)"
[ -n "$disk_name" ] || disk_name="$(basename "$device")"
rotational="$(cat "/sys/block/$disk_name/queue/rotational" 2>/dev/null || echo '?')"
case "$rotational" in
  0) disk_kind="which the kernel reports as not rotational" ;;
  1) disk_kind="which the kernel reports as rotational" ;;
  *) disk_kind="of unknown kind" ;;
esac
mount_options="$(findmnt -no OPTIONS --target "$scratch" 2>/dev/null || echo unknown)"
release_commit="$(git -c safe.directory="$root" -C "$root" log -1 --format=%h -- scripts/release.sh 2>/dev/null || echo unknown)"
git -c safe.directory="$root" -C "$root" diff --quiet HEAD -- scripts/release.sh 2>/dev/null || release_commit="$release_commit with local changes"
client_note="\`--client ${client#"$root"/}\`"
[ -z "$generated" ] || client_note="\`bench/make-large-client.py${make_options[*]:+ ${make_options[*]}}\`, written in $generated s"

section="$(
  cat <<EOF
<!-- release-bench: begin; bench/release-bench.sh writes this section and replaces it on a rerun -->
## Release of a large client

Run of $(date -u '+%Y-%m-%d %H:%M') UTC: \`$invocation\`, best of $rounds round(s);
\`scripts/release.sh\` as of commit $release_commit.

The client: $client_note.
${about[files]} files in ${about[folders]} folders, ${about[bytes]} bytes; longest
names ${about[longest_latin_name]} (Latin) and ${about[longest_japanese_name]} (with Japanese) UTF-16 units, ${about[names_over_64]}
names over 64 and ${about[names_over_103]} over 103; longest installed path
${about[longest_installed_file_path]} characters for a file, ${about[longest_installed_folder_path]} for a folder; ${about[paths_over_joliet_240_bytes]} paths past
Joliet's 240 bytes. The release's outputs: $(sed -e 's/ \([0-9]*\)$/ (\1 bytes)/' <<<"$sizes" | paste -sd ';' | sed 's/;/; /').
Windows reads the image's $view tree: $view_files of the medium's $medium_files files.

$table

**Release ÷ (image + zip alone): $ratio** (into an empty \`--out\`; the aim is at
most 2). Each step starts after a \`sync\`; the client and the medium tree are
in the page cache throughout. The release includes its checks, copying the
tree, both archives, the hashes and the final renames; \`--no-build\` keeps
the build of \`setup.exe\` out of it. A replaced release is deleted in the
background once the new one is in place; on a disk mounted with \`discard\`
that takes a minute or two for a tree this size, and the later rounds run
while the earlier rounds' deletions still go on, so they come out slower.

Machine: $(nproc) cores (\`nproc\`), $cpu, $memory memory; $fstype on
$device, $disk_kind, mounted \`$mount_options\`; xorriso $(xorriso -version 2>/dev/null | sed -n 's/^xorriso version[^0-9]*\([0-9.]*\).*/\1/p' | head -n 1),
$(bsdtar --version | cut -d' ' -f1-2). Load average $load_before before the run and
$load_after after it (the machine is shared).
<!-- release-bench: end -->
EOF
)"

echo
echo "release of $client"
echo "$table"
echo
echo "release / (image + zip alone): $ratio"
echo "$sizes"

if [ "$docs" -eq 1 ]; then
  doc="$root/docs/benchmarks.md"
  if grep -q '^<!-- release-bench: begin' "$doc"; then
    section="$section" awk '
      /^<!-- release-bench: begin/ { print ENVIRON["section"]; skip = 1; next }
      /^<!-- release-bench: end/ { skip = 0; next }
      !skip { print }
    ' "$doc" >"$doc.new"
  else
    { cat "$doc"; echo; echo "$section"; } >"$doc.new"
  fi
  mv "$doc.new" "$doc"
  echo "release-bench: wrote the section to docs/benchmarks.md"
fi
