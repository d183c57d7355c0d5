#!/usr/bin/env bash
# Extracts a CD image's tree as Windows shows it: the UDF file system when
# the image carries one, else the Joliet names (else the plain ISO 9660
# ones). Rock Ridge, which Windows never reads, plays no part. The reader is
# 7-Zip's, which shares no code with the tools that write our images.
set -euo pipefail
# shellcheck source=scripts/on-error.sh
source "$(dirname "${BASH_SOURCE[0]}")/on-error.sh"

usage() {
  cat <<'EOF'
usage: bash scripts/windows-view.sh IMAGE [DIR]

Prints which tree Windows reads from IMAGE: UDF when present, else Joliet.
With DIR (which must not exist yet), also extracts that tree there.
EOF
}

case "${1:-}" in -h | --help) usage; exit 0 ;; esac
[ $# -eq 1 ] || [ $# -eq 2 ] || { usage >&2; exit 2; }
image="$1"
dir="${2:-}"
[ -f "$image" ] || { echo "windows-view.sh: no image at $image" >&2; exit 1; }
[ -z "$dir" ] || [ ! -e "$dir" ] || { echo "windows-view.sh: $dir exists already" >&2; exit 1; }
command -v 7zz >/dev/null || { echo "windows-view.sh: 7zz is missing (Debian package 7zip)" >&2; exit 1; }

# 7-Zip reads and prints names in the locale's character set.
export LC_ALL=C.UTF-8
if 7zz l -tudf "$image" >/dev/null 2>&1; then
  view=UDF type=udf
else
  view=Joliet type=iso
fi
if [ -z "$dir" ]; then
  echo "$view"
  exit 0
fi
if ! 7zz x -y -bd -bso0 -bsp0 "-t$type" "-o$dir" "$image" >"$dir.log" 2>&1; then
  cat "$dir.log" >&2
  rm -f "$dir.log"
  echo "windows-view.sh: 7zz could not read $image as $view" >&2
  exit 1
fi
rm -f "$dir.log"
echo "$view"
