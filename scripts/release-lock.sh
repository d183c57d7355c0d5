# shellcheck shell=bash
# Sourced by release.sh and check-kit.sh: one run at a time in a release
# folder, and what runs that are no longer alive left there.
#
# A run holds DIR/.ovik-release.lock (flock) from before it writes anything
# in DIR until it ends; the file names the run (pid, host, start, command)
# for those who wait. Each run works in hidden folders of its own in DIR,
# named with its pid and host, and holds a lock on each (the background
# deletion of a replaced release inherits it), so a folder whose lock can
# be taken belongs to no live run.

ovik_lock_fd=""
ovik_lock_file=""

# ovik_lock_holder FILE: the run named in the lock file FILE, in words.
ovik_lock_holder() {
  local pid host started command
  pid="$(sed -n 's/^pid //p' "$1" 2>/dev/null)"
  host="$(sed -n 's/^host //p' "$1" 2>/dev/null)"
  started="$(sed -n 's/^started //p' "$1" 2>/dev/null)"
  command="$(sed -n 's/^command //p' "$1" 2>/dev/null)"
  if [ -z "$pid" ]; then
    echo "another run (which has not written its name yet)"
  else
    echo "run $pid on $host (since $started: $command)"
  fi
}

# ovik_lock DIR SECONDS SCRIPT COMMAND [--create]: takes the lock of DIR
# (made first with --create), waiting up to SECONDS for the run that holds
# it and saying for which; fails, naming that run, when it still holds it
# then. Says so when the run before ended without giving it back (killed,
# or its machine stopped).
ovik_lock() {
  local dir="$1" wait="$2" script="$3" command="$4" create="${5:-}"
  local file="$1/.ovik-release.lock" deadline=$((SECONDS + $2)) said=0 left
  while :; do
    [ -z "$create" ] || mkdir -p "$dir"
    if [ ! -d "$dir" ]; then
      echo "$script: $dir is gone (the run it waited for removed it)" >&2
      return 1
    fi
    exec {ovik_lock_fd}<>"$file"
    if ! flock -n -x "$ovik_lock_fd"; then
      if [ "$said" -eq 0 ] && [ "$wait" -gt 0 ]; then
        # The holder writes its name right after taking the lock.
        for _ in 1 2 3 4 5 6 7 8 9 10; do [ -s "$file" ] && break; sleep 0.1; done
        echo "$script: waiting for $(ovik_lock_holder "$file") to finish in $dir (up to $wait s; --wait SECONDS changes that)" >&2
        said=1
      fi
      left=$((deadline - SECONDS))
      if [ "$left" -le 0 ] || ! flock -w "$left" -x "$ovik_lock_fd"; then
        echo "$script: $dir is still in use after $wait s, by $(ovik_lock_holder "$file"): nothing was written; run again when that has finished, or give --wait SECONDS to wait longer" >&2
        exec {ovik_lock_fd}<&-
        ovik_lock_fd=""
        return 1
      fi
    fi
    # The run before removes the file as it ends: what was locked must
    # still be the file of that name.
    if [ "$(stat -c %d:%i "$file" 2>/dev/null)" = "$(stat -L -c %d:%i "/dev/fd/$ovik_lock_fd")" ]; then
      break
    fi
    exec {ovik_lock_fd}<&-
  done
  ovik_lock_file="$file"
  if [ -s "$file" ]; then
    echo "$script: the last $(ovik_lock_holder "$file") ended without finishing"
  fi
  printf 'pid %s\nhost %s\nstarted %s\ncommand %s\n' "$$" "${HOSTNAME:-$(hostname)}" \
    "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" "$command" >"$file"
  [ "$said" -eq 0 ] || echo "$script: $dir is ours now"
}

# ovik_unlock: gives the lock back, removing its file.
ovik_unlock() {
  [ -n "$ovik_lock_fd" ] || return 0
  rm -f "$ovik_lock_file"
  exec {ovik_lock_fd}<&-
  ovik_lock_fd=""
}

# ovik_work_folder DIR KIND: makes a hidden folder of this run in DIR for
# KIND (".ovik-medium-1.1.0.partial", ".check.partial"), named
# DIR/KIND.PID.HOST.XXXXXX, into ovik_work_dir, and locks it while this
# shell or a child of it runs.
ovik_work_dir=""
ovik_work_folder() {
  ovik_work_dir="$(mktemp -d "$1/$2.$$.${HOSTNAME:-$(hostname)}.XXXXXX")"
  exec {ovik_work_fd}<"$ovik_work_dir"
  flock -n -x "$ovik_work_fd"
}

# ovik_remove_leftovers DIR SCRIPT: removes the hidden folders that runs no
# longer alive left in DIR (made by release.sh and check-kit.sh), saying
# which, whose and how large; leaves those of live runs alone.
ovik_remove_leftovers() {
  local dir="$1" script="$2" entry who size
  for entry in "$dir"/.ovik-medium-*.partial.* "$dir"/.ovik-medium-*.replaced.* "$dir"/.check.partial.*; do
    [ -d "$entry" ] && [ ! -L "$entry" ] || continue
    flock -n -x "$entry" true 2>/dev/null || continue
    who="an earlier run"
    if [[ ${entry##*/} =~ \.(partial|replaced)\.([0-9]+)\.(.+)\.[A-Za-z0-9]{6}$ ]]; then
      who="run ${BASH_REMATCH[2]} on ${BASH_REMATCH[3]}"
    fi
    size="$(du -sh "$entry" 2>/dev/null | cut -f1)"
    # A run stopped while moving its release into place may have moved the
    # previous one in here: that stays until someone puts it back.
    if [[ $entry == *.partial.* ]] && [ -n "$(ls -A "$entry/replaced" 2>/dev/null)" ]; then
      echo "$script: left ${entry##*/} (${size:-?}) in $dir as it is: $who stopped while replacing a release, and $entry/replaced holds the files of the release it replaced; move them back into $dir, or remove that folder" >&2
      continue
    fi
    if rm -rf -- "$entry"; then
      echo "$script: removed ${entry##*/} (${size:-?}), left in $dir by $who, which is no longer running"
    else
      echo "$script: could not remove ${entry##*/} (${size:-?}), left in $dir by $who: remove it by hand" >&2
    fi
  done
}
