#!/usr/bin/env bash
# Makes the release check kit in RELEASE_DIR/check/: ovik-check.exe (built
# with the installer's toolchain, static), check.cmd, sandbox.cmd and
# README.txt. The kit is a testing aid, not part of the release: it stays out
# of SHA256SUMS, and a later release run leaves it alone.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
  cat <<'EOF_USAGE'
usage: bash scripts/check-kit.sh [options] [RELEASE_DIR]

  RELEASE_DIR       the release folder to check (default: BUILD/release, the
                    release command's default output); it must hold one
                    ovik-medium-<version>/ and its .iso
  --build-dir DIR   build folder for ovik-check.exe (default: build/mingw)
  --no-build        take ovik-check.exe from the build folder as it is
  -h, --help        this text

The kit goes into RELEASE_DIR/check/, replacing an older one. On Windows,
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
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "--build-dir needs a value"
      build="$(realpath -m "$2")"
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

# The same release that ovik-check.exe will look for: one medium folder and
# its image.
[ -d "$release" ] || fail "no release folder $release (make one with: bash scripts/release.sh)"
mapfile -t media < <(find "$release" -mindepth 1 -maxdepth 1 -type d -name 'ovik-medium-*' | sort)
[ "${#media[@]}" -gt 0 ] || fail "$release holds no medium folder ovik-medium-<version>/ (make one with: bash scripts/release.sh)"
[ "${#media[@]}" -eq 1 ] || fail "$release holds more than one release (${media[*]##*/}); the check takes a folder with one"
[ -f "${media[0]}/Installer/setup.exe" ] || fail "${media[0]} holds no Installer/setup.exe"
[ -f "${media[0]}.iso" ] || fail "$release holds no CD image ${media[0]##*/}.iso"

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
if [ "$build_first" -eq 1 ]; then
  ovik_configure_build "$root" "$build"
  cmake --build "$build" -j2 --target ovik_check >/dev/null ||
    fail "building ovik-check.exe in $build failed (run: cmake --build $build --target ovik_check)"
fi
exe="$build/checkkit/ovik-check.exe"
[ -f "$exe" ] || fail "$exe is not built"

# Made beside its place and renamed in, so check/ is always a whole kit.
stage="$(mktemp -d "$release/.check.partial.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/ovik-check.exe"
# Windows' command interpreter reads scripts with CR LF line ends; Notepad
# takes the BOM as the sign of UTF-8.
for script in check.cmd sandbox.cmd; do
  sed 's/$/\r/' "$root/checkkit/kit/$script" >"$stage/$script"
done
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' "$root/checkkit/kit/README.txt"; } >"$stage/README.txt"
chmod 0755 "$stage"
chmod 0644 "$stage"/*
rm -rf "$release/check"
mv "$stage" "$release/check"

echo "check kit for ${media[0]##*/} in $release/check:"
(cd "$release/check" && for file in ovik-check.exe check.cmd sandbox.cmd README.txt; do
  printf '  %-15s %9s bytes\n' "$file" "$(stat -c %s "$file")"
done)
echo "  on Windows: check\\sandbox.cmd (Windows Sandbox) or check\\check.cmd --disposable (a throw-away machine)"
