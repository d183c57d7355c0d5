#!/usr/bin/env bash
# Maps a release image into the test prefix as the CD-ROM drive D:, the way
# a user's machine shows a burnt medium: the image's tree as Windows reads
# it (UDF, else Joliet; scripts/windows-view.sh), read-only, on a drive
# whose type is "cdrom".
#
#   cdrom_drive.sh setup BUILD_DIR IMAGE   extract IMAGE and map it as D:
#   cdrom_drive.sh cleanup BUILD_DIR       unmap D: and delete the tree
#
# When IMAGE does not exist yet, or is older than the built setup.exe, setup
# makes it first (scripts/release.sh --replace). Runs inside the build's Wine session (after wine-session start).
set -euo pipefail

usage() {
  echo "usage: cdrom_drive.sh setup BUILD_DIR IMAGE | cleanup BUILD_DIR" >&2
  exit 2
}

[ $# -ge 2 ] || usage
case "$1" in --help | -h) usage ;; esac
action="$1"
build="$(cd "$2" && pwd)"
wine_dir="${OVIK_WINE_DIR:-$build/wine}"
prefix="$wine_dir/prefix"
tree="$build/cdrom"
drive="$prefix/dosdevices/d:"

remove_tree() {
  if [ -e "$tree" ]; then
    chmod -R u+w "$tree"
    rm -rf "$tree"
  fi
}

# Wine reads the drive types when its services start; a fresh server (the
# next program starts one) sees the new D:.
restart_wineserver() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
}

case "$action" in
  setup)
    [ $# -eq 3 ] || usage
    image="$3"
    [ -d "$prefix" ] || { echo "cdrom_drive: no Wine prefix at $prefix (start the session first)" >&2; exit 1; }
    # An image older than the built setup.exe would put an installer that
    # is no longer built under test: it is made again, like a missing one.
    setup_exe="$build/app/setup.exe"
    if [ ! -f "$image" ] || { [ -f "$setup_exe" ] && [ "$setup_exe" -nt "$image" ]; }; then
      echo "cdrom_drive: $image is missing or older than $setup_exe; making the release image"
      cmake --build "$build" --target installer sample_client
      bash "$(dirname "$0")/../../scripts/release.sh" --no-build --replace --build-dir "$build"
    fi
    [ -f "$image" ] || { echo "cdrom_drive: the release build wrote no $image" >&2; exit 1; }
    remove_tree
    view="$(bash "$(dirname "$0")/../../scripts/windows-view.sh" "$image" "$tree")" ||
      { echo "cdrom_drive: could not read $image" >&2; exit 1; }
    chmod -R a-w "$tree"
    rm -f "$drive"
    ln -s "$tree" "$drive"
    "$build/wine-run" reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null
    restart_wineserver
    echo "cdrom_drive: $image, as Windows reads it ($view), is drive D: ($tree)"
    ;;
  cleanup)
    # The prefix, with its drive setting, goes at the next session start.
    rm -f "$drive"
    remove_tree
    echo "cdrom_drive: D: unmapped"
    ;;
  *) usage ;;
esac
