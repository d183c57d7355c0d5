#!/usr/bin/env bash
# Turns a client folder into what a packager hands to users, in OUT:
#
#   ovik-medium-<version>/            the medium: the client's tree plus Installer/setup.exe
#   ovik-medium-<version>.zip         the same tree, its root at the zip's root
#   ovik-medium-<version>.iso         the same tree as a CD image (ISO 9660 + UDF bridge)
#   ovik-medium-<version>.cdx.json    the CycloneDX SBOM: every file of the medium, setup.exe's
#                                     toolchain and static libraries, the client's own SBOMs
#   ovik-medium-<version>.SHA256SUMS  the zip, the image, setup.exe and the SBOM, for `sha256sum -c`
#   ovik-medium-<version>.intoto.jsonl  how it was made: an in-toto statement (SLSA provenance)
#                                     of every output, signed with setup.exe's key (scripts/sbom.py)
#
# <version> is the client's: --version, or the ProductVersion of its
# startClass.exe. Releases of other versions in OUT are left alone. The
# outputs depend only on the sources, the client folder and
# SOURCE_DATE_EPOCH (default: the last commit's time, or without git history
# the newest file time in the source tree): file order, times, owners and
# modes are fixed. The image and the zip are read back with another tool
# (7-Zip), the image as Windows reads it, and must hold the medium folder
# exactly. Everything is made in a hidden folder inside OUT and renamed into
# place once complete. A release of the same version already in OUT stays:
# the run says "unchanged" when the new one is the same, and refuses when it
# differs, unless --replace is given. A replaced release's checksum file is
# the first thing moved away and the new one the last thing moved in, so a
# checksum file only ever lists a complete set; a move that fails puts the
# previous release back. Moves name their exact target, so nothing ever
# lands inside a folder of that name.
#
# One run at a time in OUT: a run holds OUT's lock (scripts/release-lock.sh)
# from before it writes there until it ends; another waits for it, up to
# --wait seconds. Holding it, a run first removes what runs no longer alive
# left in OUT, then refuses at once when OUT's disk cannot hold the medium
# three times over (the folder, the image and the zip). The logs of its
# steps are kept off OUT's disk, so a full disk is named as the cause.
#
# Test hooks: OVIK_RELEASE_BEFORE_MASTERING, when set, is run by bash with
# the medium folder as argument before the image and the zip are made;
# OVIK_RELEASE_AFTER_MASTERING with the image and the zip as arguments
# between mastering and reading them back.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
printf -v command_line '%q ' bash "$0" "$@"
command_line="${command_line% }"
command_words=(bash scripts/release.sh "$@")

