#!/usr/bin/env bash
# Benchmarks the installer's tree copy and removal against the peers that do
# the same job (Wine's xcopy and "rd /s /q", an NSIS installer's CopyFiles,
# the host's cp -a and rm -rf), measures the peak working set of a process
# that only copies, and the installer's size and start-up time. Writes
# results.md, results.png and the raw figures to <build>/bench/ (a quick run
# to <build>/bench/quick/).
#
# usage: bench/run-bench.sh [--quick] [--rounds N] [--build-dir DIR]
#   --quick      small trees and two rounds (the CTest smoke entry); skips
#                NSIS when makensis is missing and installs nothing
#   --rounds N   rounds of every contender on every tree (default 5; each
#                full round takes about three minutes here, mostly the peers
#                on the 20,000-file tree)
#   --build-dir  the MinGW build tree (default: build/mingw)
#
# Runs in a Wine world of its own (<build>/bench-wine/full or .../quick), so
# it neither uses nor disturbs the test fixture's prefix and display. Exits
# non-zero when a contender failed or left a wrong tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/on-error.sh
source "$root/scripts/on-error.sh"
quick=0
rounds=""
build="$root/build/mingw"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --rounds) rounds="$2"; shift ;;
    --build-dir) build="$2"; shift ;;
    -h | --help) sed -n '2,20p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "run-bench: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$rounds" ] && ! [[ "$rounds" =~ ^[1-9][0-9]*$ ]]; then
  echo "run-bench: --rounds needs a positive number" >&2
  exit 2
fi
# Wine wants absolute paths for its prefix.
[ -d "$build" ] && build="$(cd "$build" && pwd)"

# ---- Trees, repetitions, output -------------------------------------------

# name:files:folders:bytes-per-file
if [ "$quick" -eq 1 ]; then
  trees=(a:100:5:4096 b:500:25:1024 c:2:1:1048576)
  plot_trees=(a b)
  repetitions=2
  startup_repetitions=2
  mode="quick"
else
  trees=(one:1:1:1024 a:2000:50:4096 b:20000:500:1024 c:10:1:33554432)
  # Trees of small files, plotted as time against number of files.
  plot_trees=(one a b)
  repetitions=5
  startup_repetitions=7
  mode="full"
fi
[ -n "$rounds" ] && repetitions=$rounds

out="$build/bench"
[ "$quick" -eq 1 ] && out="$build/bench/quick"
raw="$out/raw.tsv"
memory="$out/memory.tsv"
log="$out/bench.log"
results="$out/results.md"
plot="$out/results.png"

# ---- Dependencies and build -----------------------------------------------

have() { command -v "$1" >/dev/null 2>&1; }

install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "run-bench: missing packages: ${missing[*]} (install them as root)" >&2
    return 1
  fi
  echo "run-bench: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

if [ "$quick" -eq 0 ]; then
  # shellcheck source=scripts/deps.sh
  source "$root/scripts/deps.sh"
  ovik_install_deps
  install_packages nsis gnuplot-nox
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  if [ "$build" = "$root/build/mingw" ]; then
    (cd "$root" && cmake --preset mingw)
  else
    echo "run-bench: $build is not a configured build tree" >&2
    exit 1
  fi
fi
tree_bench="$build/bench/tree_bench.exe"
startup_probe="$build/bench/startup_probe.exe"
if [ "$quick" -eq 0 ] || [ ! -f "$tree_bench" ] || [ ! -f "$startup_probe" ]; then
  cmake --build "$build" --target tree_bench startup_probe -- -j2
fi
installer_note=""
if [ "$quick" -eq 0 ]; then
  cmake --build "$build" --target installer -- -j2 >>"$build/bench-installer-build.log" 2>&1 ||
    installer_note="the installer did not build (see $build/bench-installer-build.log)"
fi

use_nsis=1
if ! have makensis; then
  [ "$quick" -eq 1 ] || { echo "run-bench: makensis is required" >&2; exit 1; }
  echo "run-bench: makensis not found; skipping the NSIS contender"
  use_nsis=0
