# Shared by the end-to-end tests and the demo: a private virtual display and a
# private Wine prefix, whose server is kept alive on purpose, since every new
# server session is a new boot that carries out the pending deletions.
# Source it with E2E_STATE set to the folder that holds both.

E2E_STATE=$(realpath -m "$E2E_STATE")
export WINEPREFIX="$E2E_STATE/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG="${WINEDEBUG:--all}"

# Runs a wine command from C:\ with its output in OUTPUT_FILE and OUTPUT_FILE.err.
# Never into a pipe: Wine's background services would keep it open.
wine_to() { # OUTPUT_FILE COMMAND...
  local out=$1
  shift
  (cd "$WINEPREFIX/drive_c" && wine "$@" >"$out" 2>"$out.err")
}

# The Windows path of a file on this machine, through Wine's Z: drive.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Starts an Xvfb of our own on a free display and records its number and pid.
start_virtual_display() {
  local fifo="$E2E_STATE/displayfd"
  rm -f "$fifo" && mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >"$E2E_STATE/xvfb.log" 2>&1 &
  echo $! >"$E2E_STATE/xvfb.pid"
  local number
  read -r -t 30 number <"$fifo" || { echo "Xvfb did not start: $(cat "$E2E_STATE/xvfb.log")" >&2; return 1; }
  rm -f "$fifo"
  echo ":$number" >"$E2E_STATE/display"
}

use_virtual_display() { DISPLAY=$(cat "$E2E_STATE/display"); export DISPLAY; }

# Makes the prefix and leaves its server running with no idle timeout.
create_prefix() {
  mkdir -p "$WINEPREFIX"
  wineserver -p >"$E2E_STATE/wineserver.log" 2>&1
  wineboot -i >"$E2E_STATE/wineboot.log" 2>&1
}

# Shows windows inside a Wine desktop window of SIZE. There is no window
# manager on the virtual display: Wine's desktop then draws the frames and
# captions, and Wine no longer waits, about two seconds a window, for a window
# manager's answer. A new server session takes the setting, so call this
# before anything is pending.
use_wine_desktop() { # SIZE
  wine_to "$E2E_STATE/desktop.log" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
  wine_to "$E2E_STATE/desktop-size.log" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$1" /f
  wineserver -k
  wineserver -p >>"$E2E_STATE/wineserver.log" 2>&1
}

# Ends only what this session started: the prefix's server, then our Xvfb.
end_session() {
  if [[ -d "$WINEPREFIX" ]]; then wineserver -k 2>/dev/null || true; fi
  if [[ -f "$E2E_STATE/xvfb.pid" ]]; then
    kill "$(cat "$E2E_STATE/xvfb.pid")" 2>/dev/null || true
    rm -f "$E2E_STATE/xvfb.pid"
  fi
  return 0
}