usage() {
  cat <<'EOF'
usage: bash scripts/release.sh [options]

  --client DIR          the client folder to ship (default: the sample client);
                        it needs startClass.exe at its top and no Installer/setup.exe
  --check               only check the client folder (--client DIR) against every
                        rule, print every problem and the version, and write nothing
  --version X.Y.Z       the client's version, which names the release (default: the
                        ProductVersion of the client's startClass.exe); digits
                        separated by dots (one to four parts), optionally followed
                        by "-" and letters or digits: 2.1.0, 2.1.0-rc1
  --replace             replace a different release of the same version in --out
                        (without it, that is refused; the same release again is
                        left as it is, "unchanged")
  --out DIR             where the release goes (default: BUILD/release, that is
                        build/mingw/release)
  --sign-pkcs12 FILE    sign setup.exe (Authenticode, SHA-256) with the key and
                        certificate in this PKCS#12 file; needs --password-file
  --password-file FILE  file whose first line is the PKCS#12 password
  --sign-pkcs11 MODULE  sign setup.exe with a key on a token or HSM, through its
                        PKCS#11 library MODULE; needs --key, --cert and --pin-file
  --key URI             the key on the token, as a pkcs11: URI without the PIN
  --cert CERT           the signing certificate with its chain as a PEM file, or
                        a pkcs11: URI of the certificate on the token
  --pin-file FILE       file whose first line is the token's PIN
  --signed-setup FILE   ship this setup.exe, signed elsewhere, as it is: its
                        signature must verify, and without it the file must be
                        this build's setup.exe byte for byte
  --ca-file FILE        CA certificates that the signature must verify against
                        (default: the system's, /etc/ssl/certs/ca-certificates.crt)
  --timestamp-url URL   RFC 3161 time-stamp server to counter-sign with; may be
                        given several times: tried in order, each once more after
                        a failure (default: none; the signature then ends with
                        the certificate)
  --timestamp-timeout SECONDS
                        how long one try at a time-stamp server may take before
                        it counts as failed (default 60): with N servers the
                        time stamp takes at most 2 x N x SECONDS
  --build-dir DIR       build folder for setup.exe (default: build/mingw); a new
                        one is configured without the test programs
  --no-build            take setup.exe from the build folder as it is
  --wait SECONDS        how long to wait for another release or check-kit run
                        that is working in --out (default 600); after that the
                        run is refused, naming the other one
  -h, --help            this text

Without --sign-pkcs12, --sign-pkcs11 or --signed-setup the release is unsigned,
and says so. The signing is done by scripts/sign.sh. setup.exe keeps the
installer's own version information.

One run at a time in --out: a second one waits for the first (saying for
which), up to --wait SECONDS. A run removes the hidden folders that runs no
longer alive left in --out, saying so, and refuses at once, with the space
it needs and the space free, when --out's disk cannot hold the medium three
times over (the folder, the CD image and the zip).
EOF
}

fail() {
  echo "release.sh: $*" >&2
  exit 1
}
usage_error() {
  echo "release.sh: $*" >&2
  echo "try: bash scripts/release.sh --help" >&2
  exit 2
}

client=""
out=""
build="$root/build/mingw"
pkcs12=""
password_file=""
pkcs11_module=""
key_uri=""
cert=""
pin_file=""
signed_setup=""
ca_file=""
timestamp_urls=()
build_first=1
check_only=0
given_version=""
replace=0
wait_seconds=600
timestamp_timeout=""
while [ $# -gt 0 ]; do
  case "$1" in
    --client | --out | --sign-pkcs12 | --password-file | --sign-pkcs11 | --key | --cert | --pin-file | \
      --signed-setup | --ca-file | --timestamp-url | --build-dir | --version | --wait | --timestamp-timeout)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
      case "$1" in
        --client) client="$2" ;;
        --out) out="$2" ;;
        --sign-pkcs12) pkcs12="$2" ;;
        --password-file) password_file="$2" ;;
        --sign-pkcs11) pkcs11_module="$2" ;;
        --key) key_uri="$2" ;;
        --cert) cert="$2" ;;
        --pin-file) pin_file="$2" ;;
        --signed-setup) signed_setup="$2" ;;
        --ca-file) ca_file="$2" ;;
        --timestamp-url) timestamp_urls+=("$2") ;;
        --build-dir) build="$(realpath -m "$2")" ;;
        --version) given_version="$2" ;;
        --wait | --timestamp-timeout)
          [[ $2 =~ ^[0-9]+$ ]] || usage_error "$1 $2 is not a whole number of seconds"
          if [ "$1" = --wait ]; then wait_seconds="$2"; else timestamp_timeout="$2"; fi
          ;;
      esac
      shift 2
      ;;
    --no-build) build_first=0; shift ;;
    --check) check_only=1; shift ;;
    --replace) replace=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

# The way of signing, as scripts/sign.sh takes it.
signing=()
[ -z "$pkcs12$password_file" ] || signing+=(--pkcs12 "$pkcs12" --password-file "$password_file")
[ -z "$pkcs11_module$key_uri$cert$pin_file" ] ||
  signing+=(--pkcs11 "$pkcs11_module" --key "$key_uri" --cert "$cert" --pin-file "$pin_file")
[ -z "$signed_setup" ] || signing+=(--signed "$signed_setup")
if [ -n "$pkcs12" ] && [ -z "$password_file" ]; then
  usage_error "--sign-pkcs12 needs --password-file (the password is never taken on the command line)"
fi
if [ -n "$pkcs11_module" ] && { [ -z "$key_uri" ] || [ -z "$cert" ] || [ -z "$pin_file" ]; }; then
  usage_error "--sign-pkcs11 needs --key URI, --cert CERT and --pin-file FILE (the PIN is never taken on the command line)"
fi
ways=0
for way in "$pkcs12" "$pkcs11_module" "$signed_setup"; do
  [ -z "$way" ] || ways=$((ways + 1))