fi

mkdir -p "$out"
: >"$raw"
: >"$memory"
: >"$log"
failures=()
retried=()

# ---- Wine session -------------------------------------------------------

export OVIK_WINE_DIR="$build/bench-wine/$mode"
export WINEPREFIX="$OVIK_WINE_DIR/prefix"
export WINEDEBUG=-all
wine_run="$build/wine-run"
session="$build/wine-session"
trap '"$session" stop >/dev/null 2>&1 || true' EXIT
"$session" start
# The programs start in the build tree, the prefix's drive W: (a host folder
# on no drive leaves them in C:\windows, with a warning from Wine).
cd "$build"
# A wineserver that stays up between the programs, so each timed program
# starts against a running server and its services, not a cold one.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p
"$wine_run" 'C:\windows\system32\cmd.exe' /c exit 0 >/dev/null 2>&1 || true

drive_c="$WINEPREFIX/drive_c"
mkdir -p "$drive_c/bench"

# Runs tree_bench.exe with the given arguments, its carriage returns gone.
bench_exe() { "$wine_run" "$tree_bench" "$@" 2>>"$log" | tr -d '\r'; }

# "<count> <bytes>" of the files below a unix folder; "0 0" when it is missing.
tree_stats() {
  { find "$1" -type f -printf '%s\n' 2>/dev/null || true; } | awk '{n++; s+=$1} END {print n+0, s+0}'
}

host_seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >>"$log" 2>&1 || { echo "0 0"; return; }
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.6f 1\n", (e - s) / 1e9}'
}

record() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$raw"; }

fail() {
  failures+=("$1")
  echo "run-bench: FAILED: $1" >&2
}

# The log's size now, and what was written to it since such a mark (the
# programs' own messages: why a step failed), as " (LINE; LINE)".
log_mark() { stat -c %s "$log"; }
log_since() {
  local said
  said=$(tail -c +"$(($1 + 1))" "$log" | tr -d '\r' | grep -v '^$' | tail -n 3 | paste -sd ';' - | sed 's/;/; /g')
  [ -z "$said" ] || printf ' (%s)' "$said"
}

# A peer's step that failed: said, kept for the results, and run once more.
# Wine's own programs now and then fail to start on a busy machine; ours
# never gets a second try.
again() {
  retried+=("$1 failed once$2; ran it again")
  echo "run-bench: $1 failed$2; running it once more" >&2
}

# Folders of tree $1, Windows and unix forms.
winpath() { printf '%s\n' "C:\\bench\\$1\\$2"; }
unixpath() { echo "$drive_c/bench/$1/$2"; }

# ---- Trees --------------------------------------------------------------

declare -A tree_files tree_stats_of
for layout in "${trees[@]}"; do
  IFS=: read -r name files folders bytes <<<"$layout"
  tree_files[$name]=$files
  mkdir -p "$drive_c/bench/$name"
  echo "run-bench: making tree $name ($files files of $bytes bytes in $folders folders)"
  bench_exe make "$(winpath "$name" src)" "$files" "$folders" "$bytes" >>"$log"
  tree_stats_of[$name]=$(tree_stats "$(unixpath "$name" src)")
  [ "${tree_stats_of[$name]}" = "$files $((files * bytes))" ] ||
    { echo "run-bench: tree $name came out as ${tree_stats_of[$name]}" >&2; exit 1; }
  if [ "$use_nsis" -eq 1 ]; then
    makensis -V1 "-DSOURCE=$(winpath "$name" src)" "-DDESTINATION=$(winpath "$name" copy-nsis)" \
      "-DOUTFILE=$(unixpath "$name" copytree.exe)" "$root/bench/copytree.nsi" >>"$log"
  fi
done

# ---- Copy and removal, contenders alternating ---------------------------

copiers=(ours xcopy)
[ "$use_nsis" -eq 1 ] && copiers+=(nsis)
copiers+=(cp)
removers=(ours rd rm)

