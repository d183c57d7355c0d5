#!/usr/bin/env bash
# Turns a client folder into what a packager hands to users, in OUT:
#
#   ovik-medium-<version>/      the medium: the client's tree plus Installer/setup.exe
#   ovik-medium-<version>.zip   the same tree, its root at the zip's root
#   ovik-medium-<version>.iso   the same tree as a CD image (ISO 9660, Joliet, Rock Ridge)
#   SHA256SUMS                  the zip, the image and setup.exe, for `sha256sum -c`
#
# The outputs depend only on the sources, the client folder and
# SOURCE_DATE_EPOCH (default: the last commit's time): file order, times,
# owners and modes are fixed. Everything is made in a hidden folder inside
# OUT and renamed into place once complete. A release of the same version
# already in OUT is replaced; its SHA256SUMS is the first thing removed and
# the new one the last thing written, so SHA256SUMS only ever lists a
# complete set.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
  cat <<'EOF'
usage: bash scripts/release.sh [options]

  --client DIR          the client folder to ship (default: the sample client);
                        it needs startClass.exe at its top and no Installer/setup.exe
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
ovik_install_deps

# Names are measured in characters, so the rest runs in a UTF-8 locale that
# every Debian system has.
export LC_ALL=C.UTF-8

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

# Windows copies, and a CD shows, only names that Joliet and NTFS can hold.
# Sets `why` to the reason that `name` cannot travel, or to nothing. The
# UTF-8 test is left out when `names_are_utf8` says the whole tree passed it.
names_are_utf8=0
name_problem() {
  local name="$1"
  why=""
  if [ "$names_are_utf8" -eq 0 ] && ! printf '%s' "$name" | iconv -f UTF-8 -t UTF-16LE >/dev/null 2>&1; then
    why="is not valid UTF-8"
    return
  fi
  local supplementary="${name//[^$'\U10000'-$'\U10FFFF']/}"
  local units=$((${#name} + ${#supplementary}))
  local stem="${name%%.*}"
  if [[ $name == *[[:cntrl:]]* ]]; then
    why="holds a control character"
  elif [[ $name == *[\*:\;\?\\\<\>\"\|]* ]]; then
    why='holds one of * : ; ? \ < > " |'
  elif [ "$units" -gt 64 ]; then
    why="is $units UTF-16 units long; a CD's Joliet names hold at most 64"
  elif [[ $name == *[\ .] ]]; then
    why="ends in a space or a dot, which Windows drops"
  elif [[ ${stem,,} =~ ^(con|prn|aux|nul|com[1-9]|lpt[1-9])$ ]]; then
    why="is a device name on Windows"
  fi
}

# Fails, naming every problem found, unless `dir` can be shipped.
check_client() {
  local dir="$1"
  [ -e "$dir" ] || fail "client folder $dir does not exist"
  [ -d "$dir" ] || fail "client $dir is not a folder"
  [ -r "$dir" ] && [ -x "$dir" ] || fail "cannot read the client folder $dir"
  [ -n "$(ls -A "$dir")" ] || fail "client folder $dir is empty"

  local problems=()
  local start
  start="$(entry_ci "$dir" startClass.exe)"
  if [ -z "$start" ] || [ ! -f "$start" ] || [ -L "$start" ]; then
    problems+=("no startClass.exe at the top of $dir: the desktop shortcut would point at nothing")
  fi
  local installer
  installer="$(entry_ci "$dir" Installer)"
  if [ -n "$installer" ]; then
    if [ ! -d "$installer" ] || [ -L "$installer" ]; then
      problems+=("$installer is not a folder: the medium's Installer folder goes there")
    elif [ -n "$(entry_ci "$installer" setup.exe)" ]; then
      problems+=("$installer already holds setup.exe: give the client without the installer; the release puts this build's there")
    elif [ -n "$(ls -A "$installer")" ]; then
      problems+=("$installer holds files: that folder is the installer's own (the loader looks there before the system for DLLs, and installs write their scripts there); keep client files elsewhere")
    fi
  fi

  # Every entry: kind, readability, name, installed path length, and
  # names that differ only in letter case (one folder on Windows).
  local type path why
  local -A seen=()
  names_are_utf8=0
  if find "$dir" -mindepth 1 -printf '%f\n' 2>/dev/null | iconv -f UTF-8 -t UTF-16LE >/dev/null 2>&1; then
    names_are_utf8=1
  fi
  while IFS= read -r -d '' type && IFS= read -r -d '' path; do
    local full="$dir/$path"
    case "$type" in
      d) [ -r "$full" ] && [ -x "$full" ] || problems+=("cannot read the folder $full") ;;
      f) [ -r "$full" ] || problems+=("cannot read $full") ;;
      l) problems+=("$full is a symbolic link; a medium holds only files and folders") ;;
      *) problems+=("$full is not a regular file or folder") ;;
    esac
    name_problem "${path##*/}"
    [ -z "$why" ] || problems+=("the name of $full $why")
    local windows="C:\\ovikProgram\\${path//\//\\}"
    if [ -z "$why" ] && [ "${#windows}" -gt 259 ]; then
      problems+=("$full would install as a path of ${#windows} characters; Windows' limit is 259")
    fi
    local key="${path,,}"
    if [ -n "${seen[$key]:-}" ]; then
      problems+=("$full and $dir/${seen[$key]} differ only in letter case; Windows holds one of them")
    else
      seen[$key]="$path"
    fi
  done < <(find "$dir" -mindepth 1 -printf '%y\0%P\0' 2>/dev/null || true)

  if [ "${#problems[@]}" -gt 0 ]; then
    echo "release.sh: the client folder $dir cannot be shipped:" >&2
    printf '  - %s\n' "${problems[@]}" >&2
    exit 1
  fi
  local library="" icon="" client_folder
  client_folder="$(entry_ci "$dir" ovikClient)"
  if [ -n "$client_folder" ]; then
    library="$(entry_ci "$client_folder" ScreenCapture.ax)"
    icon="$(entry_ci "$client_folder" ovikclient.ico)"
  fi
  [ -f "$library" ] ||
    echo "release.sh: warning: no ovikClient/ScreenCapture.ax in $dir; the installer will not offer to register it" >&2
  [ -f "$icon" ] ||
    echo "release.sh: warning: no ovikClient/ovikclient.ico in $dir; the desktop shortcut gets no icon" >&2
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
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = "$root/build/mingw" ]; then
      (cd "$root" && cmake --preset mingw >/dev/null)
    else
      cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DOVIK_BUILD_TESTS=OFF >/dev/null
    fi
  fi
  cmake --build "$build" -j2 --target installer sample_client >/dev/null ||
    fail "building setup.exe in $build failed (run: cmake --build $build --target installer)"
fi
setup_exe="$build/app/setup.exe"
[ -f "$setup_exe" ] || fail "$setup_exe is not built"
if [ -z "$client" ]; then
  client="$build/sample-client"
  check_client "$client"
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -c safe.directory="$root" -C "$root" log -1 --format=%ct 2>/dev/null)" ||
    fail "no git history in $root: set SOURCE_DATE_EPOCH to the release's time (seconds since 1970)"
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
trap 'rm -rf "$stage"; [ "$published" -eq 1 ] || [ "$made_out" -eq 0 ] || rmdir "$out" 2>/dev/null || true' EXIT
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

# The zip: entries in sorted order, only a modification time (DOS time in
# UTC), UTF-8 names flagged as such so that Windows shows Japanese names.
# It is made from an mtree list, which carries no access or change times.
# Names there lose their "./"; a name without a slash is relative to the
# folder last entered, so each top-level folder is left again with "..".
(cd "$medium" && find . -mindepth 1 | sort) >"$stage/entries"
(cd "$medium" && bsdtar -cf - --format=mtree --options='!all,type,mode,time,uid,gid' \
  --uid 0 --gid 0 -n -T "$stage/entries") |
  sed -e 's,^\./,,' -e '/^[^ \/]* .*type=dir/a ..' >"$stage/entries.mtree"
(cd "$medium" && TZ=UTC bsdtar -cf "$stage/$name.zip" --format=zip @"$stage/entries.mtree")

# The image: its root is the medium's root; Joliet for Windows' long
# Unicode names, Rock Ridge with owner root and read-only modes for Unix.
# xorriso takes every date, and the volume's id, from SOURCE_DATE_EPOCH.
label="OVIK_MEDIUM_${version//./_}"
xorriso -no_rc -as mkisofs -quiet -o "$stage/$name.iso" -V "$label" -J -r -iso-level 3 \
  -input-charset utf-8 "$medium" >"$stage/xorriso.log" 2>&1 || {
  cat "$stage/xorriso.log" >&2
  fail "writing the CD image failed"
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

echo "release $name in $out:"
(cd "$out" && while read -r sum file; do
  printf '  %s  %s (%s bytes)\n' "$sum" "$file" "$(stat -c %s "$file")"
done <SHA256SUMS)
echo "  medium folder: $name/ (the client plus Installer/setup.exe); image label $label"
if [ -n "$pkcs12" ]; then
  echo "  setup.exe is signed (Authenticode, SHA-256) by $signed_by${timestamp_url:+, time-stamped by $timestamp_url}; the signature verified"
else
  echo "  setup.exe is NOT signed (no --sign-pkcs12)"
fi