done
[ "$ways" -le 1 ] || usage_error "give one of --sign-pkcs12, --sign-pkcs11 and --signed-setup"
if [ "$ways" -eq 0 ]; then
  for given in "$ca_file:--ca-file" "${timestamp_urls[*]}:--timestamp-url" "$timestamp_timeout:--timestamp-timeout"; do
    [ -z "${given%:*}" ] || usage_error "${given##*:} applies only with --sign-pkcs12, --sign-pkcs11 or --signed-setup"
  done
fi
[ -n "$pkcs11_module" ] || [ -z "$key_uri$cert$pin_file" ] || usage_error "--key, --cert and --pin-file go with --sign-pkcs11"
[ -n "$pkcs12" ] || [ -z "$password_file" ] || usage_error "--password-file goes with --sign-pkcs12"
[ -z "$key_uri" ] || [[ $key_uri == pkcs11:* ]] ||
  usage_error "--key $key_uri is not a pkcs11: URI (for example pkcs11:token=NAME;object=LABEL;type=private)"
for uri in "$key_uri" "$cert"; do
  [[ ! $uri =~ [\;\?]pin-(value|source)= ]] ||
    usage_error "$(sed -E 's/([;?&]pin-value=)[^;?&]*/\1<left out>/g' <<<"$uri") carries a PIN: leave it out of the URI, the PIN comes from --pin-file"
done
readable=("$pkcs12" "$password_file" "$pin_file" "$signed_setup" "$ca_file")
[[ $cert == pkcs11:* ]] || readable+=("$cert")
for given in "${readable[@]}"; do
  [ -z "$given" ] || { [ -f "$given" ] && [ -r "$given" ]; } || fail "cannot read $given"
done
for url in "${timestamp_urls[@]}"; do
  signing+=(--timestamp-url "$url")
done
[ -z "$ca_file" ] || signing+=(--ca-file "$ca_file")
[ -z "$timestamp_timeout" ] || signing+=(--timestamp-timeout "$timestamp_timeout")

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
# shellcheck source=scripts/release-lock.sh
source "$root/scripts/release-lock.sh"
# Names are measured in characters and handed to the tools in UTF-8, in a
# locale that every Debian system has.
export LC_ALL=C.UTF-8
# Debian's own Python, where python3-pycdlib is installed.
python=/usr/bin/python3

if [ "$check_only" -eq 1 ]; then
  [ -n "$client" ] || usage_error "--check needs --client DIR"
  [ -z "$out" ] && [ "${#signing[@]}" -eq 0 ] ||
    usage_error "--check writes nothing: leave out --out and the signing options"
  [ "$replace" -eq 0 ] || usage_error "--check writes nothing: leave out --replace"
  ovik_install_deps python3 python3-pefile
  exec "$python" "$root/scripts/medium.py" check "$(realpath -m "$client")" ${given_version:+"$given_version"}
fi
ovik_install_deps

installer_version="$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
out="$(realpath -m "${out:-$build/release}")"

# ---- The client folder -------------------------------------------------------

# The one entry of `parent` whose name is `want` in any letter case (Windows
# finds files that way); empty when there is none.
entry_ci() {
  find "$1" -mindepth 1 -maxdepth 1 -iname "$2" -print -quit 2>/dev/null
}

# Fails, naming every problem found with its fix, unless `dir` can be
# shipped; warns about a missing library or icon.
check_client() {
  local report
  if ! report="$("$python" "$root/scripts/medium.py" check "$1" ${given_version:+"$given_version"})"; then
    echo "$report" >&2
    exit 1
  fi
}

# Fails, naming the fix, unless the release has a version: --version, or
# the ProductVersion of the client's startClass.exe.
release_version() {
  "$python" "$root/scripts/medium.py" version "$client" ${given_version:+"$given_version"} ||
    exit 1
}

