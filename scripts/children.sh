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
#   end_on_signals           from here on, a hang-up, an interrupt, a quit or
#                            a termination ends every tracked tool with all it
#                            started, removes the folders in TEMP_DIRS, and
#                            exits with 128 + the signal's number
#   ignore_signals           for steps that must not be cut short

CHILDREN=()
TEMP_DIRS=()

run_child() { # COMMAND...
  local pid status=0 others=() other
  # Not the checkout's lock (descriptor 9) either: a tool that outlived the
  # script must not keep the checkout locked.
  setsid -w "$@" </dev/null 9<&- &
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

ignore_signals() { trap '' HUP INT QUIT TERM; }

end_on_signals() {
  trap 'on_signal 129' HUP
  trap 'on_signal 130' INT
  trap 'on_signal 131' QUIT
  trap 'on_signal 143' TERM
}

on_signal() { # STATUS
  ignore_signals
  end_children
  ((${#TEMP_DIRS[@]} == 0)) || rm -rf -- "${TEMP_DIRS[@]}"
  exit "$1"
}