time_copy() {  # tree contender
  local name=$1 who=$2 src dst
  src=$(winpath "$name" src)
  dst=$(winpath "$name" "copy-$who")
  case "$who" in
    ours) bench_exe copy "$src" "$dst" ;;
    xcopy) bench_exe run "C:\\windows\\system32\\xcopy.exe $src $dst /E /I /H /Y" ;;
    nsis) bench_exe run "$(winpath "$name" copytree.exe)" ;;
    cp) host_seconds cp -a "$(unixpath "$name" src)" "$(unixpath "$name" "copy-$who")" ;;
  esac
}

time_remove() {  # tree contender folder
  local name=$1 who=$2 folder=$3
  case "$who" in
    ours) bench_exe remove "$(winpath "$name" "$folder")" ;;
    rd) bench_exe run "C:\\windows\\system32\\cmd.exe /c rd /s /q $(winpath "$name" "$folder")" ;;
    rm) host_seconds rm -rf "$(unixpath "$name" "$folder")" ;;
  esac
}

# The first eight fields of the "cpu" line of /proc/stat: time spent per
# state, steal (time the hypervisor gave to other guests) being the eighth.
cpu_times() { awk '$1 == "cpu" {print $2, $3, $4, $5, $6, $7, $8, $9}' /proc/stat; }

