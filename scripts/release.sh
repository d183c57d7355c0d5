#!/usr/bin/env bash
# Turns a client folder into what a packager hands to users, in OUT:
#
#   ovik-medium-<version>/      the medium: the client's tree plus Installer/setup.exe
#   ovik-medium-<version>.zip   the same tree, its root at the zip's root
#   ovik-medium-<version>.iso   the same tree as a CD image (ISO 9660 + UDF bridge)
#   SHA256SUMS                  the zip, the image and setup.exe, for `sha256sum -c`
#
# The outputs depend only on the sources, the client folder and
# SOURCE_DATE_EPOCH (default: the last commit's time, or without git history
# the newest file time in the source tree): file order, times, owners and
# modes are fixed. The image and the zip are read back with another tool
# (7-Zip), the image as Windows reads it, and must hold the medium folder
# exactly. Everything is made in a hidden folder inside OUT and renamed into
# place once complete. A release of the same version already in OUT is
# replaced; its SHA256SUMS is the first thing removed and the new one the
# last thing written, so SHA256SUMS only ever lists a complete set.
#
# Test hook: OVIK_RELEASE_AFTER_MASTERING, when set, is run by bash with the
# image and the zip as arguments between mastering and reading them back.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
  cat <<'EOF'
usage: bash scripts/release.sh [options]

  --client DIR          the client folder to ship (default: the sample client);
                        it needs startClass.exe at its top and no Installer/setup.exe
  --check               only check the client folder (--client DIR) against every
                        rule, print every problem, and write nothing
  --out DIR             where the release goes (default: BUILD/release, that is
                        build/mingw/release)
  --sign-pkcs12 FILE    sign setup.exe (Authenticode, SHA-256) with the key and
                        certificate in this PKCS#12 file; needs --password-file
  --password-file FILE  file whose first line is the PKCS#12 password
  --ca-file FILE        CA certificates that the signature must verify against
                        (default: the system's, /etc/ssl/certs/ca-certificates.crt)
  --timestamp-url URL   RFC 3161 time-stamp server to counter-sign with
                        (default: none; the signature then ends with the certificate)
  --build-dir DIR       build folder for setup.exe (default: build/mingw); a new
                        one is configured without the test programs
  --no-build            take setup.exe from the build folder as it is
  -h, --help            this text

Without --sign-pkcs12 the release is unsigned, and says so.
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
ca_file=""
timestamp_url=""
build_first=1
check_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --client | --out | --sign-pkcs12 | --password-file | --ca-file | --timestamp-url | --build-dir)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
      case "$1" in
        --client) client="$2" ;;
        --out) out="$2" ;;
        --sign-pkcs12) pkcs12="$2" ;;
        --password-file) password_file="$2" ;;
        --ca-file) ca_file="$2" ;;
        --timestamp-url) timestamp_url="$2" ;;
        --build-dir) build="$(realpath -m "$2")" ;;
      esac
      shift 2
      ;;
    --no-build) build_first=0; shift ;;
    --check) check_only=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

if [ -n "$pkcs12" ] && [ -z "$password_file" ]; then
  usage_error "--sign-pkcs12 needs --password-file (the password is never taken on the command line)"
fi
if [ -z "$pkcs12" ]; then
  for given in "$password_file:--password-file" "$ca_file:--ca-file" "$timestamp_url:--timestamp-url"; do
    [ -z "${given%:*}" ] || usage_error "${given##*:} applies only with --sign-pkcs12"
  done
fi
for given in "$pkcs12" "$password_file" "$ca_file"; do
  [ -z "$given" ] || { [ -f "$given" ] && [ -r "$given" ]; } || fail "cannot read $given"
done

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
# Names are measured in characters and handed to the tools in UTF-8, in a
# locale that every Debian system has.
export LC_ALL=C.UTF-8
# Debian's own Python, where python3-pycdlib is installed.
python=/usr/bin/python3

if [ "$check_only" -eq 1 ]; then
  [ -n "$client" ] || usage_error "--check needs --client DIR"
  [ -z "$out$pkcs12" ] || usage_error "--check writes nothing: leave out --out and --sign-pkcs12"
  ovik_install_deps python3
  exec "$python" "$root/scripts/medium.py" check "$(realpath -m "$client")"
fi
ovik_install_deps

version="$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || fail "no VERSION in project(...) of $root/CMakeLists.txt"
name="ovik-medium-$version"
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
  if ! report="$("$python" "$root/scripts/medium.py" check "$1")"; then
    echo "$report" >&2
    exit 1
  fi
}

if [ -n "$client" ]; then
  client="$(realpath -m "$client")"
  check_client "$client"
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
if [ -z "$client" ]; then
  client="$build/sample-client"
  check_client "$client"
fi

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

# ---- The release, in a hidden folder beside its final place ---------------------

