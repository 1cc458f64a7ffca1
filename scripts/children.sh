# Sourced by the release scripts: the tools they start, tracked so that a
# signal can end them all. A tool runs in a session of its own, with no
# standard input and no controlling terminal (so nothing can prompt, and a
# missing password fails at once), in the background while the script waits:
# a trapped signal then reaches the script at once, where a foreground child
# would hold it back until the child ended, and osslsigncode may wait on a
# timestamp server for as long as the connection stays open.
#
#   run_child COMMAND...     runs COMMAND so; returns its status. Called in
#                            the script's own shell, never inside $(...),
#                            whose subshell would track the tool where no
#                            trap of the script can see it
#   on_signal STATUS         for `trap 'on_signal 143' TERM` and
#                            `trap 'on_signal 130' INT`: ends every tracked
#                            tool with all it started, removes the folders in
#                            TEMP_DIRS, and exits with STATUS

CHILDREN=()
TEMP_DIRS=()

run_child() { # COMMAND...
  local pid status=0 others=() other
  setsid -w "$@" </dev/null &
  pid=$!
  CHILDREN+=("$pid")
  wait "$pid" || status=$?
  for other in "${CHILDREN[@]}"; do [[ $other == "$pid" ]] || others+=("$other"); done
  CHILDREN=("${others[@]}")
  return "$status"
}

# Ends every tracked tool, by its session's process group and by PID, and
# waits for them. Safe under set -e, as traps run it.
end_children() {
  local pid
  for pid in "${CHILDREN[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${CHILDREN[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  CHILDREN=()
}

on_signal() { # STATUS
  trap '' TERM INT
  end_children
  ((${#TEMP_DIRS[@]} == 0)) || rm -rf -- "${TEMP_DIRS[@]}"
  exit "$1"
}
