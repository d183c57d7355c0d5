#!/usr/bin/env bash
# Saves PNG pictures of the installer's window and of each kind of message
# box that it shows, taken on a private virtual display under Wine:
#
#   main-window.png             the window with its notes and buttons
#   box-not-found.png           Uninstall with nothing installed
#   box-register-question.png   Install asks to register the library
#   box-install-complete.png    Install finished
#   box-overwrite-question.png  Install over an existing install root
#   box-warning.png             Uninstall could not remove everything
#   box-uninstall-complete.png  Uninstall finished
#   box-copy-failed.png         Install could not copy
#
# into build/mingw/screenshots/ (or the folder given with --out DIR); with
# --docs also into docs/screenshots/. The end-to-end test program walks the
# installer through these states and crops each window's rectangle from the
# display with ImageMagick's `import`. There is no window manager on the
# display, so Wine is told to draw the window frames itself.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
build="$root/build/mingw"
out="$build/screenshots"
docs=0
while [ $# -gt 0 ]; do
  case "$1" in
    --out)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "screenshots.sh: --out needs a folder; usage: bash scripts/screenshots.sh [--out DIR] [--docs]" >&2; exit 2; }
      out="$(realpath -m "$2")"
      shift 2
      ;;
    --docs) docs=1; shift ;;
    -h | --help) echo "usage: bash scripts/screenshots.sh [--out DIR] [--docs] (see the comment at the top of the script)"; exit 0 ;;
    *) echo "screenshots.sh: unknown option $1; usage: bash scripts/screenshots.sh [--out DIR] [--docs]" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps
# Wine's own fonts draw the frame's buttons (Marlett); the Japanese texts
# need a Japanese font.
for package in fonts-wine fonts-ipafont-gothic; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" >/dev/null
    else
      echo "screenshots.sh: $package is missing; the pictures may show boxes for some glyphs" >&2
    fi
  fi
done

cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target installer_e2e_tests

# A Wine world of its own, so that a test run in the build tree is not disturbed.
# Its programs start in the build tree, the prefix's drive W:.
export OVIK_WINE_DIR="$build/wine-screenshots"
cd "$build"
trap '"$build/wine-session" stop >/dev/null' EXIT
"$build/wine-session" start
# Wine draws the frame's buttons with its Marlett font, which it does not
# pick up from its data folder here; from the prefix's Fonts folder it does.
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$OVIK_WINE_DIR/prefix/drive_c/windows/Fonts/"
fi
"$build/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null

# The prefix shows no host folder but the build tree: the output folder
# becomes drive S:, and `import` joins the host programs on H:.
mkdir -p "$out"
ln -sfn "$out" "$OVIK_WINE_DIR/prefix/dosdevices/s:"
import="$(command -v import)" ||
  { echo "screenshots.sh: ImageMagick's import is missing (install 'imagemagick')" >&2; exit 1; }
capture_tool="$OVIK_WINE_DIR/host-programs/import"
ln -sfn "$import" "$capture_tool"
"$build/wine-run" "$build/tests/installer_e2e_tests.exe" --screenshots="$out" \
  --capture-tool="$capture_tool"

if [ "$docs" -eq 1 ]; then
  mkdir -p "$root/docs/screenshots"
  cp "$out"/*.png "$root/docs/screenshots/"
  echo "copied to $root/docs/screenshots"
fi
echo "screenshots in $out"