# A failed run removes what it made, and OUT itself when it made that too.
made_out=0
[ -d "$out" ] || made_out=1
mkdir -p "$out"
stage="$(mktemp -d "$out/.$name.partial.XXXXXX")"
published=0
clean_up() {
  local job
  for job in $(jobs -p); do kill "$job" 2>/dev/null || true; done
  [ -z "$stage" ] || rm -rf "$stage"
  [ "$published" -eq 1 ] || [ "$made_out" -eq 0 ] || rmdir "$out" 2>/dev/null || true
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

medium="$stage/$name"
mkdir "$medium"
cp -R "$client/." "$medium/"
installer="$(entry_ci "$medium" Installer)"
[ -z "$installer" ] || rmdir "$installer"
mkdir "$medium/Installer"

if [ -n "$pkcs12" ]; then
  sign=(osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256
    -n "OVIK client installer" -in "$setup_exe" -out "$medium/Installer/setup.exe")
  [ -z "$timestamp_url" ] || sign+=(-ts "$timestamp_url")
  "${sign[@]}" >"$stage/sign.log" 2>&1 || {
    cat "$stage/sign.log" >&2
    fail "signing with $pkcs12 failed (wrong password in $password_file, or not a PKCS#12 file with a key and its certificate?)"
  }
  verify=(osslsigncode verify -in "$medium/Installer/setup.exe")
  [ -z "$ca_file" ] || verify+=(-CAfile "$ca_file")
  "${verify[@]}" >"$stage/verify.log" 2>&1 || {
    cat "$stage/verify.log" >&2
    # osslsigncode's default store, which only the ca-certificates package puts there.
    if [ -z "$ca_file" ] && [ ! -s /etc/ssl/certs/ca-certificates.crt ]; then
      fail "the signed setup.exe cannot be verified: this system has no CA store (no /etc/ssl/certs/ca-certificates.crt; install ca-certificates), or give the CA certificates that issued yours with --ca-file FILE; nothing was written"
    fi
    if grep -qiE "local issuer|issuer certificate|self.signed|untrusted|unable to get" "$stage/verify.log"; then
      if [ -n "$ca_file" ]; then
        fail "the signed setup.exe does not verify: its certificate does not chain to the CA certificates in $ca_file (give the CA that issued it with --ca-file); nothing was written"
      fi
      fail "the signed setup.exe does not verify: its certificate does not chain to the system's CA store (/etc/ssl/certs); for a private or company CA, give its certificates with --ca-file FILE; nothing was written"
    fi
    fail "the signed setup.exe does not verify${ca_file:+ against $ca_file}; nothing was written"
  }
  signed_by="$(sed -n 's/^[[:space:]]*Subject: //p' "$stage/verify.log" | head -n 1)"
else
  cp "$setup_exe" "$medium/Installer/setup.exe"
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
"$python" "$root/scripts/medium.py" zip "$medium" "$stage/$name.zip" >"$stage/zip.log" 2>&1 &
zip_job=$!

# The image: an ISO 9660 + UDF bridge whose UDF tree, the one Windows reads,
# is the medium, its root the medium's root. UDF carries every name and
# path that NTFS under C:\ovikProgram holds; Joliet (64 units a name,
# 240 bytes a path) could not, so there is none. Dates come from
# SOURCE_DATE_EPOCH.
label="OVIK_MEDIUM_${version//./_}"
"$python" "$root/scripts/medium.py" master "$medium" "$stage/$name.iso" "$label" \
  >"$stage/master.log" 2>&1 || {
  cat "$stage/master.log" >&2
  fail "writing the CD image failed"
}
wait "$zip_job" || {
  cat "$stage/zip.log" >&2
  fail "writing the zip failed"
}

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
read_back zip "$stage/$name.zip" zip "$stage/zip-compare.log" >"$stage/zip-verdict" 2>"$stage/zip-report" &
zip_job=$!
image_verdict="$(read_back "CD image as Windows reads it (UDF)" "$stage/$name.iso" udf "$stage/image-compare.log")" ||
  fail "$image_verdict; nothing was written"
wait "$zip_job" || {
  cat "$stage/zip-report" >&2
  fail "$(cat "$stage/zip-verdict"); nothing was written"
}

(cd "$stage" && sha256sum "$name.zip" "$name.iso" "$name/Installer/setup.exe" >SHA256SUMS)

# ---- Into place --------------------------------------------------------------------

mkdir "$stage/replaced"
for old in SHA256SUMS "$name" "$name.zip" "$name.iso"; do
  if [ -e "$out/$old" ] || [ -L "$out/$old" ]; then
    mv "$out/$old" "$stage/replaced/"
  fi
done
for new in "$name" "$name.zip" "$name.iso" SHA256SUMS; do
  mv "$stage/$new" "$out/$new"
done
published=1
# A replaced release is out of sight already; deleting its files can take
# minutes on some disks, so that goes on in the background.
if [ -n "$(ls -A "$stage/replaced")" ]; then
  trash="$out/.$name.replaced.$$"
  mv "$stage" "$trash"
  setsid -f rm -rf -- "$trash" </dev/null >/dev/null 2>&1
else
  rm -rf "$stage"
fi
stage=""

echo "release $name in $out:"
(cd "$out" && while read -r sum file; do
  printf '  %s  %s (%s bytes)\n' "$sum" "$file" "$(stat -c %s "$file")"
done <SHA256SUMS)
echo "  medium folder: $name/ (the client plus Installer/setup.exe); image label $label"
echo "  read back: the image as Windows reads it ($image_view) and the zip hold the medium folder exactly"
if [ -n "$pkcs12" ]; then
  echo "  setup.exe is signed (Authenticode, SHA-256) by $signed_by${timestamp_url:+, time-stamped by $timestamp_url}; the signature verified"
else
  echo "  setup.exe is NOT signed (no --sign-pkcs12)"
fi
