#!/usr/bin/env bash
# Installs what is missing, builds everything and starts the installer from
# the sample medium (build/mingw/medium) under Wine, on the current display.
# The Wine prefix it uses, build/mingw/wine-desktop-<uid>, is kept between
# runs, so an install stays there for a later Uninstall.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ovik_install_deps

cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw

build="$root/build/mingw"
installer="$build/medium/Installer/setup.exe"
[ -f "$installer" ] || { echo "run.sh: $installer was not built" >&2; exit 1; }
echo "sample medium: $build/medium"
echo "installer:     $installer"

if [ -z "${DISPLAY:-}" ]; then
  cat >&2 <<'MSG'
run.sh: no display is available (DISPLAY is not set), so the installer's
window cannot be shown. Run this from a graphical session, over `ssh -X`, or
on a virtual display, for example:
    xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/run.sh
(scripts/screenshots.sh saves pictures of the window from a virtual display.)
MSG
  exit 1
fi

export OVIK_WINE_DIR="$build/wine-desktop-$(id -u)"
"$build/wine-session" prepare
# Started from the build tree, the prefix's drive W:; from a host folder on
# no drive, Wine would start it in C:\windows, with a warning.
cd "$build"
echo "starting the installer on display $DISPLAY (Wine prefix $OVIK_WINE_DIR/prefix)"
exec "$build/wine-run" "$installer"
