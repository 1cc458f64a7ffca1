#!/usr/bin/env bash
# Shows the uninstaller at work in a throwaway Wine prefix: a stand-in
# screensaver (read-only and hidden) is scheduled for deletion, the box is
# photographed, the prefix is restarted, the file is gone, and a second run is
# silent. On $DISPLAY when there is one, else on a virtual display.
#
# Usage: demo.sh [--refuse] [--screenshot PATH]
#   --refuse           lock the pending-deletions key first, to show the other box
#   --screenshot PATH  where to save the box (default build/demo/message-box.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

refuse=() screenshot="$root/build/demo/message-box.png"
while (($#)); do
  case "$1" in
    --refuse) refuse=(--refuse) ;;
    --screenshot) screenshot=$(realpath -m "$2"); shift ;;
    *) echo "usage: $0 [--refuse] [--screenshot PATH]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh demo
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
program="$root/build/windows/SorrelvaneUninstall.exe"
tool="$root/build/windows/tests/e2e/e2e_tool.exe"

E2E_STATE="$root/build/demo"
source tests/e2e/wine_session.sh
end_session
rm -rf "$E2E_STATE" && mkdir -p "$E2E_STATE"
trap end_session EXIT

own_display=no
if [[ -z "${DISPLAY:-}" ]]; then
  start_virtual_display
  use_virtual_display
  own_display=yes
fi
echo "== Making a throwaway prefix in $WINEPREFIX (display $DISPLAY)"
create_prefix
if [[ $own_display == yes ]]; then
  # No window manager here: Wine's own desktop window draws the box's frame and caption.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >"$E2E_STATE/reg.log" 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x360 /f >>"$E2E_STATE/reg.log" 2>&1
  # Nothing is pending yet, so a new server session, which takes the setting, loses nothing.
  wineserver -k
  wineserver -p >>"$E2E_STATE/wineserver.log" 2>&1
fi

name="Sorrelvane Screensaver.scr"
target_unix="$WINEPREFIX/drive_c/windows/system32/$name"
target='C:\windows\system32\'"$name"
printf 'a stand-in for the screensaver\n' >"$target_unix"
wine "$tool" set-attributes "$target" 3 >"$E2E_STATE/attrib.log" 2>&1
wine "$tool" attributes "$target" >"$E2E_STATE/attributes-before" 2>&1
echo "== Stand-in placed: $target, attributes $(tr -d '\r' <"$E2E_STATE/attributes-before") (read-only, hidden)"

# The helper leaves the box up for a while: press OK yourself, or it will.
echo "== Running the uninstaller"
(cd "$WINEPREFIX/drive_c" &&
  wine "$tool" run "${refuse[@]}" --linger 4000 "$(windows_path "$program")" >"$E2E_STATE/run" 2>"$E2E_STATE/run.err") &
runner=$!
for _ in $(seq 100); do
  grep -q '^box=' "$E2E_STATE/run" 2>/dev/null && break
  sleep 0.2
done
if grep -q '^box=yes' "$E2E_STATE/run"; then
  sleep 1
  mkdir -p "$(dirname "$screenshot")"
  if [[ $own_display == yes ]]; then
    import -window "Default - Wine desktop" "$screenshot"
  else
    import -frame -window "Uninstallation Completed" "$screenshot"
  fi
  echo "== Screenshot of the box: $screenshot"
fi
wait "$runner"
# The text comes as hex bytes; its CR LF is shown as " / ".
hex=$(sed -n 's/^text=//p' "$E2E_STATE/run" | tr -d '\r')
text=$(printf "$(sed 's/../\\x&/g' <<<"$hex")" | sed -z 's/\r\n/ \/ /g')
exit_status=$(sed -n 's/^exit=//p' "$E2E_STATE/run" | tr -d '\r')
echo "   box text: $text"
echo "   exit status: $exit_status"

wine "$tool" attributes "$target" >"$E2E_STATE/attributes-after" 2>&1
echo "== Attributes now: $(tr -d '\r' <"$E2E_STATE/attributes-after") (Wine shows a normal file as archive, 20)"
wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
  >"$E2E_STATE/pending" 2>&1 || true
echo "== Pending deletion entry:"
tr -d '\r' <"$E2E_STATE/pending" | grep PendingFileRenameOperations || echo "   (none)"

echo "== Restarting the prefix (wineboot -r)"
wineboot -r >"$E2E_STATE/restart.log" 2>&1
if [[ -e "$target_unix" ]]; then gone=no; echo "   the stand-in is still there"; else gone=yes; echo "   the stand-in is gone"; fi

echo "== Running the uninstaller again"
(cd "$WINEPREFIX/drive_c" && wine "$tool" run "$(windows_path "$program")" >"$E2E_STATE/rerun" 2>&1)
second_box=$(sed -n 's/^box=//p' "$E2E_STATE/rerun" | tr -d '\r')
second_exit=$(sed -n 's/^exit=//p' "$E2E_STATE/rerun" | tr -d '\r')
echo "   box: $second_box, exit status: $second_exit"

echo
echo "Summary: first run showed the box and exited $exit_status; file removed at restart: $gone;"
echo "         second run box: $second_box, exit $second_exit. Screenshot: $screenshot"