started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_before=$(cpu_times)
for ((rep = 0; rep < repetitions; rep++)); do
  for layout in "${trees[@]}"; do
    name=${layout%%:*}
    echo "run-bench: tree $name, round $((rep + 1)) of $repetitions"
    # Each round starts with a different contender; a sync before each step
    # keeps one contender's write-back out of the next one's time.
    n=${#copiers[@]}
    for ((k = 0; k < n; k++)); do
      who=${copiers[$(((k + rep) % n))]}
      sync
      for try in 1 2; do
        mark=$(log_mark)
        seconds=nan ok=0 before=0 peak=0 private=0
        read -r seconds ok before peak private < <(time_copy "$name" "$who") || true
        got=$(tree_stats "$(unixpath "$name" "copy-$who")")
        [ "$who" != ours ] && [ "$try" = 1 ] || break
        [ "$ok" != 1 ] || [ "$got" != "${tree_stats_of[$name]}" ] || break
        again "$who copy of tree $name" "$(log_since "$mark")"
        rm -rf "$(unixpath "$name" "copy-$who")"
      done
      record "$name" "$who" copy "$rep" "$seconds"
      if [ "$who" = ours ]; then
        printf '%s\t%s\t%s\t%s\n' "$name" "$before" "$peak" "$private" >>"$memory"
      fi
      [ "$ok" = 1 ] || fail "$who copy of tree $name reported failure$(log_since "$mark")"
      [ "$got" = "${tree_stats_of[$name]}" ] ||
        fail "$who copy of tree $name holds $got, not ${tree_stats_of[$name]} (files bytes)"
    done
    # The removers take the copies in turn, so none always gets the same one.
    m=${#removers[@]}
    for ((k = 0; k < m; k++)); do
      who=${removers[$(((k + rep) % m))]}
      folder="copy-${copiers[$(((k + rep) % n))]}"
      sync
      for try in 1 2; do
        mark=$(log_mark)
        seconds=nan ok=0
        read -r seconds ok < <(time_remove "$name" "$who" "$folder") || true
        [ "$who" != ours ] && [ "$try" = 1 ] || break
        [ "$ok" != 1 ] || [ -e "$(unixpath "$name" "$folder")" ] || break
        again "$who removal of tree $name" "$(log_since "$mark")"
      done
      record "$name" "$who" remove "$rep" "$seconds"
      [ "$ok" = 1 ] || fail "$who removal of tree $name reported failure$(log_since "$mark")"
      [ ! -e "$(unixpath "$name" "$folder")" ] || fail "$who left $folder of tree $name"
    done
    rm -rf "$drive_c/bench/$name"/copy-*
  done
done
timed_seconds=$(($(date +%s) - started))

# ---- Where the time goes: the copy and removal taken apart ----------------

: >"$out/profile.tsv"
for name in a b; do
  sync
  bench_exe profile-copy "$(winpath "$name" src)" "$(winpath "$name" copy-prof)" |
    awk -v t="$name" '$1 != "ok" {print t "\tcopy\t" $1 "\t" $2} $1 == "ok" && $2 != 1 {exit 1}' \
      >>"$out/profile.tsv" || fail "profile-copy of tree $name"
  sync
  bench_exe profile-remove "$(winpath "$name" copy-prof)" |
    awk -v t="$name" '$1 != "ok" {print t "\tremove\t" $1 "\t" $2} $1 == "ok" && $2 != 1 {exit 1}' \
      >>"$out/profile.tsv" || fail "profile-remove of tree $name"
  rm -rf "$(unixpath "$name" copy-prof)"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
# Shares of all CPU time over the rounds and the breakdown, in per cent: busy (not idle or
# waiting for I/O) and stolen by the hypervisor.
read -r cpu_busy cpu_steal < <(echo "$cpu_before $(cpu_times)" | awk '{
    for (i = 1; i <= 8; i++) { d[i] = $(i + 8) - $i; total += d[i] }
    printf "%.0f %.0f\n", 100 * (total - d[4] - d[5] - d[8]) / total, 100 * d[8] / total }')

# ---- Executables --------------------------------------------------------

# "<bytes> <code+data> <rsrc>" of a PE file: its size, and the sizes from its
# section table of every section stored in the file (so not .bss) but .rsrc,
# and of .rsrc. What is left is headers, alignment and the symbol table.
pe_figures() {
  local bytes code=0 rsrc=0 index name size flags
  bytes=$(stat -c %s "$1")
  while read -r index name size _ && read -r flags; do
    [[ "$index" =~ ^[0-9]+$ ]] || continue
    [[ "$flags" == *CONTENTS* ]] || continue
    if [ "$name" = .rsrc ]; then
      rsrc=$((rsrc + 16#$size))
    else
      code=$((code + 16#$size))
    fi
  done < <(x86_64-w64-mingw32-objdump -h "$1" | sed -n '/^Idx/,$p' | tail -n +2)
  echo "$bytes $code $rsrc"
}

installer=""
for candidate in "$build/medium/Installer/setup.exe" "$build/app/setup.exe"; do
  if [ -f "$candidate" ]; then installer=$candidate; break; fi
done
[ -n "$installer_note" ] && installer=""
stub=/usr/share/nsis/Stubs/zlib-amd64-unicode
: >"$out/startup.tsv"
if [ -n "$installer" ]; then
  "$wine_run" "$startup_probe" "$installer" OVIKInstallerWnd "$startup_repetitions" 2>>"$log" |
    tr -d '\r' >"$out/startup.tsv" || fail "start-up probe of $installer"
elif [ -z "$installer_note" ]; then
  installer_note="no installer built yet ($build/medium/Installer/setup.exe and $build/app/setup.exe are missing)"
fi
[ -n "$installer_note" ] && echo "run-bench: $installer_note"

"$session" stop >/dev/null
trap - EXIT

# ---- Results --------------------------------------------------------------

# "median min max" of the numbers on stdin.
stats() { sort -g | awk '{v[NR] = $1} END {
    if (NR == 0) { print "nan nan nan"; exit }
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    print m, v[1], v[NR] }'; }
median_of() { awk -v t="$1" -v c="$2" -v o="$3" '$1 == t && $2 == c && $3 == o {print $5}' "$raw" | stats; }
mib() { awk -v b="$1" 'BEGIN {printf "%.2f", b / 1048576}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "n/a"}'; }

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
memory_total=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
wine_version=$(wine --version 2>/dev/null || echo unknown)

# Each goal line: "<label> <ours> <peer> <limit>".
goals=()
{
  echo "# Tree copy and removal benchmark ($mode run)"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $cpu, $memory_total, $wine_version."
  echo "Over the rounds and the breakdown: load average $load_before before, $load_after after; CPU busy"
  echo "${cpu_busy}% and stolen by the hypervisor ${cpu_steal}% of the time (all processes, both cores)."
  echo "The $repetitions rounds took $timed_seconds s; contenders alternate, figures are median and min–max."
  echo
  for op in copy remove; do
    if [ "$op" = copy ]; then
      echo "## Copy"
      contenders=("${copiers[@]}")
    else
      echo "## Removal"
      contenders=("${removers[@]}")
    fi
    echo
    echo "| tree | files | contender | median s | min–max s | files/s | ours ÷ this |"
    echo "|---|---:|---|---:|---:|---:|---:|"
    for layout in "${trees[@]}"; do
      name=${layout%%:*}
      read -r ours_median _ _ < <(median_of "$name" ours "$op")
      for who in "${contenders[@]}"; do
        read -r median low high < <(median_of "$name" "$who" "$op")
        rate=$(awk -v f="${tree_files[$name]}" -v s="$median" 'BEGIN {printf "%.0f", (s > 0) ? f / s : 0}')
        printf '| %s | %s | %s | %.3f | %.3f–%.3f | %s | %s |\n' "$name" "${tree_files[$name]}" \
          "$who" "$median" "$low" "$high" "$rate" "$(ratio "$ours_median" "$median")"
        case "$op:$name:$who" in
          copy:[ab]:xcopy) goals+=("copy $name ÷ xcopy|$(ratio "$ours_median" "$median")|0.8") ;;
          copy:[ab]:nsis) goals+=("copy $name ÷ NSIS CopyFiles|$(ratio "$ours_median" "$median")|0.5") ;;
          remove:[ab]:rd) goals+=("removal $name ÷ rd /s /q|$(ratio "$ours_median" "$median")|1.0") ;;
        esac
      done
    done
    echo
  done

  echo "## Peak working set of a process that only copies"
  echo
  echo "Each timed copy of ours runs in a fresh process that does only that copy. Peak"
  echo "working set before the copy is what the process needs to start; the copy's share"
  echo "is the peak after the copy minus that. MiB, median of $repetitions."
  echo
  echo "| tree | files | peak before copy | peak after copy | copy's share | peak private bytes (PeakPagefileUsage) |"
  echo "|---|---:|---:|---:|---:|---:|"
  declare -A peak_of
  for layout in "${trees[@]}"; do
    name=${layout%%:*}
    read -r before _ _ < <(awk -v t="$name" '$1 == t {print $2}' "$memory" | stats)
    read -r peak _ _ < <(awk -v t="$name" '$1 == t {print $3}' "$memory" | stats)
    read -r private _ _ < <(awk -v t="$name" '$1 == t {print $4}' "$memory" | stats)
    peak_of[$name]=$peak
    share=$(awk -v p="$peak" -v b="$before" 'BEGIN {print p - b}')
    echo "| $name | ${tree_files[$name]} | $(mib "$before") | $(mib "$peak") | $(mib "$share") | $(mib "$private") |"
  done
  growth=$(awk -v b="${peak_of[b]}" -v a="${peak_of[a]}" 'BEGIN {print b - a}')
  goals+=("peak working set growth a→b (MiB)|$(mib "$growth")|1.0")
  echo

  echo "## Where the time goes (one run each, seconds)"
  echo
  echo "| tree | operation | step | seconds | µs per file |"
  echo "|---|---|---|---:|---:|"
  while IFS=$'\t' read -r name op step value; do
    case "$step" in files | folders) continue ;; esac
    printf '| %s | %s | %s | %.3f | %.1f |\n' "$name" "$op" "$step" "$value" \
      "$(awk -v s="$value" -v f="${tree_files[$name]}" 'BEGIN {print s * 1e6 / f}')"
  done <"$out/profile.tsv"
  echo

  echo "## Executables"
  echo
  echo "Bytes of the file; section sizes from \`x86_64-w64-mingw32-objdump -h\`: code+data is every"
  echo "section stored in the file but .rsrc (.bss takes no file space); rest is headers, alignment"
  echo "and the symbol table."
  echo
  echo "| file | bytes | code+data | .rsrc | rest | start-up to visible window, median (min–max) s |"
  echo "|---|---:|---:|---:|---:|---:|"
  if [ -n "$installer" ]; then
    read -r bytes code rsrc < <(pe_figures "$installer")
    read -r median low high < <(awk '$2 == 1 {print $1}' "$out/startup.tsv" | stats)
    printf '| %s | %s | %s | %s | %s | %.3f (%.3f–%.3f), %s runs |\n' "${installer#"$build"/}" \
      "$bytes" "$code" "$rsrc" "$((bytes - code - rsrc))" "$median" "$low" "$high" "$(awk '$2 == 1' "$out/startup.tsv" | wc -l)"
  else
    echo "| setup.exe | — | — | — | — | $installer_note |"
  fi
  if [ -f "$stub" ]; then
    read -r bytes code rsrc < <(pe_figures "$stub")
    echo "| NSIS stub $(basename "$stub") | $bytes | $code | $rsrc | $((bytes - code - rsrc)) | — |"
  else
    echo "| NSIS stub | — | — | — | — | not installed |"
  fi
  echo

  echo "## Goals"
  echo
  echo "| goal | measured | limit | met |"
  echo "|---|---:|---:|---|"
  for goal in "${goals[@]}"; do
    IFS='|' read -r label value limit <<<"$goal"
    met=$(awk -v v="$value" -v l="$limit" 'BEGIN {print (v != "n/a" && v + 0 <= l + 0) ? "yes" : "no"}')
    echo "| $label | $value | ≤ $limit | $met |"
  done
  if [ "${#retried[@]}" -gt 0 ]; then
    echo
    echo "## Run again"
    echo
    printf -- '- %s\n' "${retried[@]}"
  fi
  if [ "${#failures[@]}" -gt 0 ]; then
    echo
    echo "## Failures"
    echo
    printf -- '- %s\n' "${failures[@]}"
  fi
} >"$results"

# ---- Plot ---------------------------------------------------------------

if have gnuplot; then
  {
    printf 'files'
    for who in "${copiers[@]}"; do printf ' copy-%s' "$who"; done
    for who in "${removers[@]}"; do printf ' remove-%s' "$who"; done
    echo
    for name in "${plot_trees[@]}"; do
      printf '%s' "${tree_files[$name]}"
      for who in "${copiers[@]}"; do printf ' %s' "$(median_of "$name" "$who" copy | cut -d' ' -f1)"; done
      for who in "${removers[@]}"; do printf ' %s' "$(median_of "$name" "$who" remove | cut -d' ' -f1)"; done
      echo
    done
  } >"$out/plot.dat"
  ncopy=${#copiers[@]}
  nremove=${#removers[@]}
  gnuplot <<EOF
set terminal png size 1100,480 font ",10" noenhanced
set output "$plot"
set multiplot layout 1,2 title "Median time against number of files ($mode run, $wine_version)"
set logscale xy
set xlabel "files"
set ylabel "seconds"
set key top left
set grid
set title "Copy"
plot for [i=2:$((ncopy + 1))] "$out/plot.dat" using 1:i with linespoints lw 2 title columnhead(i)
set title "Removal"
plot for [i=$((ncopy + 2)):$((ncopy + nremove + 1))] "$out/plot.dat" using 1:i with linespoints lw 2 title columnhead(i)
unset multiplot
EOF
else
  echo "run-bench: gnuplot not found; no plot"
fi

cat "$results"
echo
echo "run-bench: wrote $results"
[ -f "$plot" ] && echo "run-bench: wrote $plot"
if [ "${#failures[@]}" -gt 0 ]; then
  echo "run-bench: ${#failures[@]} failure(s)" >&2
  exit 1
fi
