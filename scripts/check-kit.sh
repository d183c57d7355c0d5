#!/usr/bin/env bash
# Makes the release check kit in RELEASE_DIR/check/: ovik-check.exe (built
# with the installer's toolchain, static), check.cmd, sandbox.cmd and
# README.txt. The kit is a testing aid, not part of the release: it stays out
# of the checksum files, and a later release run leaves it alone.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
printf -v command_line '%q ' bash "$0" "$@"
command_line="${command_line% }"

usage() {
  cat <<'EOF_USAGE'
usage: bash scripts/check-kit.sh [options] [RELEASE_DIR]

  RELEASE_DIR       the release folder to check (default: BUILD/release, the
                    release command's default output); it holds
                    ovik-medium-<version>/ and its .iso for one or more versions
  --version X.Y.Z   the release to check, where the folder holds several
  --build-dir DIR   build folder for ovik-check.exe (default: build/mingw)
  --no-build        take ovik-check.exe from the build folder as it is
  --wait SECONDS    how long to wait for a release or another check-kit run
                    working in RELEASE_DIR (default 600); after that the run
                    is refused, naming the other one
  -h, --help        this text

The kit goes into RELEASE_DIR/check/, replacing an older one, under the
release folder's lock that scripts/release.sh takes too. On Windows,
run check/sandbox.cmd (Windows Sandbox) or check/check.cmd --disposable (a
throw-away machine); check/README.txt says more.
EOF_USAGE
}

fail() {
  echo "check-kit.sh: $*" >&2
  exit 1
}
usage_error() {
  echo "check-kit.sh: $*" >&2
  echo "try: bash scripts/check-kit.sh --help" >&2
  exit 2
}

build="$root/build/mingw"
build_first=1
release=""
version=""
wait_seconds=600
while [ $# -gt 0 ]; do
  case "$1" in
    --wait)
      [ $# -ge 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage_error "--wait needs a whole number of seconds"
      wait_seconds="$2"
      shift 2
      ;;
    --build-dir)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "--build-dir needs a value"
      build="$(realpath -m "$2")"
      shift 2
      ;;
    --version)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "--version needs a value"
      version="$2"
      shift 2
      ;;
    --no-build) build_first=0; shift ;;
    -h | --help) usage; exit 0 ;;
    -*) usage_error "unknown option: $1" ;;
    *)
      [ -z "$release" ] || usage_error "one release folder only (got $release and $1)"
      release="$1"
      shift
      ;;
  esac
done
release="$(realpath -m "${release:-$build/release}")"

# The release the kit checks: the one in the folder, or the version given.
# check.cmd names it to ovik-check.exe, so releases added later beside it
# do not change what the kit checks.
[ -d "$release" ] || fail "no release folder $release (make one with: bash scripts/release.sh)"

# What follows reads and writes the release folder as one run: no release
# changes it meanwhile.
# shellcheck source=scripts/release-lock.sh
source "$root/scripts/release-lock.sh"
stage=""
trap '[ -z "$stage" ] || rm -rf "$stage"; ovik_unlock' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
ovik_lock "$release" "$wait_seconds" check-kit.sh "$command_line" || exit 1
ovik_remove_leftovers "$release" check-kit.sh
mapfile -t media < <(find "$release" -mindepth 1 -maxdepth 1 -type d -name 'ovik-medium-*' | sort -V)
[ "${#media[@]}" -gt 0 ] || fail "$release holds no medium folder ovik-medium-<version>/ (make one with: bash scripts/release.sh)"
found="${media[*]##*/ovik-medium-}"
if [ -n "$version" ]; then
  [ -d "$release/ovik-medium-$version" ] ||
    fail "$release holds no release of version $version (it holds ${found// /, })"
  medium="$release/ovik-medium-$version"
else
  [ "${#media[@]}" -eq 1 ] ||
    fail "$release holds releases of several versions (${found// /, }): give --version VERSION"
  medium="${media[0]}"
  version="${medium##*/ovik-medium-}"
fi
# check.cmd carries the version as it is: the release command's rule.
[[ $version =~ ^[0-9]+(\.[0-9]+){0,3}(-[A-Za-z0-9]+)?$ ]] || fail "$medium is not named after a version"
[ -f "$medium/Installer/setup.exe" ] || fail "$medium holds no Installer/setup.exe"
[ -f "$medium.iso" ] || fail "$release holds no CD image ${medium##*/}.iso"

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
if [ "$build_first" -eq 1 ]; then
  ovik_configure_build "$root" "$build"
  cmake --build "$build" -j2 --target ovik_check >/dev/null ||
    fail "building ovik-check.exe in $build failed (run: cmake --build $build --target ovik_check)"
fi
exe="$build/checkkit/ovik-check.exe"
[ -f "$exe" ] || fail "$exe is not built"

# Made beside its place and renamed in, so check/ is always a whole kit;
# an older kit is moved aside first.
ovik_work_folder "$release" .check.partial
stage="$ovik_work_dir"
kit="$stage/check"
mkdir "$kit"
cp "$exe" "$kit/ovik-check.exe"
# Windows' command interpreter reads scripts with CR LF line ends; Notepad
# takes the BOM as the sign of UTF-8.
for script in check.cmd sandbox.cmd; do
  sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' "$root/checkkit/kit/$script" >"$kit/$script"
done
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' "$root/checkkit/kit/README.txt"; } >"$kit/README.txt"
chmod 0755 "$kit"
chmod 0644 "$kit"/*
if [ -e "$release/check" ] || [ -L "$release/check" ]; then
  mv -T "$release/check" "$stage/older"
fi
mv -T "$kit" "$release/check"

echo "check kit for ${medium##*/} in $release/check:"
(cd "$release/check" && for file in ovik-check.exe check.cmd sandbox.cmd README.txt; do
  printf '  %-15s %9s bytes\n' "$file" "$(stat -c %s "$file")"
done)
echo "  on Windows: check\\sandbox.cmd (Windows Sandbox) or check\\check.cmd --disposable (a throw-away machine)"