if [ -n "$client" ]; then
  client="$(realpath -m "$client")"
  check_client "$client"
  version="$(release_version)" || exit 1
  case "$out/" in
    "$client"/*) fail "--out $out lies inside the client folder $client" ;;
  esac
fi
[ ! -e "$out" ] || [ -d "$out" ] || fail "--out $out is not a folder"

# ---- setup.exe -----------------------------------------------------------------

if [ "$build_first" -eq 1 ]; then
  ovik_configure_build "$root" "$build"
  cmake --build "$build" -j2 --target installer sample_client >/dev/null ||
    fail "building setup.exe in $build failed (run: cmake --build $build --target installer)"
fi
setup_exe="$build/app/setup.exe"
[ -f "$setup_exe" ] || fail "$setup_exe is not built"
# The SBOM's npm tools, beside the build.
ovik_npm_tools "$root" "$build"
npm_tools="$build/sbom-tools"
if [ -z "$client" ]; then
  client="$build/sample-client"
  check_client "$client"
  version="$(release_version)" || exit 1
fi
name="ovik-medium-$version"
sums="$name.SHA256SUMS"
exe_version=""
[ -z "$given_version" ] || exe_version="$("$python" "$root/scripts/medium.py" version "$client" 2>/dev/null)" || exe_version=""

# The release's date: the last commit's time; without git or its history
# (a source archive, a copy), the newest file time in the source tree,
# which for a `git archive` export is that same commit time.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -c safe.directory="$root" -C "$root" log -1 --format=%ct 2>/dev/null)" ||
    SOURCE_DATE_EPOCH="$(find "$root" \( -path "$root/build" -o -path "$root/.git" \) -prune -o \
      -type f -printf '%T@\n' | sort -n | tail -n 1 | cut -d. -f1)"
  [ -n "$SOURCE_DATE_EPOCH" ] || fail "no date for the release: set SOURCE_DATE_EPOCH (seconds since 1970)"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH
# The sources' revision, for the SBOM and the provenance: the commit, marked
# when the tree differs from it; without git, none to name.
if revision="$(git -c safe.directory="$root" -C "$root" rev-parse HEAD 2>/dev/null)"; then
  git -c safe.directory="$root" -C "$root" diff --quiet HEAD -- 2>/dev/null || revision+="+uncommitted-changes"
else
  revision="unknown (no git history)"
fi

# ---- The release, in a hidden folder beside its final place ---------------------

# A failed run removes what it made, and OUT itself when it made that too.
made_out=0
[ -d "$out" ] || made_out=1
stage=""
published=0
# The logs of the steps, off OUT's disk (in memory where there is
# /dev/shm), so that a full disk cannot hide why a step failed. The run
# holds a lock on them; those of this user's runs killed before they could
# remove theirs (a minute old, and no longer locked) go now.
logs="$(mktemp -d /dev/shm/ovik-release.XXXXXX 2>/dev/null || mktemp -d)"
exec {logs_fd}<"$logs"
flock -n -x "$logs_fd" || true
while IFS= read -r -d '' old_logs; do
  ! flock -n -x "$old_logs" true 2>/dev/null || rm -rf -- "$old_logs"
done < <(find "${logs%/*}" -mindepth 1 -maxdepth 1 -type d -name 'ovik-release.*' -user "$(id -u)" \
  -mmin +1 -print0 2>/dev/null)
clean_up() {
  local job
  for job in $(jobs -p); do kill "$job" 2>/dev/null || true; done
  [ -z "$stage" ] || rm -rf "$stage"
  rm -rf "$logs"
  ovik_unlock
  [ "$published" -eq 1 ] || [ "$made_out" -eq 0 ] || rmdir "$out" 2>/dev/null || true
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ovik_lock "$out" "$wait_seconds" release.sh "$command_line" --create || exit 1
ovik_remove_leftovers "$out" release.sh

# The space the release needs: the medium three times over (the folder, the
# image and the zip, each about its size on disk), and 1 MiB for the
# image's own structures and the checksum file, against what OUT's disk
# has free.
size() { numfmt --to=iec-i --suffix=B --format=%.1f "$1"; }
free_bytes() { df -B1 --output=avail "$out" 2>/dev/null | tail -n 1 | tr -d ' '; }
medium_bytes=$(($(du -s -B1 "$client" | cut -f1) + $(du -s -B1 "$setup_exe" | cut -f1)))
need=$((3 * medium_bytes + 1048576))
free_at_start="$(free_bytes)"
if [ -n "$free_at_start" ] && [ "$free_at_start" -lt "$need" ]; then
  fail "not enough space in $out: the release needs about $(size "$need") (the medium folder, its CD image and its zip, about $(size "$medium_bytes") each, and 1 MiB), and the disk holding $out has $(size "$free_at_start") free; free some space there or give another --out; nothing was written"
fi
# disk_full [LOG]: OUT's disk ran out of space (LOG, a failed step's
# output, says so, or next to nothing is free), with need and free.
disk_full() {
  local free
  free="$(free_bytes)"
  if { [ -n "${1:-}" ] && grep -q "No space left on device" "$1"; } || [ "${free:-0}" -lt 65536 ]; then
    echo "No space left on device in $out: the release needs about $(size "$need"), and $(size "${free:-0}") is free now ($(size "$free_at_start") when it began); free some space there or give another --out"
    return 0
  fi
  return 1
}
ovik_error_hint() { if disk_full >/dev/null; then echo "release.sh: $(disk_full)"; fi; }
# step_failed WHAT LOG: fails, showing LOG and naming a full disk as the cause.
step_failed() {
  local cause
  [ ! -s "$2" ] || tail -n 40 "$2" >&2
  if cause="$(disk_full "$2")"; then
    fail "$1 failed: $cause; nothing was written"
  fi
  fail "$1 failed; nothing was written"
}

ovik_work_folder "$out" ".$name.partial"
stage="$ovik_work_dir"
medium="$stage/$name"
mkdir "$medium"
cp -R "$client/." "$medium/" 2>"$logs/copy.log" || step_failed "copying the client into the medium folder" "$logs/copy.log"
installer="$(entry_ci "$medium" Installer)"
[ -z "$installer" ] || rmdir "$installer"
mkdir "$medium/Installer"

if [ "${#signing[@]}" -gt 0 ]; then
  signed_as="$(bash "$root/scripts/sign.sh" --in "$setup_exe" --out "$medium/Installer/setup.exe" \
    "${signing[@]}")" || {
    ! cause="$(disk_full)" || echo "release.sh: $cause" >&2
    exit 1
  }
else
  cp "$setup_exe" "$medium/Installer/setup.exe" 2>"$logs/copy.log" ||
    step_failed "copying setup.exe into the medium folder" "$logs/copy.log"
fi

# Fixed modes and times; owners are fixed by the archivers.
find "$medium" -type d -exec chmod 0755 {} +
find "$medium" -type f -exec chmod 0644 {} +
find "$medium" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# The zip: entries in sorted order, folders as entries, fixed modes, only a
# modification time (DOS time in UTC, and the exact time beside it), UTF-8
# names flagged as such so that Windows shows Japanese names. The zip and
# the image are made side by side: one is mostly compression, the other
# mostly reading and writing.
if [ -n "${OVIK_RELEASE_BEFORE_MASTERING:-}" ]; then
  bash -c "$OVIK_RELEASE_BEFORE_MASTERING" before-mastering "$medium"
fi
"$python" "$root/scripts/medium.py" zip "$medium" "$stage/$name.zip" >"$logs/zip.log" 2>&1 &
zip_job=$!

# The image: an ISO 9660 + UDF bridge whose UDF tree, the one Windows reads,
# is the medium, its root the medium's root. UDF carries every name and
# path that NTFS under C:\ovikProgram holds; Joliet (64 units a name,
# 240 bytes a path) could not, so there is none. Dates come from
# SOURCE_DATE_EPOCH.
# ISO 9660 takes capitals, digits and "_" in a label, UDF 30 characters.
label="OVIK_MEDIUM_${version^^}"
label="${label//[.-]/_}"
label="${label:0:30}"
"$python" "$root/scripts/medium.py" master "$medium" "$stage/$name.iso" "$label" \
  >"$logs/master.log" 2>&1 || step_failed "writing the CD image" "$logs/master.log"
wait "$zip_job" || step_failed "writing the zip" "$logs/zip.log"

if [ -n "${OVIK_RELEASE_AFTER_MASTERING:-}" ]; then
  bash -c "$OVIK_RELEASE_AFTER_MASTERING" after-mastering "$stage/$name.iso" "$stage/$name.zip"
fi

# Read back, don't trust: both archives, through a reader that shares no
# code with their writers, must hold the medium folder name for name and
# byte for byte: the image as Windows reads it, the zip as extracted.
# Both are read at once; the image's differences are reported first.
read_back() { # read_back WHAT ARCHIVE TYPE LOG
  if ! "$python" "$root/scripts/medium.py" compare "$medium" "$2" "$3" >"$4" 2>&1; then
    echo "release.sh: the $1 does not hold the medium folder $name as it should:" >&2
    head -n 20 "$4" | sed 's/^/  /' >&2
    echo "the $1 differs from the medium folder (differences: $(wc -l <"$4"))"
    return 1
  fi
}
image_view="$(bash "$root/scripts/windows-view.sh" "$stage/$name.iso")" ||
  fail "the CD image cannot be read back"
[ "$image_view" = UDF ] || fail "the CD image reads as $image_view, not UDF"
read_back zip "$stage/$name.zip" zip "$logs/zip-compare.log" >"$logs/zip-verdict" 2>"$logs/zip-report" &
zip_job=$!
image_verdict="$(read_back "CD image as Windows reads it (UDF)" "$stage/$name.iso" udf "$logs/image-compare.log")" ||
  fail "$image_verdict; nothing was written"
wait "$zip_job" || {
  cat "$logs/zip-report" >&2
  fail "$(cat "$logs/zip-verdict"); nothing was written"
}

# The SBOM, from the medium folder that both archives were just found to
# hold; then the provenance of every output. The schema validator takes
# time that grows with the square of the files (minutes for 26,000), so
# the release checks and the packager run it (README), not every release.
"$python" "$root/scripts/sbom.py" sbom "$medium" "$client" "$stage/$name.cdx.json" --version "$version" \
  --installer-version "$installer_version" --revision "$revision" --npm-tools "$npm_tools" \
  >"$logs/sbom.log" 2>&1 || step_failed "writing the SBOM" "$logs/sbom.log"
(cd "$stage" && sha256sum "$name.zip" "$name.iso" "$name/Installer/setup.exe" "$name.cdx.json" >"$sums") \
  2>"$logs/sums.log" || step_failed "writing the checksum file" "$logs/sums.log"
provenance_key=()
if [ -n "$pkcs12" ]; then
  provenance_key=(--key-pkcs12 "$pkcs12" --password-file "$password_file")
elif [ -n "$pkcs11_module" ]; then
  provenance_key=(--key-pkcs11 "$key_uri" --pkcs11-module "$pkcs11_module" --pin-file "$pin_file")
fi
"$python" "$root/scripts/sbom.py" provenance "$stage" "$name" "$client" "$stage/$name.intoto.jsonl" \
  --revision "$revision" ${provenance_key[@]+"${provenance_key[@]}"} -- "${command_words[@]}" \
  >"$logs/provenance.log" 2>&1 || step_failed "writing the provenance" "$logs/provenance.log"

# ---- Into place --------------------------------------------------------------------

# What OUT holds of this version, the checksum file first: it goes first and
# comes last. A checksum file SHA256SUMS of an older release command that
# lists this version's zip belongs to it too.
outputs=("$sums" "$name" "$name.zip" "$name.iso" "$name.cdx.json" "$name.intoto.jsonl")
held=()
for output in "${outputs[@]}"; do
  if [ -e "$out/$output" ] || [ -L "$out/$output" ]; then held+=("$output"); fi
done
if [ -f "$out/SHA256SUMS" ] && grep -q "  $name\.zip\$" "$out/SHA256SUMS"; then
  held=(SHA256SUMS ${held[@]+"${held[@]}"})
fi

# One name never stands for two media: a release of this version already
# in OUT stays unless it is the same or --replace says to replace it.
if [ "${#held[@]}" -gt 0 ] && [ "$replace" -eq 0 ]; then
  differing=()
  if [ -d "$out/$name" ] && [ ! -L "$out/$name" ]; then
    mapfile -t differing < <("$python" "$root/scripts/medium.py" differ "$out/$name" "$stage/$name" |
      sed "s,^,$name/,")
  else
    differing=("$name/")
  fi
  # The provenance says how, not what: the same outputs from another
  # command line (another --wait, paths) are the same release.
  for output in "$name.zip" "$name.iso" "$name.cdx.json" "$sums"; do
    cmp -s "$out/$output" "$stage/$output" || differing+=("$output")
  done
  if [ "${#differing[@]}" -eq 0 ]; then
    rm -rf "$stage"
    stage=""
    echo "release $name in $out: unchanged (the same client, setup.exe and date give the same files)"
    exit 0
  fi
  {
    echo "release.sh: $name already holds another release: ${#differing[@]} files differ; give --replace to replace it"
    printf '  %s\n' "${differing[@]:0:10}"
    [ "${#differing[@]}" -le 10 ] || echo "  ... and $((${#differing[@]} - 10)) more"
    echo "release.sh: nothing was written"
  } >&2
  exit 1
fi

# The old release moves aside, the new one in. A move that fails takes back
# the moves made, so OUT holds the previous release again; if even that
# fails, the previous release stays in the hidden folder and the message
# says where.
mkdir "$stage/replaced"
moved_old=()
moved_new=()
publish() {
  local output
  for output in ${held[@]+"${held[@]}"}; do
    mv -T "$out/$output" "$stage/replaced/$output" || return 1
    moved_old+=("$output")
  done
  for output in "${outputs[@]:1}" "$sums"; do
    mv -T "$stage/$output" "$out/$output" || return 1
    moved_new+=("$output")
  done
}
take_back() {
  local i
  for ((i = ${#moved_new[@]} - 1; i >= 0; i--)); do
    mv -T "$out/${moved_new[i]}" "$stage/${moved_new[i]}" || return 1
  done
  for ((i = ${#moved_old[@]} - 1; i >= 0; i--)); do
    mv -T "$stage/replaced/${moved_old[i]}" "$out/${moved_old[i]}" || return 1
  done
}
if ! publish; then
  if take_back; then
    fail "moving the release into $out failed; the release that was there is back as it was; nothing was written"
  fi
  kept="$stage/replaced"
  stage=""
  fail "moving the release into $out failed, and so did putting the previous one back: its files are in $kept; move them back into $out"
fi
published=1
# A replaced release is out of sight already; deleting its files can take
# minutes on some disks, so that goes on in the background, holding the
# folder's lock (inherited) but not OUT's.
if [ -n "$(ls -A "$stage/replaced")" ]; then
  trash="$out/.$name.replaced.${stage##*.partial.}"
  mv -T "$stage" "$trash"
  setsid -f rm -rf -- "$trash" </dev/null >/dev/null 2>&1 {ovik_lock_fd}<&-
else
  rm -rf "$stage"
fi
stage=""

# The summary says what the outputs in place hold, read back from them.
shipped_installer="$("$python" "$root/scripts/medium.py" product-version "$out/$name/Installer/setup.exe" 2>&1)" ||
  shipped_installer="without a version ($shipped_installer)"
shipped_label="$(7zz l -tudf "$out/$name.iso" 2>/dev/null | sed -n 's/^ *VolumeId: //p' | head -n 1)"
signatures="$(jq -r '.signatures | length' "$out/$name.intoto.jsonl" 2>/dev/null)" || signatures=""
echo "release $name in $out:"
(cd "$out" && while read -r sum file; do
  printf '  %s  %s (%s bytes)\n' "$sum" "$file" "$(stat -c %s "$file")"
done <"$sums")
echo "  checksums: $sums (cd $out && sha256sum -c $sums)"
if [ -n "$given_version" ]; then
  echo "  client version $version (--version${exe_version:+; startClass.exe says $exe_version}); setup.exe is the installer $shipped_installer"
else
  echo "  client version $version (startClass.exe's ProductVersion); setup.exe is the installer $shipped_installer"
fi
echo "  medium folder: $name/ (the client plus Installer/setup.exe); image label ${shipped_label:-(none read back)}"
echo "  read back: the image as Windows reads it ($image_view) and the zip hold the medium folder exactly"
echo "  SBOM: $name.cdx.json, CycloneDX $(sed -n 's/^ "specVersion": "\(.*\)",$/\1/p' "$out/$name.cdx.json"): the medium's $(find "$out/$name" -type f | wc -l) files, setup.exe's toolchain and static libraries"
"$python" "$root/scripts/sbom.py" found "$out/$name" | sed 's/^/    /'
if [ "${signatures:-0}" -gt 0 ] 2>/dev/null; then
  echo "  provenance: $name.intoto.jsonl (in-toto statement, SLSA provenance v1, of the outputs above), signed with setup.exe's key in a DSSE envelope"
else
  echo "  provenance: $name.intoto.jsonl (in-toto statement, SLSA provenance v1, of the outputs above), NOT signed (${signed_setup:+setup.exe was signed elsewhere; }no key given to the release)"
fi
if [ "${#signing[@]}" -gt 0 ]; then
  echo "  setup.exe is $signed_as"
else
  echo "  setup.exe is NOT signed (no --sign-pkcs12, --sign-pkcs11 or --signed-setup)"
fi
